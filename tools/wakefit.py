"""Bookkeeping of the training tools that needs only numpy, so that the build's tests can
check it: which windows the embedding classifier is validated on, how a wake model's
training examples index their 16-embedding contexts, and how hard negatives are weighed up.
"""
import numpy as np

import stream_features as sf


def validation_runs(runs, espeak_runs, every=12):
    """Voice runs of the embedding data kept out of training, to measure how the classifier
    does on voices it has not heard: every 12th espeak-ng run and the last flite run (runs
    are numbered espeak-ng first, then flite)."""
    held = set(range(0, min(runs, espeak_runs), every))
    if runs > espeak_runs:
        held.add(runs - 1)
    return sorted(held)


def split_windows(run_of, held_runs, seed, background_share=0.08):
    """(training, validation) window indices: validation holds every window of the held-out
    runs and a share of the windows without a word (run -1); no held-out voice is trained on."""
    rng = np.random.default_rng(seed)
    run_of = np.asarray(run_of)
    val = np.isin(run_of, held_runs) | ((run_of < 0) &
                                        (rng.random(len(run_of)) < background_share))
    return np.nonzero(~val)[0], np.nonzero(val)[0]


class Examples:
    """Every chunk of a group of streams as (context rows, label), without copying the
    16-row contexts: each example is 16 row indices into one embedding table. A stream's
    first chunks see its own first embedding in the rows before it, as the detector after a
    reset does, never the end of the stream before it."""

    def __init__(self, embs, spans, context=sf.CONTEXT):
        self.table = np.concatenate(embs).astype(np.float32)
        idx, lab, stream = [], [], []
        base = 0
        for k, (e, span) in enumerate(zip(embs, spans)):
            n = len(e)
            rows = np.arange(n)[:, None] - (context - 1) + np.arange(context)[None, :]
            idx.append(base + np.maximum(rows, 0))
            lab.append(sf.fire_labels(n, span[1] if span[0] >= 0 else None))
            stream.append(np.full(n, k))
            base += n
        self.idx = np.concatenate(idx).astype(np.int64)
        self.y = np.concatenate(lab)
        self.stream = np.concatenate(stream)

    def rows(self, which):
        """[len(which), context, D] float32 contexts of these examples."""
        return self.table[self.idx[which]]


def weigh_up_hard(weight, negatives, scores, above=0.05, factor=4.0):
    """Multiplies the weight of the negatives the model still scores above `above`; returns
    how many there were. weight is changed in place; negatives indexes into it."""
    hard = np.asarray(negatives)[np.asarray(scores) > above]
    weight[hard] *= factor
    return len(hard)


def member_streams(n_streams, val_streams, seed, leave_out=0.1):
    """Indices of the streams one member of a wake ensemble trains on: every stream outside
    validation except its own random tenth, so that members see different data and disagree
    where the data does not decide."""
    rng = np.random.default_rng(seed)
    keep = rng.random(n_streams) >= leave_out
    keep[np.asarray(val_streams, dtype=np.int64)] = False
    return np.nonzero(keep)[0]
