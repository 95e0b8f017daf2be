"""Failures: every library failure raised with the library's own message, bad input refused
before it reaches the library, and the raw functions returning what C returns."""
from __future__ import annotations

import re

import numpy as np
import pytest

import kalmoris_wakeword as kw
from conftest import model

NOT_LOADED = "not loaded \u2014 call kalwake_load first"


def raises(message: str, exact: bool = True):
    """Expects a KalwakeError carrying `message` (exactly, or as a prefix)."""
    pattern = "^" + re.escape(message) + ("$" if exact else "")
    return pytest.raises(kw.KalwakeError, match=pattern)


def check_from(info, function: str) -> None:
    assert info.value.function == function
    assert info.value.message == str(info.value)


def test_load_failures_raise_the_library_message_and_leave_nothing_open(probe):
    with raises("frontend_dir is empty") as info:
        kw.Detector("", model("wake_mean_1"))
    check_from(info, "kalwake_load")
    with raises("model_path is empty") as info:
        kw.Detector(probe, "")
    check_from(info, "kalwake_load")
    with raises("CreateSession: ", exact=False) as info:
        kw.Detector(probe, "/no/such/wake.onnx")
    check_from(info, "kalwake_load")
    # A model that fails to add takes the whole detector down: no half-loaded set stays.
    with raises("CreateSession: ", exact=False) as info:
        kw.Detector(probe, [model("wake_mean_1"), model("not_a_model")])
    check_from(info, "kalwake_load_model")
    assert kw.model_count() == -1
    with pytest.raises(ValueError):
        kw.Detector(probe, [model("wake_mean_1")] * 9)
    with pytest.raises(ValueError):
        kw.Detector(probe, [])
    with pytest.raises(ValueError, match="NUL"):
        kw.Detector(probe, model("wake_mean_1") + "\0.txt")
    for threshold in ("0.5", None, True):
        with pytest.raises(TypeError, match="threshold must be a number"):
            kw.Detector(probe, model("wake_mean_1"), threshold)
        with pytest.raises(TypeError, match="threshold must be a number"):
            kw.load(probe, model("wake_mean_1"), threshold)
    with kw.Detector(probe, model("wake_mean_1"), 1):  # none of the failures held the detector
        pass


def test_adding_past_eight_models_raises_and_keeps_the_detector(probe):
    with kw.Detector(probe, [model("wake_mean_1")] * 8) as detector:
        with raises("too many wake models (max 8)") as info:
            detector.add_model(model("wake_mean_1"))
        check_from(info, "kalwake_load_model")
        assert len(detector.model_paths) == 8
        assert detector.write(np.zeros(1280, np.int16)) == 1


@pytest.mark.parametrize("mel, emb, wake, message", [
    ("mel_33_bins", "emb_frames", "wake_mean_1", "unexpected melspec shape 8x33"),
    ("mel_double", "emb_frames", "wake_mean_1", "melspec output not float"),
    ("mel_avg", "emb_short", "wake_mean_1", "embedding output too short (50 values, need 96)"),
    ("mel_avg", "emb_frames", "wake_empty", "wake output empty"),
])
def test_write_failures_raise_the_library_message(frontend, mel, emb, wake, message):
    with kw.Detector(frontend(mel, emb), model(wake)) as detector:
        assert detector.write(np.zeros(1279, np.int16)) == 0
        with raises(message) as info:
            detector.write(np.zeros(1, np.int16))
        check_from(info, "kalwake_write")


def test_bad_blocks_are_refused_before_any_sample_is_written(probe):
    with kw.Detector(probe, model("wake_mean_1")) as detector:
        with raises("pcm is NULL or n_samples <= 0") as info:
            detector.write(b"")
        check_from(info, "kalwake_write")
        for bad, error in [(np.zeros(1280, np.float32), TypeError), ([0] * 1280, TypeError),
                           (np.zeros(1280, np.uint16), TypeError), (b"\0" * 2559, ValueError),
                           (np.zeros((640, 2), np.int16), ValueError)]:
            with pytest.raises(error):
                detector.write(bad)
        # Nothing of the refused blocks is pending: one chunk still needs all its samples.
        assert detector.write(np.zeros(1279, np.int16)) == 0
        assert detector.write(np.zeros(1, np.int16)) == 1


def test_a_closed_detector_refuses_every_call(probe):
    detector = kw.Detector(probe, model("wake_mean_1"))
    pending = detector.detections()
    detector.close()
    detector.close()  # closing twice is harmless
    assert detector.closed and kw.model_count() == -1
    for call in (lambda: detector.write(np.zeros(1280, np.int16)), detector.scores,
                 detector.reset, detector.detections, lambda: next(pending),
                 lambda: detector.add_model(model("wake_mean_1"))):
        with raises("the Detector is closed") as info:
            call()
        check_from(info, "Detector")


def test_raw_functions_return_what_c_returns(probe):
    assert kw.version() == "1.0.0"
    assert kw.load("", model("wake_mean_1"), 0.5) == -1
    assert kw.last_error() == "frontend_dir is empty"
    assert kw.load_model(None) == -1
    assert kw.last_error() == "model_path is empty"
    assert kw.write(np.zeros(1280, np.int16)) == -1
    assert kw.last_error() == NOT_LOADED
    assert kw.triggered() == (0, -1, 0.0)
    assert kw.last_error() == "not loaded"
    assert kw.scores(np.zeros(0, np.float32)) == -1
    assert kw.last_error() == "scores is NULL or n <= 0"
    assert kw.model_count() == -1

    assert kw.load(probe, model("wake_mean_1"), 0.5) == 0
    assert kw.last_error() == "no error"
    assert kw.load_model(model("wake_mean_3").encode()) == 1
    assert kw.model_count() == 2
    for _ in range(6):
        assert kw.write(np.full(1280, -12, np.int16).tobytes()) == 1
    fired, index, score = kw.triggered()
    assert (fired, index) == (1, 0) and score == pytest.approx(0.8)
    out = np.full(4, 9.0, np.float32)
    assert kw.scores(out) == 0
    np.testing.assert_allclose(out, [0.8, 0.8, 0.0, 0.0], rtol=1e-6)
    assert kw.triggered()[:2] == (1, 1)
    assert kw.triggered() == (0, -1, 0.0)
    kw.reset()
    assert kw.write(np.zeros(1279, np.int16)) == 0
    kw.unload()
    assert kw.model_count() == -1 and kw.last_error() == "no error"
    with pytest.raises(TypeError):
        kw.scores(np.zeros(4, np.float64))  # the library would read it as floats
