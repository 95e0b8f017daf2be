#!/usr/bin/env bash
# Runs a Windows program under wine: the cross-built tests go through this (CMake's
# cross-compiling emulator). The wine prefix is kept in the cache folder.
#
# Usage: scripts/wine_run.sh PROGRAM.exe [ARGS...]
#   KALWAKE_WINEPREFIX overrides the prefix (default ~/.cache/kalmoris-wakeword/wine-prefix).
set -euo pipefail

export WINEPREFIX="${KALWAKE_WINEPREFIX:-${KALWAKE_CACHE_DIR:-$HOME/.cache/kalmoris-wakeword}/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# Console programs only: no desktop menus, no Gecko or Mono installer prompts.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}"

find_tool() {
  local candidate
  for candidate in "$@"; do
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}
if ! wine="$(find_tool wine64 /usr/lib/wine/wine64 wine)" ||
  ! server="$(find_tool wineserver /usr/lib/wine/wineserver)"; then
  echo "wine_run: wine64 is needed to run Windows programs (apt-get install wine64)" >&2
  exit 127
fi

# The first program of a wine session starts wine's service processes, and the first one that
# needs a desktop starts explorer.exe; they keep that program's standard output, so a test
# runner reading it would wait for them until the session ends. So the session is started
# here, detached from our output (wineboot for the services, a call that needs the desktop
# for explorer), and kept for 30 s after its last program; one caller at a time, so that
# programs started in parallel find it ready.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [[ ! -d "$WINEPREFIX/drive_c" ]]; then
  echo "wine_run: creating the wine prefix $WINEPREFIX" >&2
fi
# The server needs the prefix folder; wineboot fills an empty one.
mkdir -p "$WINEPREFIX"
if "$server" -p30 </dev/null >/dev/null 2>&1; then
  "$wine" wineboot </dev/null >/dev/null 2>&1 || true
  "$wine" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
fi
flock -u 9
exec 9>&-

exec "$wine" "$@"
