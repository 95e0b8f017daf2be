#!/usr/bin/env bash
# Installs what is missing, builds the library and the kalwake program, generates a short
# recording and runs kalwake detect on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
build/apps/kalwake --version
/usr/bin/python3 tools/make_sample.py build/sample.wav
build/apps/kalwake detect --scores --frontend build/tests/fixtures/probe-frontend \
  --model build/tests/fixtures/wake_mean_16.onnx build/sample.wav | tail -n 3
