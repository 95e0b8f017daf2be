"""The evaluation's bookkeeping and the training targets: what counts as a detection of a
phrase, how the latch is replayed over recorded scores, and where a wake model is taught to
fire. A fault here would misstate every figure the evaluation reports."""
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import evaluate as ev  # noqa: E402
import stream_features as sf  # noqa: E402

SR = 16000


def chunk_ending_at(seconds):
    """The chunk that completes at this stream time (a multiple of 80 ms)."""
    return int(round(seconds / 0.08)) - 1


def test_latch_replay_follows_warmup_threshold_and_cooldown():
    # Predictions 1 to 13 at 0.9, then 0.3, 0.5, 0.6, NaN: the slot cannot fire during the
    # 5-prediction warm-up, fires on the 6th, is blocked for the next 7, fires again on the
    # 15th (a score equal to the threshold counts), and a NaN never fires.
    scores = [0.9] * 13 + [0.3, 0.5, 0.6, math.nan]
    assert ev.latch(scores, 0.5) == [5, 14]
    # A score that stays high fires on predictions 6, 14, 22...
    assert ev.latch([1.0] * 30, 0.5) == [5, 13, 21, 29]
    assert ev.latch([0.49] * 30, 0.5) == []


def test_a_detection_counts_from_the_phrase_start_to_1_5_s_after_its_end():
    start, end = int(2.0 * SR), int(3.0 * SR)
    span = [(start, end)]
    inside_first = chunk_ending_at(2.08)
    inside_last = chunk_ending_at(4.48)  # 1.48 s after the end
    too_early = chunk_ending_at(1.92)
    too_late = chunk_ending_at(4.56)
    assert ev.count([[inside_first]], span) == (1, 1, 0)
    assert ev.count([[inside_last]], span) == (1, 1, 0)
    assert ev.count([[too_early]], span) == (0, 1, 1)
    assert ev.count([[too_late]], span) == (0, 1, 1)
    # Two detections of the same phrase are one hit, not a false accept.
    assert ev.count([[inside_first, inside_last]], span) == (1, 1, 0)
    # Every detection in a stream without the phrase is a false accept.
    assert ev.count([[3, 40, 99], []], [(-1, -1), (-1, -1)]) == (0, 0, 3)


def test_chunk_times_match_the_stream():
    # Chunk c is complete once 1280 (c + 1) samples have been written.
    assert sf.chunk_end_seconds(0) == 0.08
    assert np.allclose(sf.chunk_end_seconds(np.arange(3)), [0.08, 0.16, 0.24])
    assert sf.chunk_count(1279) == 0 and sf.chunk_count(2560) == 2


def test_a_wake_model_is_taught_to_fire_right_after_the_phrase_ends():
    end = int(3.04 * SR)  # the phrase ends at 3.04 s: both window edges fall on chunk ends
    y = sf.fire_labels(80, end)
    times = sf.chunk_end_seconds(np.arange(80))
    fire = times[y == 1]
    assert np.allclose(fire, [2.96, 3.04, 3.12, 3.20, 3.28])
    # Well before and well after the phrase, stay quiet.
    assert (y[times < 2.78] == 0).all() and (y[times > 3.45] == 0).all()
    # Around the firing window either answer is taken.
    assert (y[(times > 2.80) & (times < 2.95)] == -1).all()
    assert (y[(times > 3.29) & (times < 3.44)] == -1).all()
    # The score must be down again before the latch could fire a second time.
    assert sf.EITHER_TO < sf.FIRE_FROM + 8 * 0.08
    assert (sf.fire_labels(80, None) == 0).all()


def test_wake_contexts_repeat_the_first_embedding_before_sixteen_exist():
    e = np.arange(20, dtype=np.float32).reshape(20, 1)
    ctx = sf.wake_contexts(e)
    assert ctx.shape == (20, 16, 1)
    assert (ctx[0, :, 0] == 0).all()
    assert list(ctx[3, :, 0]) == [0] * 12 + [0, 1, 2, 3]
    assert list(ctx[19, :, 0]) == list(range(4, 20))


def test_recall_at_a_false_accept_rate_takes_the_best_threshold_within_it():
    curve = [{"threshold": 0.1, "recall": 0.95, "false_accepts_per_hour": 12.0},
             {"threshold": 0.5, "recall": 0.90, "false_accepts_per_hour": 4.0},
             {"threshold": 0.7, "recall": 0.80, "false_accepts_per_hour": 1.0},
             {"threshold": 0.9, "recall": 0.60, "false_accepts_per_hour": 0.0}]
    assert ev.recall_at(curve, (0.5, 1.0, 5.0, 20.0)) == [
        (0.5, 0.60, 0.9), (1.0, 0.80, 0.7), (5.0, 0.90, 0.5), (20.0, 0.95, 0.1)]
    assert ev.recall_at(curve[:2], (1.0,)) == [(1.0, None, None)]


def test_recall_is_split_by_voice_group_noise_and_snr_band():
    span = (int(2.0 * SR), int(3.0 * SR))
    hit, miss = [chunk_ending_at(3.2)], [chunk_ending_at(1.0)]  # the miss is a stray too
    voices = ["festival kal_diphone", "espeak-ng en-us-nyc+Andy", "espeak-ng en-us-nyc+linda",
              "festival kal_diphone"]
    keys = [ev.voice_group(v) for v in voices]
    by = ev.recall_by([hit, miss, hit, miss], [span] * 4, keys)
    assert by == {"espeak-ng en-us-nyc": {"positives": 2, "detected": 1, "recall": 0.5},
                  "festival kal_diphone": {"positives": 2, "detected": 1, "recall": 0.5}}
    assert ev.voice_group(None) == "?"
    # Bands are floored, so a recording at 9.9 dB is not counted with those at 10 and above;
    # a draw just below the top, noted as 30.0, stays in the top band.
    assert [ev.snr_band(x) for x in (0.0, 9.9, 10.0, 29.9, 30.0, None)] == [
        "0-10 dB", "0-10 dB", "10-20 dB", "20-30 dB", "20-30 dB", "no noise"]


def test_a_false_accept_is_put_down_to_the_clip_that_started_last_before_it():
    clips = [["hey karis", int(0.5 * SR), int(1.4 * SR)],
             ["bend kalmoris", int(2.0 * SR), int(3.0 * SR)]]
    notes = [{"clips": clips}, None, {"clips": []}]
    fired = [[chunk_ending_at(1.92),   # after "hey karis", before the second clip starts
              chunk_ending_at(3.04),   # just after "bend kalmoris"
              chunk_ending_at(2.16),   # "bend kalmoris" began only 0.16 s before
              chunk_ending_at(0.48)],  # before anything was said
             [chunk_ending_at(2.0)],   # a stream without notes is not counted
             []]
    assert ev.false_accepts_by_text(fired, notes) == {
        "hey karis": {"spoken": 1, "false_accepts": 2},
        "bend kalmoris": {"spoken": 1, "false_accepts": 1},
        "(before any)": {"spoken": 0, "false_accepts": 1}}


def test_a_recording_is_scaled_to_the_peak_asked_for_and_silence_stays_silent():
    rng = np.random.default_rng(5)
    x = np.round(rng.normal(size=8000) * 3000.0).astype(np.int16)
    for peak in (-45.0, -20.0, -3.0):
        y = ev.at_peak(x, peak)
        assert y.dtype == np.int16 and y.shape == x.shape
        assert abs(20.0 * math.log10(np.max(np.abs(y)) / 32767.0) - peak) < 0.05
        # The shape of the signal is kept: one gain for every sample, then rounding.
        gain = 10.0 ** (peak / 20.0) * 32767.0 / np.max(np.abs(x).astype(np.float64))
        assert np.max(np.abs(y - x * gain)) <= 0.5 + 1e-6 * 32767
    loud = ev.at_peak(x, 6.0)  # above full scale the peaks clip instead of wrapping
    assert loud.max() == 32767 and loud.min() == -32768
    big = np.abs(x) > 1000
    assert np.all(np.sign(loud[big]) == np.sign(x[big]))
    assert not ev.at_peak(np.zeros(100, dtype=np.int16), -20.0).any()
