#!/usr/bin/env bash
# Installs what is missing, builds the library and the kalwake program, synthesizes a short
# recording with the wake phrase and runs kalwake detect on it with the default model set.
set -euo pipefail
cd "$(dirname "$0")/.."
# espeak-ng speaks the demo recording.
KALWAKE_EXTRA_PACKAGES="espeak-ng ${KALWAKE_EXTRA_PACKAGES:-}" scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
build/apps/kalwake --version
# A recording with "hey kalmoris" among other speech and noise, spoken by espeak-ng with a
# voice the default model never heard in training; kalwake prints the detection.
sample=build/hey_kalmoris_demo.wav
/usr/bin/python3 tools/make_demo.py "$sample"
build/apps/kalwake detect "$sample"
