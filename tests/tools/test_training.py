"""The training tools' bookkeeping: a wake model's examples must see the contexts the
detector builds, labelled where the phrase ends; the embedding classifier must never train
on the voices it is validated on; mining must weigh up the right negatives; the members of
a wake ensemble must see different data and none of the validation streams. A fault here
trains a model on the wrong inputs or reports a flattering validation figure."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import stream_features as sf  # noqa: E402
import wakefit  # noqa: E402

SR = 16000


def test_examples_give_each_stream_the_contexts_the_detector_builds():
    # Three streams of different lengths, embeddings numbered so that each row names its
    # stream and chunk; the second holds the phrase, ending at 2.0 s.
    lengths = [5, 40, 20]
    embs = [np.stack([np.full(3, 100 * k + c, dtype=np.float32) for c in range(n)])
            for k, n in enumerate(lengths)]
    spans = np.array([[-1, -1], [int(1.2 * SR), int(2.0 * SR)], [-1, -1]])
    ex = wakefit.Examples(embs, spans)
    assert len(ex.y) == sum(lengths)
    assert list(np.bincount(ex.stream)) == lengths
    at = 0
    for k, (e, span) in enumerate(zip(embs, spans)):
        rows = ex.rows(np.arange(at, at + len(e)))
        # Exactly what the detector feeds a wake model after each chunk of this stream,
        # never a row of the stream before it.
        assert np.array_equal(rows, sf.wake_contexts(e))
        assert (rows[:, :, 0] // 100 == k).all()
        expected = sf.fire_labels(len(e), span[1] if span[0] >= 0 else None)
        assert np.array_equal(ex.y[at:at + len(e)], expected)
        at += len(e)
    assert (ex.y[ex.stream != 1] == 0).all()
    assert (ex.y[ex.stream == 1] == 1).sum() == 5


def test_embedding_validation_holds_whole_voices_out_of_training():
    held = wakefit.validation_runs(76, 60)
    assert held == [0, 12, 24, 36, 48, 75]  # five espeak-ng voices and the last flite run
    assert wakefit.validation_runs(30, 30) == [0, 12, 24]  # no flite run to hold out
    rng = np.random.default_rng(3)
    run_of = np.concatenate([rng.integers(0, 76, 5000), np.full(1000, -1)])
    tr, val = wakefit.split_windows(run_of, held, seed=1)
    # Every window lands in exactly one part.
    assert np.array_equal(np.sort(np.concatenate([tr, val])), np.arange(len(run_of)))
    assert not np.isin(run_of[tr], held).any()
    assert np.isin(run_of, held).sum() == np.isin(run_of[val], held).sum()
    # Some windows without a word are validated on, most are trained on.
    no_word_val = (run_of[val] == -1).sum()
    assert 30 < no_word_val < 150
    # The same seed gives the same split.
    tr2, _ = wakefit.split_windows(run_of, held, seed=1)
    assert np.array_equal(tr, tr2)


def test_mining_weighs_up_only_the_negatives_scored_high():
    weight = np.ones(10, dtype=np.float32)
    negatives = np.array([1, 4, 6, 9])  # indices into all examples, not 0..3
    scores = np.array([0.01, 0.9, 0.05, 0.2])
    assert wakefit.weigh_up_hard(weight, negatives, scores) == 2
    assert list(np.nonzero(weight != 1)[0]) == [4, 9]
    assert weight[4] == 4.0 and weight[9] == 4.0
    # A second round compounds.
    wakefit.weigh_up_hard(weight, negatives, scores)
    assert weight[4] == 16.0 and weight[1] == 1.0


def test_ensemble_members_never_train_on_validation_and_each_leaves_out_its_own_tenth():
    n = 2000
    val = np.nonzero(np.random.default_rng(1).random(n) < 0.1)[0]
    members = [wakefit.member_streams(n, val, seed) for seed in (1001, 1002, 1003)]
    training = np.setdiff1d(np.arange(n), val)
    for own in members:
        assert not np.isin(own, val).any()
        assert np.isin(own, training).all()
        left_out = len(training) - len(own)
        assert 0.06 * len(training) < left_out < 0.14 * len(training)
    # Different members leave out different streams, so they see different data.
    assert not np.array_equal(members[0], members[1])
    assert not np.array_equal(members[1], members[2])
    assert np.array_equal(members[0], wakefit.member_streams(n, val, 1001))
