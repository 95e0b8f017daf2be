"""Where the package looks for the shared library, and what it says when it finds none.
Each case runs in a fresh interpreter, since a process opens the library once."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import kalmoris_wakeword as kw
from conftest import LIBRARY

PACKAGE = Path(kw.__file__).resolve().parent
REPORT = ("import kalmoris_wakeword as kw, kalmoris_wakeword._library as L\n"
          "print(kw.version(), L.library()._name)\n")
LIB_FILE = LIBRARY / "libkalmoris-wakeword.so" if LIBRARY.is_dir() else LIBRARY


def some_other_library() -> str:
    """A shared object this process has loaded that is not the detector: the C library."""
    with open("/proc/self/maps") as maps:
        return next(line.split()[-1] for line in maps if "/libc.so" in line or "/libc-" in line)


def run(tmp_path: Path, env_library=None, next_to_package=False, system_dir=None):
    """Runs REPORT over a private copy of the package; returns (exit code, output)."""
    copy = tmp_path / "site" / "kalmoris_wakeword"
    shutil.copytree(PACKAGE, copy, ignore=shutil.ignore_patterns("__pycache__", "*.so*"))
    if next_to_package:
        shutil.copy(LIB_FILE.resolve(), copy / "libkalmoris-wakeword.so.1")
    env = {k: v for k, v in os.environ.items()
           if k not in ("KALWAKE_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    env["PYTHONPATH"] = str(copy.parent)
    if env_library is not None:
        env["KALWAKE_LIBRARY"] = str(env_library)
    if system_dir is not None:
        env["LD_LIBRARY_PATH"] = str(system_dir)
    done = subprocess.run([sys.executable, "-c", REPORT], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout + done.stderr, copy


def test_the_environment_variable_comes_first_as_a_file_or_a_folder(tmp_path):
    code, out, _ = run(tmp_path, env_library=LIB_FILE, next_to_package=True)
    assert code == 0 and out == f"1.0.0 {LIB_FILE}\n", out
    code, out, _ = run(tmp_path / "b", env_library=LIB_FILE.parent)
    assert code == 0 and out.startswith("1.0.0 " + str(LIB_FILE.parent)), out


def test_a_library_named_by_the_variable_is_not_replaced_by_another(tmp_path):
    missing = tmp_path / "nowhere" / "libkalmoris-wakeword.so"
    code, out, _ = run(tmp_path, env_library=missing, next_to_package=True)
    assert code != 0
    assert "LibraryNotFoundError" in out and f"{missing} (no such file)" in out, out
    code, out, _ = run(tmp_path / "b", env_library=some_other_library())
    assert code != 0 and "not this library" in out, out


def test_then_the_package_folder_then_the_system_path(tmp_path):
    code, out, copy = run(tmp_path, next_to_package=True, system_dir=LIB_FILE.parent)
    assert code == 0 and out == f"1.0.0 {copy / 'libkalmoris-wakeword.so.1'}\n", out
    code, out, _ = run(tmp_path / "b", system_dir=LIB_FILE.parent)
    assert code == 0 and out == "1.0.0 libkalmoris-wakeword.so.1\n", out


def test_the_error_names_every_place_tried(tmp_path):
    code, out, copy = run(tmp_path)
    assert code != 0
    for tried in (f"{copy / 'libkalmoris-wakeword.so.1'} (no such file)",
                  f"{copy / 'libkalmoris-wakeword.so'} (no such file)",
                  "libkalmoris-wakeword.so.1 (", "libkalmoris-wakeword.so ("):
        assert tried in out, out
