#!/usr/bin/python3
"""Produces every piece of synthetic data the default models are trained and evaluated on,
from one seed, into a git-ignored folder (data/ by default):

  data/embedding/  word renditions as the embedding model's training windows
  data/wake/       training streams for the phrase: positives, confusables, other speech
  data/eval/       held-out streams: the phrase and its confusables by held-out voices, and
                   hours of other speech and noise

    make_dataset.py [--phrase "hey kalmoris"] [--seed 1] [--data data]

The training tools build the same files on demand (and skip what exists), with the same
defaults; this script makes them all in one go.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evaluate as ev  # noqa: E402
import train_embedding  # noqa: E402
import train_wakeword  # noqa: E402

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    p = argparse.ArgumentParser(description="Produces the training and evaluation data.")
    p.add_argument("--phrase", default="hey kalmoris")
    p.add_argument("--data", default=os.path.join(HERE, "data"))
    p.add_argument("--seed", type=int, default=1, help="seed of the training data")
    p.add_argument("--eval-seed", type=int, default=7, help="seed of the evaluation data")
    p.add_argument("--words", type=int, default=400)
    p.add_argument("--positives", type=int, default=2000)
    p.add_argument("--confusable-streams", type=int, default=1000)
    p.add_argument("--negative-minutes", type=float, default=120.0)
    p.add_argument("--eval-positives", type=int, default=600)
    p.add_argument("--eval-hours", type=float, default=2.0)
    args = p.parse_args()
    train_embedding.features(args.data, args.seed, args.words, 30, 8, 2)
    train_wakeword.training_sets(args.data, args.phrase, args.seed, args.positives,
                                 args.confusable_streams, args.negative_minutes)
    ev.eval_sets(args.data, args.phrase, args.eval_seed, args.eval_positives, args.eval_hours)


if __name__ == "__main__":
    main()
