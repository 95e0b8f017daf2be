#!/usr/bin/env python3
"""Compares the cost of one chunk through Detector.write with kalwake_write called from C.

    write_cost.py C_PROGRAM FRONTEND_DIR MODEL... [--chunks N] [--rounds R]

Each round times CHUNKS one-chunk writes (with the detections drained after each, as a host
would) in the C program, then the same in this process through a Detector, on the same
models and signal. Rounds alternate so that drift on a shared machine hits both sides alike;
the medians of the rounds and their ratio are printed. Both sides count the CPU time of the
writing thread, on which the runtime runs its models. A third loop calls the two C functions
through bare ctypes, with no layer of this package: the least any Python caller pays.
"""
from __future__ import annotations

import argparse
import statistics
import subprocess
import time

import numpy as np

import kalmoris_wakeword as kw
from kalmoris_wakeword._library import library

CHUNK = 1280


def signal() -> list:
    i = np.arange(10 * CHUNK, dtype=np.int64)
    values = ((i * 7919) % 2001 - 1000).astype(np.int16)
    return [values[k * CHUNK:(k + 1) * CHUNK].copy() for k in range(10)]


def python_round(detector: kw.Detector, blocks: list, chunks: int) -> float:
    write, detections = detector.write, detector.detections
    start = time.thread_time_ns()
    for i in range(chunks):
        write(blocks[i % 10])
        for _ in detections():
            pass
    return (time.thread_time_ns() - start) / chunks


def ctypes_round(blocks: list, chunks: int) -> float:
    lib = library()
    write, triggered = lib.kalwake_write, lib.kalwake_triggered
    addresses = [b.ctypes.data for b in blocks]
    start = time.thread_time_ns()
    for i in range(chunks):
        write(addresses[i % 10], CHUNK)
        while triggered(None, None):
            pass
    return (time.thread_time_ns() - start) / chunks


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("c_program")
    parser.add_argument("frontend_dir")
    parser.add_argument("models", nargs="+")
    parser.add_argument("--chunks", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    blocks = signal()
    c_ns, py_ns, bare_ns = [], [], []
    for _ in range(args.rounds):
        out = subprocess.run([args.c_program, args.frontend_dir, str(args.chunks), *args.models],
                             check=True, capture_output=True, text=True).stdout
        c_ns.append(float(out))
        with kw.Detector(args.frontend_dir, args.models) as detector:
            for k in range(20):  # the same warm-up as the C side
                detector.write(blocks[k % 10])
            py_ns.append(python_round(detector, blocks, args.chunks))
            bare_ns.append(ctypes_round(blocks, args.chunks))
    c, py, bare = statistics.median(c_ns), statistics.median(py_ns), statistics.median(bare_ns)
    print(f"rounds: {args.rounds} x {args.chunks} chunks")
    print(f"C      kalwake_write   median {c / 1000:9.2f} us/chunk  "
          f"(rounds: {', '.join(f'{v / 1000:.2f}' for v in c_ns)})")
    print(f"Python Detector.write  median {py / 1000:9.2f} us/chunk  "
          f"(rounds: {', '.join(f'{v / 1000:.2f}' for v in py_ns)})")
    print(f"bare ctypes calls      median {bare / 1000:9.2f} us/chunk  "
          f"(rounds: {', '.join(f'{v / 1000:.2f}' for v in bare_ns)})")
    print(f"bare ctypes adds {bare - c:+.0f} ns/chunk = {100 * (bare - c) / c:+.2f} %")
    print(f"binding adds {py - c:+.0f} ns/chunk = {100 * (py - c) / c:+.2f} %")


if __name__ == "__main__":
    main()
