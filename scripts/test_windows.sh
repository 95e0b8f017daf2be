#!/usr/bin/env bash
# Cross-builds the library and its tests for 64-bit Windows with mingw-w64 (the "windows"
# preset, in build-win/) and runs the tests under wine. scripts/test.sh calls this after the
# native tests; scripts/install_deps.sh installs the compiler and wine. The kalwake program and
# the benchmarks are left out: Debian has no Windows builds of libsndfile, libsoxr and Google
# Benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
start=$SECONDS
cmake --workflow --preset windows
echo "test_windows: cross build and tests under $(scripts/wine_run.sh --version) took $((SECONDS - start)) s"
