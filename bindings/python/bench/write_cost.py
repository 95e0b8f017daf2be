#!/usr/bin/env python3
"""Compares the cost of one chunk through Detector.write with kalwake_write called from C.

    write_cost.py C_PROGRAM FRONTEND_DIR MODEL... [--chunks N] [--rounds R]

C_PROGRAM (write_cost.c, built as python_write_cost_c) times N one-chunk writes on the same
models and signal; it runs R times, and the median and minimum of its per-chunk means are
taken. In this process, N chunks go in turn through two paths into one detector: the
package's Detector.write followed by draining detections(), and the two C functions called
through bare ctypes (no layer of this package, the least any Python caller pays). Every
chunk is timed on its own, so drift on a shared machine hits both paths alike; their medians
differ by what the package's layers cost. All times are CPU time of the writing thread, on
which the runtime runs its models.
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
    """Ten chunks of the fixed signal write_cost.c writes."""
    i = np.arange(10 * CHUNK, dtype=np.int64)
    values = ((i * 7919) % 2001 - 1000).astype(np.int16)
    return [values[k * CHUNK:(k + 1) * CHUNK].copy() for k in range(10)]


def c_cost(args: argparse.Namespace) -> list:
    costs = []
    for _ in range(args.rounds):
        out = subprocess.run([args.c_program, args.frontend_dir, str(args.chunks), *args.models],
                             check=True, capture_output=True, text=True).stdout
        costs.append(float(out))
    return costs


def python_costs(args: argparse.Namespace) -> tuple:
    blocks = signal()
    addresses = [b.ctypes.data for b in blocks]
    lib = library()
    bare_write, bare_triggered = lib.kalwake_write, lib.kalwake_triggered
    clock = time.thread_time_ns
    detector_ns, bare_ns = [], []
    with kw.Detector(args.frontend_dir, args.models) as detector:
        write, detections = detector.write, detector.detections
        for k in range(20):  # the same warm-up as the C side
            write(blocks[k % 10])
        for i in range(args.chunks):
            block, address = blocks[i % 10], addresses[i % 10]
            start = clock()
            write(block)
            for _ in detections():
                pass
            middle = clock()
            bare_write(address, CHUNK)
            while bare_triggered(None, None):
                pass
            end = clock()
            detector_ns.append(middle - start)
            bare_ns.append(end - middle)
    return detector_ns, bare_ns


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("c_program")
    parser.add_argument("frontend_dir")
    parser.add_argument("models", nargs="+")
    parser.add_argument("--chunks", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=11)
    args = parser.parse_args()

    c_ns = c_cost(args)
    detector_ns, bare_ns = python_costs(args)
    c, py, bare = (statistics.median(v) for v in (c_ns, detector_ns, bare_ns))
    print(f"{args.chunks} chunks; us per chunk, median (minimum)")
    print(f"  C kalwake_write ({args.rounds} runs)   {c / 1000:9.2f} ({min(c_ns) / 1000:.2f})")
    print(f"  Detector.write + detections {py / 1000:9.2f} ({min(detector_ns) / 1000:.2f})")
    print(f"  bare ctypes calls           {bare / 1000:9.2f} ({min(bare_ns) / 1000:.2f})")
    print(f"package layers (Detector - bare ctypes): {py - bare:+.0f} ns/chunk = "
          f"{100 * (py - bare) / c:+.2f} % of the C cost")
    print(f"Detector - C: {py - c:+.0f} ns/chunk = {100 * (py - c) / c:+.2f} %")


if __name__ == "__main__":
    main()
