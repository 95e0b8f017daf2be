#!/usr/bin/env bash
# Fetches the pinned ONNX Runtime (C headers and the Linux x64 shared library) with `npm pack`,
# checks the package against the pinned sha512 and unpacks it into a cache folder.
# Prints the runtime root (holding include/ and lib/) on its last line of standard output.
#
# Usage: scripts/fetch_onnxruntime.sh [CACHE_DIR]
#   CACHE_DIR defaults to $KALWAKE_CACHE_DIR, else ~/.cache/kalmoris-wakeword.
set -euo pipefail

PKG_NAME="com.github.asus4.onnxruntime"
PKG_VERSION="0.4.9"      # ONNX Runtime 1.29.0 as released, repackaged (MIT)
ORT_VERSION="1.29.0"
PKG_SHA512="064cf176e499f4891e0cfe90f25cf64c553689eee1492bd2ed921fccca28131a2ad02373267bae19a509ec8b288c182a3b8a2e0f58d76a1f0e63225b08ddbd16"
HEADERS_IN_PKG="package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers"
LIB_IN_PKG="package/Plugins/Linux/x64/libonnxruntime.so"

source "$(dirname "$0")/npm_fetch.sh"

cache="${1:-${KALWAKE_CACHE_DIR:-$HOME/.cache/kalmoris-wakeword}}"
root="$cache/onnxruntime-$ORT_VERSION"

if [[ -f "$root/.complete" ]]; then
  echo "$root"
  exit 0
fi

mkdir -p "$cache"
work="$(mktemp -d "$cache/fetch.XXXXXX")"
trap 'rm -rf "$work"' EXIT
tarball="$(npm_fetch_checked "$PKG_NAME" "$PKG_VERSION" "$PKG_SHA512" "$work")"

tar -xzf "$tarball" -C "$work" "$HEADERS_IN_PKG" "$LIB_IN_PKG"

# Unpack into a fresh folder and move it into place in one step, so that an interrupted
# fetch never leaves a half-filled cache behind.
stage="$work/onnxruntime-$ORT_VERSION"
mkdir -p "$stage/include" "$stage/lib"
cp "$work/$HEADERS_IN_PKG"/onnxruntime_*.h "$work/$HEADERS_IN_PKG"/cpu_provider_factory.h "$stage/include/"
cp "$work/$LIB_IN_PKG" "$stage/lib/libonnxruntime.so.$ORT_VERSION"
ln -s "libonnxruntime.so.$ORT_VERSION" "$stage/lib/libonnxruntime.so.1"
ln -s "libonnxruntime.so.1" "$stage/lib/libonnxruntime.so"
touch "$stage/.complete"
rm -rf "$root"
mv "$stage" "$root"
echo "$root"
