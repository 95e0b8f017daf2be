#!/usr/bin/python3
"""Joins wake models for the same phrase into one: the mean probability of all their
networks, so a model trained on one choice of voices and one trained on another count each
network alike.

    merge_wake_models.py A.onnx B.onnx [...] --out AB.onnx [--hold K] [--logit-offset B]

A model named as FILE:LIST gives only the networks LIST names, counted from 1 in the file's
order ("old.onnx:5-8,13-16": networks 5 to 8 and 13 to 16).

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


def parse_selection(name):
    """"A.onnx" -> ("A.onnx", None); "A.onnx:5-8,13" -> ("A.onnx", [4, 5, 6, 7, 12]) (0-based).
    A name whose part after the last colon is not such a list is a plain path."""
    path, sep, tail = name.rpartition(":")
    if not sep or not tail or not all(c.isdigit() or c in "-," for c in tail):
        return name, None
    picked = []
    for item in tail.split(","):
        first, dash, last = item.partition("-")
        if not first.isdigit() or (dash and not last.isdigit()):
            raise ValueError(f"{name}: networks are listed as N or N-M, separated by commas")
        a, b = int(first), int(last) if dash else int(first)
        if a < 1 or b < a:
            raise ValueError(f"{name}: network ranges count from 1 upwards, not {item}")
        picked += range(a - 1, b)
    return path, picked


def merge(paths, out, hold=None, logit_offset=None):
    models, members = [], []
    for name in paths:
        path, picked = parse_selection(name)
        model = wakenet.load_wake(path)
        if picked is not None:
            if max(picked) >= len(model.members):
                raise ValueError(f"{name}: the file holds {len(model.members)} networks")
            if len(set(picked)) != len(picked):
                raise ValueError(f"{name}: a network is named twice")
        models.append(model)
        members += [model.members[i] for i in picked] if picked is not None else model.members
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
    if (len(args.models) < 2 and args.hold is None and args.logit_offset is None
            and parse_selection(args.models[0])[1] is None):
        p.error("name at least two models to join, a selection of networks, or a hold or "
                "logit offset to give one")
    try:
        net = merge(args.models, args.out, args.hold, args.logit_offset)
    except (OSError, ValueError) as e:  # a missing file, not a wake model, a bad selection,
        # or a hold below 1
        p.error(str(e))
    print(f"{args.out}: {len(net.members)} networks from {len(args.models)} models, held "
          f"over {net.hold} chunks, logit offset {net.logit_offset:g}, "
          f"{os.path.getsize(args.out)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
