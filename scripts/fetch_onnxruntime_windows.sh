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
cache="${1:-${KALWAKE_CACHE_DIR:-$HOME/.cache/kalmoris-wakeword}}"
root="$cache/onnxruntime-win-x64-$ORT_VERSION"

if [[ -f "$root/.complete" ]]; then
  echo "$root"
  exit 0
fi

# The headers come from the Linux runtime's cache (fetched there when missing).
linux_root="$("$here/fetch_onnxruntime.sh" "$cache" | tail -n1)"

if ! command -v npm >/dev/null 2>&1; then
  echo "fetch_onnxruntime_windows: npm is needed to fetch ONNX Runtime (apt-get install npm)" >&2
  exit 1
fi

mkdir -p "$cache"
work="$(mktemp -d "$cache/fetch.XXXXXX")"
trap 'rm -rf "$work"' EXIT

echo "fetch_onnxruntime_windows: fetching $PKG_NAME@$PKG_VERSION (about 115 MB) ..." >&2
(cd "$work" && npm pack --silent "$PKG_NAME@$PKG_VERSION" >/dev/null)
tarball="$work/$PKG_NAME-$PKG_VERSION.tgz"

actual="$(sha512sum "$tarball" | cut -d' ' -f1)"
if [[ "$actual" != "$PKG_SHA512" ]]; then
  echo "fetch_onnxruntime_windows: sha512 mismatch for $PKG_NAME@$PKG_VERSION" >&2
  echo "  expected $PKG_SHA512" >&2
  echo "  got      $actual" >&2
  exit 1
fi

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
