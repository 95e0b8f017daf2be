#!/usr/bin/python3
"""Writes a short recording with "hey kalmoris" spoken among other speech and noise: 16 kHz
mono 16-bit WAV, spoken by espeak-ng with an accent and a voice that the default model never
heard in training. Prints where the wake phrase ends.

    make_demo.py OUT.wav [--seed N]

Needs only espeak-ng and numpy.
"""
import argparse
import os
import subprocess
import tempfile
import wave

import numpy as np

RATE = 16000
VOICE = "en-us-nyc+Annie"  # an accent and a variant held out of training


def read_wav(path):
    with wave.open(path, "rb") as w:
        rate = w.getframerate()
        x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64) / 32768.0
    return resample(x, rate)


def resample(x, rate):
    """Band-limited resampling to 16 kHz through the spectrum of the whole signal."""
    if rate == RATE:
        return x
    n = int(round(len(x) * RATE / rate))
    spectrum = np.fft.rfft(x)[: n // 2 + 1]
    return np.fft.irfft(spectrum, n) * (n / len(x))


def speak(text, rate=165, pitch=50):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "s.wav")
        subprocess.run(["espeak-ng", "-v", VOICE, "-s", str(rate), "-p", str(pitch), "-w", path,
                        text], check=True, capture_output=True)
        x = read_wav(path)
    loud = np.nonzero(np.abs(x) > 2e-3)[0]
    return x[loud[0]:loud[-1] + 1] if loud.size else x


def pink(rng, n):
    spectrum = np.fft.rfft(rng.normal(size=n))
    f = np.fft.rfftfreq(n, 1.0 / RATE)
    f[0] = f[1]
    x = np.fft.irfft(spectrum / np.sqrt(f), n)
    return x / np.sqrt(np.mean(x ** 2))


def main():
    p = argparse.ArgumentParser(description="Writes a demo recording with the wake phrase.")
    p.add_argument("out")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    rng = np.random.default_rng(args.seed)
    parts = [
        (1.0, speak("The weather looks fine today, shall we walk to the harbour?")),
        (0.9, speak("hey kalmoris", rate=150)),
        (0.5, speak("turn on the lights in the kitchen, please.")),
        (1.0, speak("Carl said the calamari was too salty.")),
    ]
    total = int((sum(gap for gap, _ in parts) + sum(len(x) for _, x in parts) / RATE + 1.5) * RATE)
    signal = np.zeros(total)
    at = 0
    wake_span = None
    for i, (gap, x) in enumerate(parts):
        at += int(gap * RATE)
        signal[at:at + len(x)] += x
        if i == 1:
            wake_span = (at / RATE, (at + len(x)) / RATE)
        at += len(x)
    speech_rms = np.sqrt(np.mean(signal[np.abs(signal) > 2e-3] ** 2))
    signal += pink(rng, total) * speech_rms / 10 ** (20.0 / 20.0)  # noise at 20 dB SNR
    signal *= 0.3 / np.max(np.abs(signal))  # peaks near -10 dBFS
    pcm = np.clip(np.round(signal * 32767), -32768, 32767).astype("<i2")
    with wave.open(args.out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())
    print(f"{args.out}: {total / RATE:.1f} s; \"hey kalmoris\" from {wake_span[0]:.2f} s to "
          f"{wake_span[1]:.2f} s (other speech and pink noise at 20 dB SNR around it)")


if __name__ == "__main__":
    main()
