"""The example program, run on WAV files through the probe models."""
from __future__ import annotations

import os
import subprocess
import sys
import wave
from pathlib import Path

import numpy as np

import kalmoris_wakeword as kw
from conftest import model

LISTEN = Path(__file__).resolve().parents[1] / "examples" / "listen.py"


def write_wav(path: Path, samples: np.ndarray, channels: int = 1, rate: int = 16000) -> str:
    with wave.open(str(path), "wb") as wav:
        wav.setnchannels(channels)
        wav.setsampwidth(2)
        wav.setframerate(rate)
        wav.writeframes(samples.astype("<i2").tobytes())
    return str(path)


def listen(probe, wav, *extra):
    package_root = str(Path(kw.__file__).resolve().parents[1])
    done = subprocess.run([sys.executable, str(LISTEN), probe, model("wake_mean_1"),
                           "--wav", wav, *extra], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": package_root})
    return done.returncode, done.stdout, done.stderr


def test_prints_each_detection_with_its_time(probe, tmp_path):
    # Sixteen chunks of -12 (score 0.8): the latch fires on chunks 6 and 14.
    mono = write_wav(tmp_path / "mono.wav", np.full(16 * 1280, -12))
    code, out, err = listen(probe, mono)
    assert (code, err) == (0, "")
    assert out.splitlines() == ["     0.48 s  wake_mean_1  (score 0.800)",
                                "     1.12 s  wake_mean_1  (score 0.800)"]
    # Two channels mix down to the same audio; blocks of another size date detections to
    # the end of the block that completed them.
    stereo = write_wav(tmp_path / "stereo.wav", np.repeat(np.full(16 * 1280, -12), 2), 2)
    code, out, err = listen(probe, stereo, "--block", "1000")
    assert (code, err) == (0, "")
    assert [line.split()[0] for line in out.splitlines()] == ["0.50", "1.12"]


def test_refuses_audio_the_models_cannot_use(probe, tmp_path):
    wav = write_wav(tmp_path / "fast.wav", np.zeros(4410), rate=44100)
    code, out, err = listen(probe, wav)
    assert code != 0 and "44100 Hz" in err
