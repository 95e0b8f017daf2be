#!/usr/bin/python3
"""Builds the reference mel-spectrogram model (melspectrogram.onnx) from first principles,
and optionally golden test vectors computed by the independent numpy implementation.

    make_melspectrogram.py OUT.onnx [--golden DIR]

The model: "input" [1, N] float samples (16-bit values, unscaled), N >= 512, to "output"
[1, 1, frames, 32] decibels, frames = floor((N - 512) / 160) + 1. The graph is

    [1, N] -> Conv (windowed DFT basis, 512 taps, stride 160) -> [1, 2K, F]  real and imaginary
           -> square -> MatMul (mel weights, once for each half) -> [1, 32, F] filter energies
           -> 10 log10(max(E, 1)) - 70 -> max(., -10) -> [1, 1, F, 32]

K covers only the DFT bins that some filter weighs, so no multiply is spent on the bins
outside the speech band. The output is deterministic: the same numpy and onnx give the same
bytes, which a test checks against the committed model.
"""
import argparse
import math
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import melspec_reference as ref  # noqa: E402  (constants, and the golden vectors' reference)

OPSET = 17
# Smallest energy taken to the logarithm: far below the floor (10 log10(1) - 70 = -70 dB),
# and it keeps log(0) out of the graph.
ENERGY_CLAMP = 1.0


def mel_of(hz):
    return 2595.0 * math.log10(1.0 + hz / 700.0)


def hz_of(mel):
    return 700.0 * (10.0 ** (mel / 2595.0) - 1.0)


def triangle_weights():
    """[32, 257] weights: filter m is 0 at edge m, 1 at edge m + 1, 0 again at edge m + 2,
    with the edges evenly spaced on the mel scale from F_MIN to F_MAX."""
    lo, hi = mel_of(ref.F_MIN), mel_of(ref.F_MAX)
    step = (hi - lo) / (ref.N_MELS + 1)
    edges = [hz_of(lo + i * step) for i in range(ref.N_MELS + 2)]
    bins = ref.FRAME_LENGTH // 2 + 1
    weights = np.zeros((ref.N_MELS, bins), dtype=np.float64)
    for m in range(ref.N_MELS):
        left, centre, right = edges[m], edges[m + 1], edges[m + 2]
        for b in range(bins):
            f = b * ref.SAMPLE_RATE / ref.FRAME_LENGTH
            rise = (f - left) / (centre - left)
            fall = (right - f) / (right - centre)
            weights[m, b] = max(0.0, min(rise, fall))
    return weights


def dft_basis(first_bin, last_bin):
    """[2K, 1, 512] Conv weights: Hann-windowed cosines, then windowed sines, of bins
    first_bin..last_bin. The phase index b n is reduced modulo 512 in integers, so every angle
    is exact before the cosine is taken."""
    n = np.arange(ref.FRAME_LENGTH, dtype=np.int64)
    window = 0.5 - 0.5 * np.cos(2.0 * np.pi * n / ref.FRAME_LENGTH)
    b = np.arange(first_bin, last_bin + 1, dtype=np.int64)
    phase = (b[:, None] * n[None, :]) % ref.FRAME_LENGTH
    angle = 2.0 * np.pi * phase / ref.FRAME_LENGTH
    basis = np.concatenate([window * np.cos(angle), window * np.sin(angle)], axis=0)
    return basis[:, None, :]


def build_model():
    weights = triangle_weights()
    used = np.nonzero(weights.any(axis=0))[0]
    first_bin, last_bin = int(used[0]), int(used[-1])
    basis = dft_basis(first_bin, last_bin)
    band = weights[:, first_bin:last_bin + 1]
    mel = np.concatenate([band, band], axis=1)  # the same weights for |Re|^2 and |Im|^2

    inits = [
        numpy_helper.from_array(np.array([1, 1, -1], dtype=np.int64), "frame_shape"),
        numpy_helper.from_array(basis.astype(np.float32), "dft_basis"),
        numpy_helper.from_array(mel.astype(np.float32), "mel_weights"),
        numpy_helper.from_array(np.array(ENERGY_CLAMP, dtype=np.float32), "energy_clamp"),
        numpy_helper.from_array(np.array(10.0 / math.log(10.0), dtype=np.float32), "db_per_neper"),
        numpy_helper.from_array(np.array(-ref.REF_DB, dtype=np.float32), "reference_db"),
        numpy_helper.from_array(np.array(ref.FLOOR_DB, dtype=np.float32), "floor_db"),
        numpy_helper.from_array(np.array([1], dtype=np.int64), "bins_axis"),
    ]
    nodes = [
        helper.make_node("Reshape", ["input", "frame_shape"], ["signal"]),
        helper.make_node("Conv", ["signal", "dft_basis"], ["spectrum"],
                         kernel_shape=[ref.FRAME_LENGTH], strides=[ref.HOP_LENGTH]),
        helper.make_node("Mul", ["spectrum", "spectrum"], ["power"]),
        helper.make_node("MatMul", ["mel_weights", "power"], ["energy"]),
        helper.make_node("Max", ["energy", "energy_clamp"], ["energy_clamped"]),
        helper.make_node("Log", ["energy_clamped"], ["log_energy"]),
        helper.make_node("Mul", ["log_energy", "db_per_neper"], ["db_absolute"]),
        helper.make_node("Add", ["db_absolute", "reference_db"], ["db"]),
        helper.make_node("Max", ["db", "floor_db"], ["db_floored"]),
        helper.make_node("Transpose", ["db_floored"], ["frames"], perm=[0, 2, 1]),
        helper.make_node("Unsqueeze", ["frames", "bins_axis"], ["output"]),
    ]
    graph = helper.make_graph(
        nodes, "melspectrogram",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, "samples"])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 1, "frames", ref.N_MELS])],
        inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="kalmoris-wakeword make_melspectrogram")
    model.ir_version = 8
    model.doc_string = (
        f"Mel spectrogram: 16 kHz, {ref.FRAME_LENGTH}-sample periodic Hann frames every "
        f"{ref.HOP_LENGTH} samples, {ref.N_MELS} triangular mel filters {ref.F_MIN:g}-"
        f"{ref.F_MAX:g} Hz, 10 log10(energy) - {ref.REF_DB:g} dB, floor {ref.FLOOR_DB:g} dB.")
    onnx.checker.check_model(model)
    return model


# --- Golden vectors ---------------------------------------------------------------------------

def resonate(x, freq, bandwidth):
    """A two-pole resonator (one formant) run over x."""
    r = math.exp(-math.pi * bandwidth / ref.SAMPLE_RATE)
    a1 = 2.0 * r * math.cos(2.0 * math.pi * freq / ref.SAMPLE_RATE)
    a2 = -r * r
    y = np.zeros_like(x)
    y1 = y2 = 0.0
    for i, v in enumerate(x):
        y0 = v + a1 * y1 + a2 * y2
        y[i] = y0
        y2, y1 = y1, y0
    return y * (1.0 - r)


def speech_like(rng, seconds):
    """Voiced syllables (a gliding pulse train through three formants), fricative noise
    bursts and pauses, at conversational level (peaks near -8 dBFS)."""
    n = int(seconds * ref.SAMPLE_RATE)
    out = np.zeros(n)
    pos = int(0.05 * ref.SAMPLE_RATE)
    while pos < n:
        length = int(rng.uniform(0.08, 0.3) * ref.SAMPLE_RATE)
        seg = np.zeros(length)
        if rng.random() < 0.7:
            f0 = np.linspace(rng.uniform(90, 220), rng.uniform(90, 220), length)
            phase = np.cumsum(f0 / ref.SAMPLE_RATE)
            seg[np.nonzero(np.diff(np.floor(phase), prepend=0.0))[0]] = 1.0
            voiced = sum(resonate(seg, rng.uniform(lo, hi), rng.uniform(60, 150))
                         for lo, hi in ((300, 900), (900, 2400), (2400, 3400)))
            seg = voiced * rng.uniform(0.3, 1.0)
        else:
            seg = rng.normal(0.0, 1.0, length)
            seg = seg - resonate(seg, rng.uniform(200, 1500), 800.0)  # tilt towards the highs
            seg *= 0.05 * rng.uniform(0.2, 1.0)
        envelope = np.sin(np.linspace(0.0, np.pi, length)) ** 0.5
        end = min(n, pos + length)
        out[pos:end] += (seg * envelope)[:end - pos]
        pos = end + int(rng.uniform(0.0, 0.15) * ref.SAMPLE_RATE)
    out *= 13000.0 / np.max(np.abs(out))
    out += rng.normal(0.0, 3.0, n)  # a quiet room
    return out


def full_scale(rng, seconds):
    """A sweep from 50 Hz to 7900 Hz at full scale, full-scale white noise, and a square
    wave that swings between both extremes of the 16-bit range."""
    n = int(seconds * ref.SAMPLE_RATE) // 3
    t = np.arange(n) / ref.SAMPLE_RATE
    f = np.geomspace(50.0, 7900.0, n)
    sweep = 32767.0 * np.sin(2.0 * np.pi * np.cumsum(f) / ref.SAMPLE_RATE)
    noise = rng.uniform(-32768.0, 32767.0, n)
    square = np.where(np.sin(2.0 * np.pi * 440.0 * t) >= 0.0, 32767.0, -32768.0)
    return np.concatenate([sweep, noise, square])


def quiet(rng, seconds):
    """Digital silence, then noise of one or two bits and a faint tone around the floor."""
    n = int(seconds * ref.SAMPLE_RATE)
    out = np.zeros(n)
    third = n // 3
    out[third:2 * third] = rng.integers(-2, 3, third)
    t = np.arange(n - 2 * third) / ref.SAMPLE_RATE
    out[2 * third:] = 40.0 * np.sin(2.0 * np.pi * 700.0 * t)
    return out


def write_golden(folder):
    """One pair of files a case: NAME.pcm (16-bit little-endian samples) and NAME.mel (float32
    little-endian decibels, [frames, 32], frames of the whole signal as one stream)."""
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(20240611)
    cases = {
        "speech": speech_like(rng, 3.0),
        "fullscale": full_scale(rng, 3.0),
        "quiet": quiet(rng, 1.5),
    }
    bank = ref.filterbank()
    for name, signal in cases.items():
        pcm = np.clip(np.round(signal), -32768, 32767).astype("<i2")
        mel = ref.melspectrogram(pcm.astype(np.float64), bank)
        pcm.tofile(os.path.join(folder, f"{name}.pcm"))
        mel.astype("<f4").tofile(os.path.join(folder, f"{name}.mel"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="path of the model to write")
    parser.add_argument("--golden", metavar="DIR", help="also write golden test vectors here")
    args = parser.parse_args()
    model = build_model()
    folder = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(folder, exist_ok=True)
    onnx.save(model, args.out)
    if args.golden:
        write_golden(args.golden)


if __name__ == "__main__":
    main()
