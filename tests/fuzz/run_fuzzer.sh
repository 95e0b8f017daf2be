#!/usr/bin/env bash
# Runs one libFuzzer harness for a bounded time and sums up what it reached.
#   run_fuzzer.sh FUZZER SECONDS MAX_LEN WORK_CORPUS SEED_DIR...
# MAX_LEN bounds an input in bytes (0: the largest seed); inputs are tried at any length up
# to it from the start, since a harness that reads a call sequence needs room to say much.
# New inputs go to WORK_CORPUS; the seed folders are only read. A crash or a broken invariant
# leaves its input as WORK_CORPUS/../NAME-crash-* and fails the run.
set -euo pipefail
fuzzer="$1"
seconds="$2"
max_len="$3"
work="$4"
shift 4
len_flags=()
if [[ "$max_len" != 0 ]]; then
  len_flags=(-max_len="$max_len" -len_control=0)
fi
name="$(basename "$fuzzer")"
mkdir -p "$work"
log="$work/../$name.log"

# Leaks are checked by the shim's object counts after every call instead: the runtime keeps
# caches whose growth would make libFuzzer's per-input leak check fire on the first inputs.
# A model may ask the runtime for a huge tensor: malloc then fails inside the runtime, which
# reports it as a status, rather than the fuzzer stopping at the first large request.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:detect_leaks=0"
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=0 -print_final_stats=1 \
  -print_coverage=1 -artifact_prefix="$work/../$name-" "${len_flags[@]}" "$work" "$@" >"$log" 2>&1 || status=$?

# The figures: executions, libFuzzer's coverage counters, and the edges of the library's own
# sources (src/) that the run reached.
grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || true
grep -E '^#[0-9]+' "$log" | tail -n 1 || true
awk '/^COVERED_FUNC:/ && $0 ~ /\/src\/(core|pipeline)\// {
       split($5, e, "/"); covered += e[1]; total += e[2]; funcs++ }
     /^UNCOVERED_FUNC:/ && $0 ~ /\/src\/(core|pipeline)\// {
       split($5, e, "/"); total += e[2]; missed++ }
     END { if (total > 0) printf "library edges reached: %d of %d (%.1f%%), functions reached: %d of %d\n",
             covered, total, 100 * covered / total, funcs, funcs + missed }' "$log"
if [[ $status -ne 0 ]]; then
  echo "== $name failed (exit $status); the end of its log:"
  grep -v -E '^(COVERED_FUNC|UNCOVERED_FUNC|COVERED_|UNCOVERED_)' "$log" | tail -n 60
fi
exit $status
