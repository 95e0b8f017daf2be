#!/usr/bin/python3
"""Joins wake models for the same phrase into one: the mean probability of all their
networks, so a model trained on one choice of voices and one trained on another count each
network alike.

    merge_wake_models.py A.onnx B.onnx [...] --out AB.onnx

The models must have been written by train_wakeword.py (or by this tool) for the same
embedding model; their networks are read back and exported again as one ensemble.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wakenet  # noqa: E402


def merge(paths, out):
    members = [m for path in paths for m in wakenet.load_wake(path).members]
    net = wakenet.WakeEnsemble(members)
    wakenet.export_wake(net, out)
    return net


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("models", nargs="+", help="wake model files to join")
    p.add_argument("--out", required=True)
    args = p.parse_args()
    if len(args.models) < 2:
        p.error("name at least two models to join")
    try:
        net = merge(args.models, args.out)
    except (OSError, ValueError) as e:  # a missing file, or one that is not a wake model
        p.error(str(e))
    print(f"{args.out}: {len(net.members)} networks from {len(args.models)} models, "
          f"{os.path.getsize(args.out)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
