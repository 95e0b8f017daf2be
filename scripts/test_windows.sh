#!/usr/bin/env bash
# Cross-builds the library and its tests for 64-bit Windows with mingw-w64 and runs the tests
# under wine. scripts/test.sh calls this after the native tests; scripts/install_deps.sh
# installs the compiler and wine. The kalwake program and the benchmarks are left out: Debian
# has no Windows builds of libsndfile, libsoxr and Google Benchmark.
#
# Usage: scripts/test_windows.sh [BUILD_DIR]   (default build-win-test)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-win-test}"
start=$SECONDS
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALWAKE_BUILD_APPS=OFF -DKALWAKE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
echo "test_windows: cross build and tests under $(scripts/wine_run.sh --version) took $((SECONDS - start)) s"
