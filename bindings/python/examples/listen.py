#!/usr/bin/env python3
"""Prints wake-word detections, with their times, from the microphone or a WAV file.

    listen.py FRONTEND_DIR MODEL [MODEL ...]              # microphone, through arecord
    listen.py FRONTEND_DIR MODEL [MODEL ...] --wav FILE   # 16-bit 16 kHz WAV file

The models expect 16-bit samples at 16 kHz; a WAV file with several channels is mixed down to
one. Stop listening with Ctrl-C.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import wave
from typing import Iterator

import numpy as np

import kalmoris_wakeword as kw

RATE = 16000


def wav_blocks(path: str, block: int) -> Iterator[np.ndarray]:
    with wave.open(path, "rb") as wav:
        if wav.getsampwidth() != 2 or wav.getframerate() != RATE:
            raise SystemExit(f"{path}: {8 * wav.getsampwidth()}-bit {wav.getframerate()} Hz; "
                             f"the models need 16-bit samples at {RATE} Hz")
        channels = wav.getnchannels()
        while True:
            frames = wav.readframes(block)
            if not frames:
                return
            samples = np.frombuffer(frames, dtype="<i2")
            if channels > 1:
                samples = samples.reshape(-1, channels).mean(axis=1).round().astype(np.int16)
            yield samples


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("frontend_dir", help="folder holding melspectrogram.onnx and "
                        "embedding_model.onnx")
    parser.add_argument("models", nargs="+", help="wake-word models (up to 8)")
    parser.add_argument("--wav", help="read this WAV file instead of the microphone")
    parser.add_argument("--threshold", type=float, default=0.5, help="score that fires")
    parser.add_argument("--block", type=int, default=1280, help="samples per write")
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
