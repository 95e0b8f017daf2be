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

# One caller at a time makes the prefix and starts a wine session, kept for 30 s after its last
# program, so that programs started in parallel find both ready.
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
fi
flock -u 9
exec 9>&-

# Wine's helper processes (the services, explorer.exe for the desktop), started on demand by a
# program, outlive it holding every descriptor it inherited: a test runner reading the
# program's output through a pipe would wait for them, up to the end of the session. So the
# program writes into files, whose growth is relayed to our output until the program ends.
out="$(mktemp -d "${TMPDIR:-/tmp}/wine_run.XXXXXX")"
# A signal (a test runner's time limit) ends the program and this script: no second start.
on_signal() {
  kill "$pid" 2>/dev/null || true
  rm -rf "$out"
  exit "$1"
}
trap 'on_signal 129' HUP
trap 'on_signal 130' INT
trap 'on_signal 143' TERM

# Starts the program once; its exit code in rc.
run_once() {
  : >"$out/stdout"
  : >"$out/stderr"
  "$wine" "$@" <&0 >"$out/stdout" 2>"$out/stderr" &
  pid=$!
  tail -s 0.05 -n +1 -f --pid="$pid" "$out/stdout" &
  local relay_out=$!
  tail -s 0.05 -n +1 -f --pid="$pid" "$out/stderr" >&2 &
  local relay_err=$!
  rc=0
  wait "$pid" || rc=$?
  wait "$relay_out" "$relay_err" || true
}

# Now and then (once in a CI run of the suite's 173 programs; here once in some 5,000 starts)
# wine fails to bring a program up at all: it ends with an error code before the program
# has written a single byte, or with only wine's own "wine: ..." lines. Every program run here
# writes something once it is running, so such a start is tried again, at most twice; a program
# that really fails that way fails all three times. Standard input is not replayed.
attempt=1
while :; do
  run_once "$@"
  if [[ "$rc" == 0 || -s "$out/stdout" ]] || grep -qv '^wine: ' "$out/stderr" || ((attempt == 3)); then
    break
  fi
  echo "wine_run: wine ended $1 with exit code $rc before it wrote anything; starting it again" >&2
  attempt=$((attempt + 1))
done
rm -rf "$out"
exit "$rc"
