"""festival's non-English voices as training voices (of wake models and of the embedding):
they must come at their share, keep each rendition in its text's place, never be a held-out
voice, leave sets made without them drawn exactly as before, and really say the wake phrase's
sounds. The last check needs festival and the voices (scripts/install_training_deps.sh); it
is skipped where they are missing, as in CI."""
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import wakedata as wd  # noqa: E402
import wakeset  # noqa: E402


@pytest.fixture(autouse=True)
def fixed_espeak_variants(monkeypatch):
    """The training voices draw an espeak-ng variant from the installed ones; a fixed list
    keeps these tests off espeak-ng, which CI does not install."""
    monkeypatch.setattr(wd, "_VARIANTS", ["m1", "f1", "croak"])


class FakeTts:
    """Answers every engine with a rendition whose length tells which text it was."""

    def __init__(self):
        self.festival_runs = []
        self.last_voice = None

    def _say(self, text, voice):
        self.last_voice = voice
        return np.full(1000 + 10 * int(text.split()[-1]), 0.5)

    def espeak(self, text, voice, rate=175, pitch=50, ssml=False):
        return self._say(text, f"espeak-ng {voice}")

    def flite(self, text, voice, stretch=1.0, f0=None):
        return self._say(text, f"flite {voice}")

    def festival(self, texts, voice, stretch=1.0):
        self.festival_runs.append((voice, list(texts)))
        return [self._say(t, f"festival {voice}") for t in texts]

    def close(self):
        pass


def texts(n):
    return [f"word {i}" for i in range(n)]


def say(share, n=400, seed=5, monkeypatch=None):
    monkeypatch.setattr(wd, "FESTIVAL_TRAIN_SHARE", share)
    tts, rng = FakeTts(), np.random.default_rng(seed)
    voices = wakeset.Voices(tts, rng, "train")
    out = voices.say_many(texts(n))
    return out, voices.voices, tts, rng


def test_without_festival_training_renditions_are_drawn_as_before(monkeypatch):
    out, names, tts, rng = say(0.0, monkeypatch=monkeypatch)
    assert tts.festival_runs == []
    # The same draws as one say() a text, the way sets were made before festival joined.
    rng2 = np.random.default_rng(5)
    before = wakeset.Voices(FakeTts(), rng2, "train")
    ref = [before.say(t) for t in texts(400)]
    assert all(np.array_equal(a, b) for a, b in zip(out, ref))
    assert rng.random() == rng2.random()


def test_festival_voices_come_at_their_share_in_their_texts_places(monkeypatch):
    # Without the speaker shift, a rendition's length tells which text it was.
    monkeypatch.setattr(wakeset, "vary_speaker", lambda rng, x: x)
    out, names, tts, _ = say(0.3, monkeypatch=monkeypatch)
    by_festival = [n.startswith("festival ") for n in names]
    assert abs(np.mean(by_festival) - 0.3) < 0.07
    # Every rendition is its own text's, whichever engine spoke it.
    assert [len(x) for x in out] == [1000 + 10 * i for i in range(400)]
    spoken = {t for _, batch in tts.festival_runs for t in batch}
    assert spoken == {t for t, f in zip(texts(400), by_festival) if f}
    # One festival run a voice, and only training voices.
    run_voices = [v for v, _ in tts.festival_runs]
    assert len(run_voices) == len(set(run_voices))
    assert set(run_voices) <= set(wd.FESTIVAL_TRAIN_VOICES)
    assert not set(wd.FESTIVAL_TRAIN_VOICES) & set(wd.FESTIVAL_EVAL_VOICES)
    # Held-out renditions never use them.
    monkeypatch.setattr(wd, "FESTIVAL_TRAIN_SHARE", 1.0)
    tts = FakeTts()
    held = wakeset.Voices(tts, np.random.default_rng(1), "eval")
    held.say_many(texts(50))
    assert {v for v, _ in tts.festival_runs} <= set(wd.FESTIVAL_EVAL_VOICES)


def test_a_text_festival_cannot_say_goes_to_another_training_voice(monkeypatch):
    monkeypatch.setattr(wakeset, "vary_speaker", lambda rng, x: x)
    monkeypatch.setattr(wd, "FESTIVAL_TRAIN_SHARE", 1.0)

    class Failing(FakeTts):
        def festival(self, texts, voice, stretch=1.0):
            said = super().festival(texts, voice, stretch)
            return [np.zeros(0) if t.endswith("7") else x for t, x in zip(texts, said)]

    voices = wakeset.Voices(Failing(), np.random.default_rng(4), "train")
    out = voices.say_many(texts(60))
    assert [len(x) for x in out] == [1000 + 10 * i for i in range(60)]
    failed = [v for t, v in zip(texts(60), voices.voices) if t.endswith("7")]
    assert len(failed) == 6 and not any(v.startswith("festival") for v in failed)
    assert all(v.startswith("festival") for t, v in zip(texts(60), voices.voices)
               if not t.endswith("7"))


def test_a_held_out_text_festival_cannot_say_stops_the_set(monkeypatch):
    class Failing(FakeTts):
        def festival(self, texts, voice, stretch=1.0):
            return [np.zeros(0) for _ in texts]

    held = wakeset.Voices(Failing(), np.random.default_rng(1), "eval")
    with pytest.raises(RuntimeError, match=r"festival \w+ could not say 'word \d'"):
        for _ in range(20):  # the festival voices take 45% of the held-out renditions
            held.say_many(texts(3))
            held.say("word 0")


def test_the_training_install_script_installs_every_festival_training_voice():
    # The script runs before Python's packages exist, so it keeps its own copy of the list.
    script = os.path.join(os.path.dirname(__file__), "..", "..", "scripts",
                          "install_training_deps.sh")
    with open(script) as f:
        words = set(f.read().replace("\\", " ").split())
    assert set(wd.FESTIVAL_TRAIN_PACKAGES) <= words
    assert len(wd.FESTIVAL_TRAIN_PACKAGES) == len(wd.FESTIVAL_TRAIN_VOICES)


def test_sets_with_festival_renditions_have_files_of_their_own(monkeypatch):
    plain = wakeset.set_path("d", "x", "train")
    monkeypatch.setattr(wd, "FESTIVAL_TRAIN_SHARE", 0.2)
    assert wakeset.set_path("d", "x", "train") == plain.replace(".npz", "-fest20.npz")
    assert wakeset.set_path("d", "x", "eval") == os.path.join("d", "x-v2.npz")


def segments(voice, text):
    script = (f"(voice_{voice})\n(set! u (utt.synth (Utterance Text \"{text}\")))\n"
              "(mapcar (lambda (s) (format t \"%s \" (item.name s))) "
              "(utt.relation.items u 'Segment))\n")
    out = subprocess.run(["festival", "--pipe"], input=script, text=True, capture_output=True,
                         check=True, timeout=120).stdout
    return out.split()


@pytest.mark.skipif(shutil.which("festival") is None
                    or wd.missing_festival_voices(wd.FESTIVAL_TRAIN_VOICES) != [],
                    reason="festival or its training voices are not installed")
def test_every_festival_training_voice_says_the_wake_word():
    # A voice that read Latin letters by other rules (as the Russian one does: "k aa l m ay r
    # ay j s") would teach the model a different word as the wake word.
    for voice in wd.FESTIVAL_TRAIN_VOICES:
        sounds = [re.sub(r"[0-9]", "", s).lower() for s in segments(voice, "kalmoris")]
        word = "".join(s for s in sounds if s not in ("#", "pau"))
        assert re.fullmatch(r"k(a|ax)lm(o)ri(s)", word), (voice, sounds)
    tts = wd.Tts()
    try:
        for voice in wd.FESTIVAL_TRAIN_VOICES:
            x = wd.trim(tts.festival(["hey kalmoris"], voice)[0])
            assert 0.4 < len(x) / wd.SR < 2.5 and np.max(np.abs(x)) > 0.05, voice
        # The Finnish voices fail on "fuzz"; the texts around it are still spoken.
        said = tts.festival(["gaily", "fuzz", "placenta"], "hy_fi_mv_diphone")
        assert [x.size > 0 for x in said] == [True, False, True]
    finally:
        tts.close()


def test_embedding_runs_by_festival_come_last_and_label_each_word_in_its_place(monkeypatch):
    te = pytest.importorskip("train_embedding")  # needs python3-torch
    plain = te.synthesis_runs(np.random.default_rng(2), 60, 16)
    runs = te.synthesis_runs(np.random.default_rng(2), 60, 16, festival_runs=18)
    # The espeak-ng and flite runs are drawn as without festival, so the held-out voice runs
    # (numbered over those) stay the same voices.
    assert runs[:76] == plain
    extra = runs[76:]
    assert [r[1] for r in extra] == wd.FESTIVAL_TRAIN_VOICES * 2
    assert all(r[0] == "festival" and 0.8 <= r[2] <= 1.3 for r in extra)
    # Each festival rendition keeps its word's label across the runs' batches of texts.
    monkeypatch.setattr(wd, "Tts", FakeTts)
    vocab = texts(250)
    clips = te._speak_run((extra[0], vocab))
    assert [label for label, _ in clips] == list(range(1, 251))
    assert all(len(clip) == 1000 + 10 * (label - 1) for label, clip in clips)


def test_embedding_festival_runs_need_the_voices_and_a_count(monkeypatch, capsys):
    te = pytest.importorskip("train_embedding")
    monkeypatch.setattr(te.wd, "missing_festival_voices", lambda voices: ["czech_ph"])
    for count, words in (("4", ("czech_ph", "festvox-czech-ph")), ("-1", ("0 or more",))):
        monkeypatch.setattr(sys, "argv", ["train_embedding.py", "--festival-runs", count])
        with pytest.raises(SystemExit) as stop:
            te.main()
        err = capsys.readouterr().err
        assert stop.value.code == 2 and all(w in err for w in words), err
