#!/usr/bin/python3
"""Writes a short speech-like test recording: 16 kHz mono 16-bit WAV.

Quiet room noise with three voiced "syllables" (a gliding pitch with its harmonics shaped by
two formant peaks) from 0.8 s on, and again every 2.5 s in longer recordings. It is not a
wake word; it gives the detector something with the level and spectrum of speech to listen to.

    make_sample.py OUT.wav [SECONDS]
"""
import argparse
import wave

import numpy as np

RATE = 16000


def syllable(duration, f0_start, f0_end, formants, rng):
    t = np.arange(int(duration * RATE)) / RATE
    f0 = np.linspace(f0_start, f0_end, t.size)
    phase = 2 * np.pi * np.cumsum(f0) / RATE
    voice = np.zeros(t.size)
    for h in range(1, 30):
        freq = f0 * h
        # Harmonics near a formant are strong, the others weak; nothing above 7.5 kHz.
        gain = sum(np.exp(-0.5 * ((freq - f) / bw) ** 2) for f, bw in formants) + 0.02
        voice += np.where(freq < 7500, gain / h ** 0.5, 0.0) * np.sin(h * phase)
    envelope = np.sin(np.pi * t / duration) ** 0.6
    breath = rng.normal(0, 0.02, t.size)
    return envelope * (voice / np.max(np.abs(voice)) + breath)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("out", metavar="OUT.wav")
    p.add_argument("seconds", nargs="?", type=float, default=3.0, metavar="SECONDS")
    args = p.parse_args()
    out, seconds = args.out, args.seconds
    rng = np.random.default_rng(7)
    total = int(seconds * RATE)
    signal = rng.normal(0, 0.002, total)  # room noise, about -54 dBFS
    syllables = [syllable(0.22, 140, 160, [(500, 150), (1700, 250)], rng),
                 syllable(0.18, 160, 150, [(350, 120), (2300, 300)], rng),
                 syllable(0.30, 150, 110, [(700, 180), (1100, 200)], rng)]
    for start in np.arange(0.8, max(seconds - 1.0, 0.9), 2.5):
        at = int(start * RATE)
        for s in syllables:
            end = min(total, at + s.size)
            signal[at:end] += 0.25 * s[:end - at]  # about -15 dBFS peaks
            at = end + int(0.04 * RATE)
    pcm = np.clip(np.round(signal * 32767), -32768, 32767).astype("<i2")
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())


if __name__ == "__main__":
    main()
