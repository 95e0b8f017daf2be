"""The example program, run on WAV files through the probe models."""
from __future__ import annotations

import importlib.util
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


def test_other_rates_and_sample_widths_are_converted(probe, tmp_path):
    # The same sixteen chunks of -12 at 44.1 kHz in stereo, and as 24-bit samples at 8 kHz:
    # mixed, resampled and rescaled, they fire on the same chunks.
    stereo = write_wav(tmp_path / "cd.wav", np.full(2 * 16 * 1280 * 441 // 160, -12), 2, 44100)
    wide = tmp_path / "wide.wav"
    with wave.open(str(wide), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(3)
        wav.setframerate(8000)
        wav.writeframes((np.full(16 * 640, -12 * 256).astype("<i4").view(np.uint8)
                         .reshape(-1, 4)[:, :3]).tobytes())
    for path in (stereo, str(wide)):
        code, out, err = listen(probe, path)
        assert (code, err) == (0, ""), path
        assert [line.split()[0] for line in out.splitlines()] == ["0.48", "1.12"], path


def test_sample_widths_map_onto_the_16_bit_scale():
    origin = importlib.util.spec_from_file_location("listen_example", LISTEN)
    listen_example = importlib.util.module_from_spec(origin)
    origin.loader.exec_module(listen_example)
    to16 = listen_example.pcm_values
    np.testing.assert_array_equal(to16(bytes([0, 128, 255]), 1), [-32768, 0, 32512])
    np.testing.assert_array_equal(to16(np.array([-32768, -12, 32767], "<i2").tobytes(), 2),
                                  [-32768, -12, 32767])
    np.testing.assert_array_equal(to16(bytes([0, 0, 0x80, 0x00, 0xF4, 0xFF, 0xFF, 0xFF, 0x7F]), 3),
                                  [-32768, -12, 32767 + 255 / 256])
    np.testing.assert_array_equal(to16(np.array([-2**31, -12 * 65536], "<i4").tobytes(), 4),
                                  [-32768, -12])


def test_unreadable_files_and_bad_arguments_fail_cleanly(probe, tmp_path):
    text = tmp_path / "notes.wav"
    text.write_text("not audio at all\n")
    for path, reason in ((str(tmp_path / "missing.wav"), "No such file or directory"),
                         (str(text), "not a PCM WAV file")):
        code, out, err = listen(probe, path)
        assert code == 1 and out == ""
        assert err.startswith(f"listen.py: {path}: {reason}") and "Traceback" not in err, err
    code, out, err = listen(probe, str(text), "--block", "0")
    assert code == 2 and "--block: must be at least 1" in err
