"""Streaming through a Detector: chunk counts, input forms, scores and detections."""
from __future__ import annotations

import array
from pathlib import Path

import numpy as np
import pytest

import kalmoris_wakeword as kw
from kalmoris_wakeword import _raw
from conftest import FIXTURES, model

CHUNK = 1280


def chunk(value: int, n: int = CHUNK) -> np.ndarray:
    return np.full(n, value, dtype=np.int16)


def test_chunk_count_for_blocks_of_every_size(probe):
    # Every block size from 1 to two chunks and a bit, then some long blocks: each write
    # reports exactly the chunk boundaries it crossed.
    sizes = list(range(1, 2 * CHUNK + 2)) + [10 * CHUNK, 10 * CHUNK + 1, 100_000]
    total = 0
    with kw.Detector(probe, model("wake_mean_1")) as detector:
        for n in sizes:
            got = detector.write(chunk(-12, n))
            assert got == (total + n) // CHUNK - total // CHUNK, f"block of {n}"
            total += n


def ramp_signal(n: int) -> np.ndarray:
    # Around -13 (score near 0.7) with a slow swing, so scores differ from chunk to chunk
    # and detections latch now and then.
    t = np.arange(n)
    return (-13 + np.round(4 * np.sin(t / 3000.0)) + (t % 7) - 3).astype(np.int16)


def run(convert, blocks):
    """Writes each block in the form `convert` makes; returns every result seen."""
    seen = []
    probe = str(FIXTURES / "probe-frontend")
    with kw.Detector(probe, [model("wake_mean_1"), model("wake_mean_3")]) as detector:
        for block in blocks:
            seen.append((detector.write(convert(block)), detector.scores().tolist(),
                         list(detector.detections())))
    return seen


def unaligned(block: np.ndarray) -> memoryview:
    raw = b"\0" + block.astype("<i2").tobytes()
    return memoryview(raw)[1:]


def strided(block: np.ndarray) -> np.ndarray:
    wide = np.zeros(2 * block.size, dtype=np.int16)
    wide[::2] = block
    return wide[::2]


INPUT_FORMS = {
    "bytes": lambda b: b.astype("<i2").tobytes(),
    "bytearray": lambda b: bytearray(b.astype("<i2").tobytes()),
    "memoryview": lambda b: memoryview(b.astype("<i2").tobytes()),
    "unaligned bytes": unaligned,
    "array('h')": lambda b: array.array("h", b.tolist()),
    "big-endian array": lambda b: b.astype(">i2"),
    "strided array": strided,
    "column array": lambda b: b.reshape(-1, 1),
    # int16 arrays at an odd address, read-only and writable.
    "unaligned array": lambda b: np.frombuffer(b"\0" + b.tobytes(), np.int16, offset=1),
    "unaligned writable array": lambda b: np.frombuffer(bytearray(b"\0" + b.tobytes()),
                                                        np.int16, offset=1),
}


def test_every_input_form_gives_the_same_results():
    signal = ramp_signal(40 * CHUNK)
    cuts = np.cumsum([1, 700, 1900, 333, 2560, 1279, 5000, 17, 12000])
    blocks = np.split(signal, cuts)
    reference = run(lambda b: b, blocks)
    assert sum(r[0] for r in reference) == 40
    assert any(r[2] for r in reference), "the signal should latch detections"
    assert len({tuple(r[1]) for r in reference}) > 5, "scores should vary"
    for name, convert in INPUT_FORMS.items():
        assert run(convert, blocks) == reference, name


def test_one_long_block_loses_no_detection(probe):
    # The library keeps one detection per model until it is collected; a block of many chunks
    # must still report every detection, each with the score of the chunk that latched it.
    signal = ramp_signal(60 * CHUNK + 77)

    def detections(blocks):
        with kw.Detector(probe, [model("wake_mean_1"), model("wake_mean_3")]) as detector:
            found = []
            for block in blocks:
                detector.write(block)
                found += list(detector.detections())
        return found

    chunk_by_chunk = detections(np.array_split(signal, len(signal) // 1000))
    assert len([d for d in chunk_by_chunk if d.index == 0]) >= 3, "the signal should fire often"
    assert detections([signal]) == chunk_by_chunk


def test_a_block_too_long_for_one_c_call_is_fed_in_pieces(monkeypatch):
    signal = ramp_signal(9 * CHUNK + 5)
    reference = run(lambda b: b, [signal])
    monkeypatch.setattr(_raw, "MAX_SAMPLES_PER_CALL", 2 * CHUNK)
    assert run(lambda b: b, [signal]) == reference
    assert reference[0][0] == 9


def test_detections_and_scores_follow_the_audio(probe):
    paths = [Path(model("wake_mean_1")), model("wake_mean_3"), model("wake_mean_16")]
    with kw.Detector(probe, paths, threshold=0.5) as detector:
        for _ in range(5):  # warm-up: no detection on the first five chunks
            assert detector.write(chunk(-12)) == 1
        assert list(detector.detections()) == []
        scores = detector.scores()
        assert scores.dtype == np.float32 and scores.shape == (3,)
        np.testing.assert_allclose(scores, 0.8, rtol=1e-6)
        # The sixth chunk fires every model; each detection carries that chunk's score, not
        # that of the seventh chunk written in the same call.
        assert detector.write(np.concatenate([chunk(-12), chunk(-13)])) == 2
        found = list(detector.detections())
        assert [(d.index, d.path) for d in found] == [(i, str(p)) for i, p in enumerate(paths)]
        np.testing.assert_allclose([d.score for d in found], [0.8, 0.8, 0.8], rtol=1e-5)
        np.testing.assert_allclose(detector.scores(),
                                   [0.7, (0.8 + 0.8 + 0.7) / 3, (0.8 * 15 + 0.7) / 16], rtol=1e-5)
        assert list(detector.detections()) == []  # handed over once

        # An added model scores from the next chunk and warms up on its own.
        assert detector.add_model(model("wake_mean_1")) == 3
        assert detector.model_paths[3] == model("wake_mean_1")
        assert detector.scores()[3] == 0.0
        for _ in range(8):
            detector.write(chunk(-11))
        # In the order they latched: the new model ends its warm-up before the others end
        # their cooldown.
        assert [d.index for d in detector.detections()] == [3, 0, 1, 2]

        # A reset drops pending samples and scores: a chunk then needs 1280 new samples.
        detector.write(chunk(-11, 1000))
        detector.reset()
        assert detector.scores().tolist() == [0.0] * 4
        assert detector.write(chunk(-11, 1279)) == 0
        assert detector.write(chunk(-11, 1)) == 1
