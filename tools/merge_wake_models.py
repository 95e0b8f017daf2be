#!/usr/bin/python3
"""Joins wake models for the same phrase into one: the mean probability of all their
networks, so a model trained on one choice of voices and one trained on another count each
network alike.

    merge_wake_models.py A.onnx B.onnx [...] --out AB.onnx [--hold K] [--logit-offset B]

The join scores the lowest of that mean over K consecutive chunks, with B added to its
logit (wakenet.WakeEnsemble); without the options, as the first model does.

The models must have been written by train_wakeword.py (or by this tool) for the same
embedding model; their networks are read back and exported again as one ensemble.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wakenet  # noqa: E402


def merge(paths, out, hold=None, logit_offset=None):
    models = [wakenet.load_wake(path) for path in paths]
    members = [m for model in models for m in model.members]
    net = wakenet.WakeEnsemble(members,
                               models[0].hold if hold is None else hold,
                               models[0].logit_offset if logit_offset is None else logit_offset)
    wakenet.export_wake(net, out)
    return net


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("models", nargs="+", help="wake model files to join")
    p.add_argument("--out", required=True)
    p.add_argument("--hold", type=int, metavar="K",
                   help="score the lowest mean over K consecutive chunks (default: as the "
                        "first model)")
    p.add_argument("--logit-offset", type=float, metavar="B",
                   help="add B to the logit of the held score (default: as the first model)")
    args = p.parse_args()
    if len(args.models) < 2 and args.hold is None and args.logit_offset is None:
        p.error("name at least two models to join, or a hold or logit offset to give one")
    try:
        net = merge(args.models, args.out, args.hold, args.logit_offset)
    except (OSError, ValueError) as e:  # a missing file, not a wake model, or a hold below 1
        p.error(str(e))
    print(f"{args.out}: {len(net.members)} networks from {len(args.models)} models, held "
          f"over {net.hold} chunks, logit offset {net.logit_offset:g}, "
          f"{os.path.getsize(args.out)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
