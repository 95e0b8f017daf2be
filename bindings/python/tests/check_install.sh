#!/usr/bin/env bash
# Installs the package offline (no index, no build isolation) into a fresh virtual
# environment that sees the system's numpy and pytest, then runs the tests over that copy.
#   check_install.sh PYTHON PACKAGE_SOURCE WORK_DIR
set -euo pipefail
python=$1 source=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
# pip builds in the source folder; a copy keeps the checkout clean.
cp -r "$source" "$work/src"
rm -rf "$work/src/build" "$work/src"/*.egg-info
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index "$work/src"
cd "$work"
installed=$("$work/venv/bin/python" -c 'import kalmoris_wakeword as k; print(k.__file__)')
case "$installed" in
  "$work/venv/"*) ;;
  *) echo "imported $installed, not the installed copy" >&2; exit 1 ;;
esac
exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$source/tests"
