#!/usr/bin/env bash
# Installs what is missing, builds the library and the kalwake program, and runs it on the
# test fixture models.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
build/apps/kalwake --version
build/apps/kalwake info build/tests/fixtures/probe-frontend build/tests/fixtures/wake_mean_16.onnx \
  build/tests/fixtures/wake_mean_3.onnx
