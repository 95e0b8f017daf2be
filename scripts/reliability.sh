#!/usr/bin/env bash
# The reliability suites, after the plain one: the whole test suite under AddressSanitizer +
# UndefinedBehaviorSanitizer (build-asan/), under ThreadSanitizer (build-tsan/), then each
# libFuzzer harness for KALWAKE_FUZZ_SECONDS (default 60) from its seed corpus (build-fuzz/).
# Prints the time each step took.
set -euo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
export KALWAKE_FUZZ_SECONDS="${KALWAKE_FUZZ_SECONDS:-60}"
times=()
for preset in asan tsan fuzz; do
  start=$SECONDS
  echo "== $preset"
  cmake --workflow --preset "$preset"
  times+=("$preset $((SECONDS - start)) s")
done
echo "reliability: ${times[*]}"
