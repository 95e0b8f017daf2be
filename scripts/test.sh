#!/usr/bin/env bash
# Installs what is missing, builds everything with tests, and runs every test: natively, then
# cross-built for Windows under wine (scripts/test_windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test -j"$(nproc)" --output-on-failure
scripts/test_windows.sh
# The sanitizer suites and bounded fuzz runs (KALWAKE_RELIABILITY=0 skips them).
if [[ "${KALWAKE_RELIABILITY:-1}" != 0 ]]; then
  scripts/reliability.sh
fi
