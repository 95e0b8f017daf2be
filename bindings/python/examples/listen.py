#!/usr/bin/env python3
"""Prints wake-word detections, with their times, from the microphone or a WAV file.

    listen.py FRONTEND_DIR MODEL [MODEL ...]              # microphone, through arecord
    listen.py FRONTEND_DIR MODEL [MODEL ...] --wav FILE   # a PCM WAV file

The models expect 16-bit mono samples at 16 kHz. A WAV file (8, 16, 24 or 32-bit integer
samples, any rate, any number of channels) is read whole, mixed down to one channel and
resampled to 16 kHz through its spectrum. Stop listening with Ctrl-C.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import wave
from typing import Iterator, NoReturn

import numpy as np

import kalmoris_wakeword as kw

RATE = 16000


def fail(message: str) -> NoReturn:
    print(f"listen.py: {message}", file=sys.stderr)
    raise SystemExit(1)


def pcm_values(frames: bytes, width: int) -> np.ndarray:
    """Integer PCM samples of `width` bytes, on the scale of 16-bit samples."""
    if width == 1:  # unsigned, centred on 128
        return (np.frombuffer(frames, np.uint8).astype(np.float64) - 128.0) * 256.0
    if width == 2:
        return np.frombuffer(frames, "<i2").astype(np.float64)
    if width == 3:
        b = np.frombuffer(frames, np.uint8).reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        return np.where(v >= 1 << 23, v - (1 << 24), v).astype(np.float64) / 256.0
    if width == 4:
        return np.frombuffer(frames, "<i4").astype(np.float64) / 65536.0
    raise ValueError(f"{8 * width}-bit samples")


def resample(x: np.ndarray, rate: int) -> np.ndarray:
    """Band-limited resampling to 16 kHz through the spectrum of the whole signal."""
    n = int(round(len(x) * RATE / rate))
    if rate == RATE or len(x) == 0:
        return x
    return np.fft.irfft(np.fft.rfft(x)[: n // 2 + 1], n) * (n / len(x))


def read_wav(path: str) -> np.ndarray:
    """The whole file as 16 kHz mono int16 samples."""
    try:
        with wave.open(path, "rb") as wav:
            width, channels, rate = wav.getsampwidth(), wav.getnchannels(), wav.getframerate()
            frames = wav.readframes(wav.getnframes())
    except (wave.Error, EOFError) as error:
        fail(f"{path}: not a PCM WAV file ({error or 'cut short'})")
    except OSError as error:
        fail(f"{path}: {error.strerror or error}")
    try:
        x = pcm_values(frames, width)
    except ValueError as error:
        fail(f"{path}: {error} are not supported")
    x = x[: len(x) // channels * channels].reshape(-1, channels).mean(axis=1)
    x = resample(x, rate)
    return np.clip(np.round(x), -32768, 32767).astype(np.int16)


def wav_blocks(path: str, block: int) -> Iterator[np.ndarray]:
    samples = read_wav(path)
    for start in range(0, len(samples), block):
        yield samples[start:start + block]


def microphone_blocks(block: int) -> Iterator[bytes]:
    # arecord hands out raw 16-bit little-endian samples: exactly what write() takes as bytes.
    command = ["arecord", "-q", "-t", "raw", "-f", "S16_LE", "-c", "1", "-r", str(RATE)]
    try:
        recorder = subprocess.Popen(command, stdout=subprocess.PIPE)
    except FileNotFoundError:
        raise SystemExit("arecord not found: install alsa-utils, or pass --wav FILE") from None
    try:
        while True:
            data = recorder.stdout.read(2 * block)
            if len(data) < 2:
                return
            yield data[: len(data) // 2 * 2]
    finally:
        recorder.terminate()
        recorder.wait()


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("frontend_dir", help="folder holding melspectrogram.onnx and "
                        "embedding_model.onnx")
    parser.add_argument("models", nargs="+", help="wake-word models (up to 8)")
    parser.add_argument("--wav", help="read this WAV file instead of the microphone")
    parser.add_argument("--threshold", type=float, default=0.5, help="score that fires")
    parser.add_argument("--block", type=positive, default=1280, help="samples per write")
    args = parser.parse_args()

    names = [os.path.splitext(os.path.basename(m))[0] for m in args.models]
    blocks = wav_blocks(args.wav, args.block) if args.wav else microphone_blocks(args.block)
    written = 0
    try:
        with kw.Detector(args.frontend_dir, args.models, args.threshold) as detector:
            for block in blocks:
                detector.write(block)
                written += len(block) // (1 if isinstance(block, np.ndarray) else 2)
                # A detection belongs to a chunk this write completed: the end of the block
                # dates it to within one block.
                for index, _path, score in detector.detections():
                    print(f"{written / RATE:9.2f} s  {names[index]}  (score {score:.3f})",
                          flush=True)
    except kw.KalwakeError as error:
        print(f"listen.py: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
