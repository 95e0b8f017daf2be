#!/usr/bin/env bash
# Installs the built library into a scratch prefix and builds a host program against it twice:
# with find_package(kalmoris-wakeword) and with pkg-config.
#   check_install.sh BUILD_DIR WORK_DIR
set -euo pipefail
build="$1"
work="$2"
here="$(cd "$(dirname "$0")" && pwd)"
rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir="$(dirname "$(find "$prefix" -name 'libkalmoris-wakeword.so.1' | head -n1)")"

echo "== find_package"
cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

echo "== pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc "$here/consumer/main.c" -o "$work/consumer-pc" $(pkg-config --cflags --libs kalmoris-wakeword) \
  -Wl,-rpath,"$libdir"
"$work/consumer-pc"

echo "== kalwake"
"$prefix/bin/kalwake" --version
test -f "$prefix/share/kalmoris-wakeword/models/melspectrogram.onnx"
