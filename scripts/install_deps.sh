#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, then fetches ONNX Runtime into the
# cache. Packages already present are not installed again, and nothing is fetched twice.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git       # toolchain
  libgtest-dev libgmock-dev libbenchmark-dev # tests and benchmarks
  libsndfile1-dev libsoxr-dev                # kalwake: audio files, resampling
  python3 python3-onnx python3-numpy         # fixture and model generators (/usr/bin/python3)
  python3-scipy                              # the training tools' tests (audio they make)
  python3-pytest python3-venv python3-setuptools python3-wheel # the Python package
  nodejs npm                                 # `npm pack` fetches the pinned ONNX Runtime
  clang-14 libclang-rt-14-dev                # fuzz preset: libFuzzer and its sanitizers
  g++-mingw-w64-x86-64-posix wine64          # the Windows build and its tests under wine
)
if [[ -n "${KALWAKE_EXTRA_PACKAGES:-}" ]]; then
  read -r -a extra <<<"$KALWAKE_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# npm may come from outside Debian (a newer Node.js): then the Debian one is not needed.
if command -v npm >/dev/null 2>&1; then
  filtered=()
  for p in "${missing[@]}"; do
    [[ "$p" == npm || "$p" == nodejs ]] || filtered+=("$p")
  done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi

if ((${#missing[@]} > 0)); then
  sudo_cmd=()
  [[ "$(id -u)" == 0 ]] || sudo_cmd=(sudo)
  echo "install_deps: installing ${missing[*]}" >&2
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

"$(dirname "$0")/fetch_onnxruntime.sh" >/dev/null
"$(dirname "$0")/fetch_onnxruntime_windows.sh" >/dev/null
