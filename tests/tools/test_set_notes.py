"""The notes a held-out phrase set keeps on its streams (voice, background noise, which
close phrase was said where): they must describe the audio that was made, and keeping them
must not draw a random number, or the held-out audio of a seed, on which the published
figures were measured, would change."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import wakedata as wd  # noqa: E402
import wakeset  # noqa: E402

SR = 16000


class FakeTts:
    """Stands in for the speech engines: a tone a text, its length from the text, and the
    voice it was asked for recorded as the engines record it."""

    def __init__(self):
        self.last_voice = None

    def _say(self, text):
        t = np.arange(int(0.05 * SR * (3 + len(text) % 7))) / SR
        return 0.3 * np.sin(2 * np.pi * (150 + 10 * len(text)) * t)

    def espeak(self, text, voice, rate=175, pitch=50, ssml=False):
        self.last_voice = f"espeak-ng {voice}"
        return self._say(text)

    def flite(self, text, voice, stretch=1.0, f0=None):
        self.last_voice = f"flite {voice}"
        return self._say(text)

    def festival(self, texts, voice, stretch=1.0):
        self.last_voice = f"festival {voice}"
        return [self._say(t) for t in texts]

    def close(self):
        pass


def test_keeping_notes_draws_nothing_and_changes_no_sample():
    lengths = {"one": int(0.3 * SR), "two": int(0.5 * SR), "three": int(0.7 * SR)}
    clips = [np.random.default_rng(1).normal(size=n) * 0.1 for n in lengths.values()]
    pool = clips
    plain = np.random.default_rng(5)
    noted = np.random.default_rng(5)
    a = wakeset.negative_stream(plain, clips, "eval", pool, 4.0)
    note = {}
    b = wakeset.negative_stream(noted, clips, "eval", pool, 4.0, ["one", "two", "three"], note)
    assert np.array_equal(a, b)
    assert plain.random() == noted.random()
    assert len(note["clips"]) >= 3
    for text, start, end in note["clips"]:
        # Each entry spans its own clip (the last one may be cut at the stream's end).
        assert end - start == lengths[text] or end == len(b)
    assert note["noise"] in wd.EVAL_NOISES + ["none"]


def test_every_held_out_stream_has_a_note_that_fits_it_and_a_held_out_voice(tmp_path,
                                                                          monkeypatch):
    monkeypatch.setattr(wd, "Tts", FakeTts)
    monkeypatch.setattr(wd, "word_list", lambda *a, **k: ["apple", "river", "stone", "cloud"])
    path = str(tmp_path / "set.npz")
    wakeset.build_phrase_set(path, "hey kalmoris", "eval", 3, 40, 6)
    streams, spans = wakeset.load_set(path)
    notes = wakeset.load_notes(path)
    assert len(notes) == len(streams) == 46
    near = set(np.load(path)["confusables"].tolist())
    for s, (start, _), note in zip(streams, spans, notes):
        assert note["noise"] in wd.EVAL_NOISES + ["none"]
        if note["noise"] != "none":
            assert wakeset.SNR_RANGE_DB[0] <= note["snr_db"] <= wakeset.SNR_RANGE_DB[1]
        if start >= 0:
            # Held-out voices only: festival's, or a held-out espeak-ng accent and variant.
            engine, voice = note["voice"].split(" ")
            if engine == "festival":
                assert voice in wd.FESTIVAL_EVAL_VOICES
            else:
                assert engine == "espeak-ng"
                accent, variant = voice.split("+")
                assert accent in wd.ESPEAK_EVAL_ACCENTS
                assert variant in wd.ESPEAK_EVAL_VARIANTS
            assert "clips" not in note
        else:
            assert note["clips"]
            for text, a, b in note["clips"]:
                # A close phrase from the list, or the phrase with one word swapped.
                assert text in near or text.startswith("hey ") or text.endswith(" kalmoris")
                assert 0 <= a < b <= len(s)
    # Festival and the other engines both appear over 40 positives.
    engines = {n["voice"].split(" ")[0] for n in notes if "voice" in n}
    assert "festival" in engines and len(engines) >= 2
