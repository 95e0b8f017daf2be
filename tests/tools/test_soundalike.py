"""Sound-alike negatives: the words picked must be the ones that sound near a phrase word, never
ones that hold the whole word, and adding them to training must leave every other training set
drawn exactly as before. Needs espeak-ng (the training tools' packages); skipped where it is
not installed."""
import os
import shutil
import sys

import numpy as np
import pytest

if shutil.which("espeak-ng") is None:
    pytest.skip("espeak-ng is not installed", allow_module_level=True)
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import soundalike  # noqa: E402
import wakeset  # noqa: E402

VOCAB = ["banana", "window", "chorus", "callous", "licorice", "telephone", "computers",
         "commuter", "computed", "mountain", "kalmoris", "avarice", "puddle"]


def test_the_nearest_words_sound_like_the_target_and_never_hold_it():
    ph = soundalike.phonemes(VOCAB)
    near = soundalike.nearest_words("kalmoris", VOCAB, ph, 3)
    assert set(near) == {"chorus", "callous", "licorice"}
    # "computers" begins with every sound of "computer": spoken, it holds the wake word.
    near = soundalike.nearest_words("computer", VOCAB, ph, 2)
    assert near == ["commuter", "computed"] or near == ["computed", "commuter"]
    assert "computers" not in soundalike.nearest_words("computer", VOCAB, ph, len(VOCAB))
    # Nor is the target itself a negative.
    assert "kalmoris" not in soundalike.nearest_words("kalmoris", VOCAB, ph, len(VOCAB))


def test_only_long_words_of_a_phrase_are_swapped():
    alikes = soundalike.sound_alikes("hey kalmoris", VOCAB, 2)
    assert len(alikes) == 2  # "hey" is too short to swap
    assert all(a.startswith("hey ") and a != "hey kalmoris" for a in alikes)
    two = soundalike.sound_alikes("hey computer, kalmoris", VOCAB, 2)
    assert len(two) == 4 and sum(a.startswith("hey computer ") for a in two) == 2
    assert soundalike.sound_alikes("hey you", VOCAB, 5) == []
    assert soundalike.sound_alikes("hey kalmoris", VOCAB, 0) == []


def test_a_batch_gives_one_phoneme_string_per_word():
    words = VOCAB * 20
    ph = soundalike.phonemes(words)
    assert len(ph) == len(words) and ph[:len(VOCAB)] == ph[-len(VOCAB):]
    assert all(p and "'" not in p for p in ph)


class _Voices:
    def __init__(self):
        self.said = []

    def say_many(self, texts):
        self.said += texts
        return [np.ones(1600, dtype=np.float32) * 0.1 for _ in texts]


def test_a_sound_alike_stream_speaks_only_the_listed_phrases(monkeypatch):
    monkeypatch.setattr(wakeset, "negative_stream", lambda rng, clips, *a, **k: clips)
    voices = _Voices()
    rng = np.random.default_rng(3)
    near = ["hey chorus", "hey callous"]
    for _ in range(20):
        wakeset.confusable_stream(rng, voices, "hey kalmoris", near, VOCAB, "train", None,
                                  only_near=True)
    assert len(voices.said) == 80 and set(voices.said) == set(near)
    # Without it, about half are random word swaps, as the confusable sets have always been.
    voices.said = []
    for _ in range(20):
        wakeset.confusable_stream(rng, voices, "hey kalmoris", near, VOCAB, "train", None)
    assert 20 < sum(t not in near for t in voices.said) < 60
