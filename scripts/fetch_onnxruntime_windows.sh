#!/usr/bin/env bash
# Fetches ONNX Runtime for Windows x64 (onnxruntime.dll) with `npm pack`, checks the package
# against the pinned sha512 and caches the DLL together with the C headers of the Linux
# runtime (scripts/fetch_onnxruntime.sh): the C API is the same on both systems.
# Prints the runtime root (holding include/ and bin/onnxruntime.dll) on its last line.
#
# Usage: scripts/fetch_onnxruntime_windows.sh [CACHE_DIR]
#   CACHE_DIR defaults to $KALWAKE_CACHE_DIR, else ~/.cache/kalmoris-wakeword.
set -euo pipefail

PKG_NAME="onnxruntime-node"   # the runtime maker's own package; it carries every platform
PKG_VERSION="1.30.0"
ORT_VERSION="1.30.0"
PKG_SHA512="b7086cd42d82fc1164cf5c9ce4e634288536194aba0d444eee10f86f1e50d90cb79c0309c115d6f31537355733136f5503d96894b3987a9a03f1f8d318e7c8ab"
DLL_IN_PKG="package/bin/napi-v6/win32/x64/onnxruntime.dll"

here="$(cd "$(dirname "$0")" && pwd)"
source "$here/npm_fetch.sh"

cache="${1:-${KALWAKE_CACHE_DIR:-$HOME/.cache/kalmoris-wakeword}}"
root="$cache/onnxruntime-win-x64-$ORT_VERSION"

if [[ -f "$root/.complete" ]]; then
  echo "$root"
  exit 0
fi

# The headers come from the Linux runtime's cache (fetched there when missing).
linux_root="$("$here/fetch_onnxruntime.sh" "$cache" | tail -n1)"

mkdir -p "$cache"
work="$(mktemp -d "$cache/fetch.XXXXXX")"
trap 'rm -rf "$work"' EXIT
tarball="$(npm_fetch_checked "$PKG_NAME" "$PKG_VERSION" "$PKG_SHA512" "$work")"

tar -xzf "$tarball" -C "$work" "$DLL_IN_PKG"

# Fill a fresh folder and move it into place in one step, so that an interrupted fetch never
# leaves a half-filled cache behind.
stage="$work/onnxruntime-win-x64-$ORT_VERSION"
mkdir -p "$stage/include" "$stage/bin"
cp "$linux_root"/include/*.h "$stage/include/"
cp "$work/$DLL_IN_PKG" "$stage/bin/onnxruntime.dll"
touch "$stage/.complete"
rm -rf "$root"
mv "$stage" "$root"
echo "$root"
