"""Shared set-up of the binding's tests: where the built library and the fixture models are,
and a check after every test that the process's detector was given back."""
from __future__ import annotations

import gc
import os
import shutil
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[3]


def _first_existing(env: str, relative: str) -> Path:
    if os.environ.get(env):
        return Path(os.environ[env])
    for build in ("build-test", "build"):
        candidate = REPO / build / relative
        if candidate.exists():
            return candidate
    pytest.exit(f"set {env}: no {relative} under {REPO}/build-test or {REPO}/build", returncode=2)


LIBRARY = _first_existing("KALWAKE_LIBRARY", "libkalmoris-wakeword.so")
FIXTURES = _first_existing("KALWAKE_FIXTURE_DIR", "tests/fixtures")
os.environ["KALWAKE_LIBRARY"] = str(LIBRARY)  # before the package opens the library

import kalmoris_wakeword as kw  # noqa: E402
from kalmoris_wakeword import detector as detector_module  # noqa: E402


def model(stem: str) -> str:
    """A fixture model by file stem, such as "wake_mean_1"."""
    return str(FIXTURES / f"{stem}.onnx")


@pytest.fixture
def probe() -> str:
    """The probe front end: a wake model "wake_mean_F" then scores the mean over its F newest
    chunks of s / 10 + 2, s being the mean of a chunk's last 160 samples; so a chunk of
    constant value -12 scores 0.8 and one of -15 scores 0.5."""
    return str(FIXTURES / "probe-frontend")


@pytest.fixture
def frontend(tmp_path):
    """Makes a front-end folder of chosen probe models: frontend("mel_33_bins", "emb_frames")."""
    def make(mel: str, emb: str) -> str:
        folder = tmp_path / f"frontend-{mel}-{emb}"
        folder.mkdir()
        shutil.copyfile(model(mel), folder / "melspectrogram.onnx")
        shutil.copyfile(model(emb), folder / "embedding_model.onnx")
        return str(folder)
    return make


@pytest.fixture(autouse=True)
def detector_given_back():
    yield
    gc.collect()
    left_open = detector_module._owner_live
    if left_open:
        detector_module._release()
    kw.unload()  # raw-interface tests may leave the library loaded
    assert not left_open, "the test left a Detector open"
