"""The mel front end written plainly with numpy.fft, in double precision.

This is the definition the ONNX graph of make_melspectrogram.py must reproduce, and the
feature extractor of the training tools. It shares only the constants below with the graph
builder; the window, the spectrum and the filters are computed here independently.

Definition, for 16-bit samples x given as floats without scaling:
  frame k covers x[160 k : 160 k + 512]; frames = floor((N - 512) / 160) + 1
  X = rfft(hann_periodic(512) * frame)                257 bins, 31.25 Hz apart
  E_m = sum_b H_m(b) |X_b|^2                           32 triangular filters, peak 1
  v_m = max(10 log10(E_m) - REF_DB, FLOOR_DB)
"""
import numpy as np

SAMPLE_RATE = 16000
FRAME_LENGTH = 512  # samples per frame (32 ms)
HOP_LENGTH = 160  # samples between frame starts (10 ms): 100 frames a second
N_MELS = 32
# The speech band: 60 Hz keeps mains hum and DC drift out of the lowest filter; 7600 Hz
# stays clear of the anti-alias roll-off that audio resampled to 16 kHz has near 8 kHz.
F_MIN = 60.0
F_MAX = 7600.0
# 0 dB is a filter energy of 1e7 (in squared 16-bit units through the unnormalised DFT of the
# Hann-windowed frame): conversational speech at -30 to -10 dBFS then spans about -10 to
# +45 dB, and a full-scale tone reaches about +65 dB.
REF_DB = 70.0
# Energies more than 10 dB below the reference read as the floor, so digital silence gives
# exactly -10: the value the detector's history holds after a reset.
FLOOR_DB = -10.0


def hz_to_mel(f):
    return 2595.0 * np.log10(1.0 + np.asarray(f, dtype=np.float64) / 700.0)


def mel_to_hz(m):
    return 700.0 * (10.0 ** (np.asarray(m, dtype=np.float64) / 2595.0) - 1.0)


def filter_edges_hz():
    """N_MELS + 2 frequencies: filter m rises from edge m to edge m+1 and falls to edge m+2."""
    return mel_to_hz(np.linspace(hz_to_mel(F_MIN), hz_to_mel(F_MAX), N_MELS + 2))


def filterbank():
    """[N_MELS, 257] triangle weights over the rfft bins, by linear interpolation."""
    freqs = np.fft.rfftfreq(FRAME_LENGTH, 1.0 / SAMPLE_RATE)
    edges = filter_edges_hz()
    bank = np.zeros((N_MELS, freqs.size))
    for m in range(N_MELS):
        bank[m] = np.interp(freqs, edges[m:m + 3], [0.0, 1.0, 0.0], left=0.0, right=0.0)
    return bank


def frame_count(n_samples):
    if n_samples < FRAME_LENGTH:
        return 0
    return (n_samples - FRAME_LENGTH) // HOP_LENGTH + 1


def power_spectrum(samples):
    """[frames, 257] |rfft|^2 of the Hann-windowed frames."""
    x = np.asarray(samples, dtype=np.float64)
    n = frame_count(x.size)
    if n == 0:
        return np.zeros((0, FRAME_LENGTH // 2 + 1))
    frames = np.lib.stride_tricks.sliding_window_view(x, FRAME_LENGTH)[::HOP_LENGTH][:n]
    # Periodic Hann: one period of the raised cosine over 512 points, as spectral analysis
    # with overlapping frames wants (the symmetric form would repeat its end point).
    window = 0.5 - 0.5 * np.cos(2.0 * np.pi * np.arange(FRAME_LENGTH) / FRAME_LENGTH)
    spectrum = np.fft.rfft(frames * window, axis=1)
    return spectrum.real ** 2 + spectrum.imag ** 2


def melspectrogram(samples, bank=None):
    """[frames, 32] float64 decibels of the samples, as the ONNX model computes them."""
    bank = filterbank() if bank is None else bank
    energy = power_spectrum(samples) @ bank.T
    with np.errstate(divide="ignore"):
        db = 10.0 * np.log10(energy) - REF_DB
    return np.maximum(db, FLOOR_DB)


def scaled(db):
    """The values the detector keeps in its mel history: v / 10 + 2."""
    return np.asarray(db, dtype=np.float32) / np.float32(10.0) + np.float32(2.0)
