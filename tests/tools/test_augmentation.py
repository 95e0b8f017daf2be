"""The training audio's tone balance: it must move the lows and highs of the speech by the
amounts drawn and leave the middle, where the formants are, as it was; and it must never
touch the held-out streams, whose audio for a seed has to stay what the published figures
were measured on."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import wakedata as wd  # noqa: E402
import wakeset  # noqa: E402

SR = 16000


def band_gain_db(before, after, lo, hi):
    f = np.fft.rfftfreq(len(before), 1.0 / SR)
    band = (f >= lo) & (f < hi)
    return 10.0 * np.log10(np.sum(np.abs(np.fft.rfft(after)[band]) ** 2) /
                           np.sum(np.abs(np.fft.rfft(before)[band]) ** 2))


def test_tilt_moves_lows_and_highs_within_their_ranges_and_keeps_the_middle():
    x = np.random.default_rng(0).normal(size=2 * SR)
    rng = np.random.default_rng(1)
    lows, highs = [], []
    for _ in range(40):
        y = wd.tilt(rng, x)
        assert abs(band_gain_db(x, y, 700.0, 1100.0)) < 1.0
        lows.append(band_gain_db(x, y, 60.0, 110.0))
        highs.append(band_gain_db(x, y, 6000.0, 7500.0))
    # Far from the corners each band takes nearly its full drawn gain: lows -10..+15 dB,
    # highs -12..+8 dB, and both directions occur.
    assert -11.0 < min(lows) < -3.0 and 8.0 < max(lows) < 16.0
    assert -13.0 < min(highs) < -5.0 and 2.0 < max(highs) < 9.0


# What a generator yields next after finishing a stream from these seeds, as the streams were
# made before the tone balance existed: a held-out or plain training stream that drew one
# number more (or fewer) would shift every later stream of its set.
NEXT_DRAW_BEFORE = {
    "eval": {3: 0.36905821590416377, 4: 0.6237755235550113, 5: 0.10307606898916666,
             6: 0.7980500917723355, 7: 0.2712207425222455, 8: 0.6745337154552667},
    "train": {3: 0.36905821590416377, 4: 0.5439414007634982, 5: 0.9786882436479928,
              6: 0.5757120810420495, 7: 0.32897656694500643, 8: 0.6745337154552667},
}


def next_draws(split):
    speech = np.random.default_rng(2).normal(size=SR) * 0.1
    speech[:SR // 4] = 0.0
    out = {}
    for seed in NEXT_DRAW_BEFORE[split]:
        rng = np.random.default_rng(seed)
        wakeset.finish(rng, speech, split, [speech])
        out[seed] = rng.random()
    return out


def test_held_out_and_plain_training_streams_are_made_as_before(monkeypatch):
    assert next_draws("train") == NEXT_DRAW_BEFORE["train"]
    monkeypatch.setitem(wakeset._SHARED, "tilt", wakeset.TILT_SHARE)
    assert next_draws("eval") == NEXT_DRAW_BEFORE["eval"]
    # Tone-balanced training streams do draw for it.
    assert next_draws("train") != NEXT_DRAW_BEFORE["train"]


def test_only_training_streams_go_through_the_tone_balance(monkeypatch):
    calls = []
    monkeypatch.setattr(wd, "tilt", lambda rng, x: calls.append(len(x)) or x)
    monkeypatch.setitem(wakeset._SHARED, "tilt", 1.0)
    speech = np.random.default_rng(2).normal(size=SR) * 0.1
    wakeset.finish(np.random.default_rng(3), speech, "eval", [speech])
    assert calls == []
    wakeset.finish(np.random.default_rng(3), speech, "train", [speech])
    assert calls == [SR]


def peak_dbfs(pcm):
    return 20.0 * np.log10(np.max(np.abs(pcm.astype(np.float64))) / 32767.0)


def peaks(split, seeds=range(400)):
    speech = np.random.default_rng(2).normal(size=SR) * 0.1
    return np.array([peak_dbfs(wakeset.finish(np.random.default_rng(seed), speech, split,
                                              [speech])) for seed in seeds])


def test_quiet_streams_come_at_their_share_in_training_sets_only(monkeypatch):
    # Without quiet streams nothing is drawn for them (the pins above); with them, the
    # held-out streams still draw exactly as before.
    monkeypatch.setattr(wakeset, "QUIET_SHARE", 0.3)
    assert next_draws("eval") == NEXT_DRAW_BEFORE["eval"]
    assert next_draws("train") != NEXT_DRAW_BEFORE["train"]
    lo, hi = wakeset.QUIET_PEAK_DB
    train, held_out = peaks("train"), peaks("eval")
    # Rounding and the sensor noise move a peak by a fraction of a decibel at most.
    assert held_out.min() > -30.5 and held_out.max() < -1.5
    assert train.min() > lo - 0.5 and train.max() < -1.5
    quiet = train < hi - 0.5
    assert abs(quiet.mean() - 0.3) < 0.08
    # Spread over the quiet range, not piled at one end of it.
    assert np.mean(train[quiet] < (lo + hi) / 2) > 0.3


def test_sets_with_quiet_streams_have_files_of_their_own(monkeypatch):
    plain = wakeset.set_path("d", "x", "train")
    monkeypatch.setattr(wakeset, "QUIET_SHARE", 0.15)
    assert wakeset.set_path("d", "x", "train") == plain.replace(".npz", "-q15.npz")
    assert wakeset.set_path("d", "x", "eval") == os.path.join("d", "x-v2.npz")
