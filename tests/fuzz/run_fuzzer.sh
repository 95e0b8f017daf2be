#!/usr/bin/env bash
# Runs one libFuzzer harness for a bounded time and sums up what it reached.
#   run_fuzzer.sh FUZZER SECONDS MAX_LEN WORK_CORPUS SEED_DIR...
# KALWAKE_FUZZ_SECONDS in the environment, when set, takes the place of SECONDS.
# KALWAKE_FUZZ_SEED (default 1) seeds the mutations, so that a CI run is repeatable: what fails
# there fails the same way here. 0 asks libFuzzer for a fresh seed, for exploratory runs.
# MAX_LEN bounds an input in bytes (0: the largest seed); inputs are tried at any length up
# to it from the start, since a harness that reads a call sequence needs room to say much.
# New inputs go to WORK_CORPUS; the seed folders are only read. A crash or a broken invariant
# leaves its input as WORK_CORPUS/../NAME-crash-* and fails the run.
set -euo pipefail
fuzzer="$1"
seconds="${KALWAKE_FUZZ_SECONDS:-$2}"
seed="${KALWAKE_FUZZ_SEED:-1}"
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
# A model may ask the runtime for a huge tensor: the allocation then fails inside the runtime,
# which reports it as a status, rather than the fuzzer stopping at the first large request
# (throwing_new.cpp gives operator new the plain build's behaviour, hence no mismatch check).
# Requests above 1 GiB fail at once: the fixture models need a few kilobytes, and a granted
# request of tens of gigabytes would only be filled with zeros until the run timed out.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:detect_leaks=0:alloc_dealloc_mismatch=0:max_allocation_size_mb=1024"
# runtime_abort LOG: true when the run died of a signal raised inside ONNX Runtime while it
# created a session from a model file (an assertion in its graph code, on a malformed model):
# every frame between the signal and the runtime's caller is the runtime's, and that caller is
# the shim's CreateSession. The library only hands the runtime a path there, so such an abort
# is the runtime's fault, which no caller can prevent; any other crash is the library's.
runtime_abort() {
  awk '/ERROR: libFuzzer: deadly signal/ { on = 1; next }
       on && /^ *#[0-9]+ / {
         if ($0 ~ /__sanitizer|fuzzer::|libc\.so|pthread_kill|[ (]raise |[ (]abort /) next
         if ($0 ~ /libonnxruntime/) { seen = 1; next }
         verdict = seen && $0 ~ /w_CreateSession/; exit }
       END { exit !verdict }' "$1"
}

# Time-bounded: when the runtime aborts on a fuzzed model, its input is kept as
# NAME-runtime-abort-* and fuzzing goes on with the next seed for the time left.
status=0
start=$SECONDS
: >"$log"
: >"$log.run"
for _ in 1 2 3 4 5 6 7 8 9 10; do  # at most ten runs
  left=$((seconds - (SECONDS - start)))
  ((left >= 5)) || break
  status=0
  "$fuzzer" -seed="$seed" -max_total_time="$left" -timeout=30 -rss_limit_mb=0 -print_final_stats=1 \
    -print_coverage=1 -artifact_prefix="$work/../$name-" "${len_flags[@]}" "$work" "$@" \
    >"$log.run" 2>&1 || status=$?
  cat "$log.run" >>"$log"
  if [[ $status -eq 0 ]] || ! runtime_abort "$log.run"; then
    break
  fi
  crash="$(sed -n 's/.*Test unit written to \([^ ]*\).*/\1/p' "$log.run" | tail -n 1)"
  kept="${crash/-crash-/-runtime-abort-}"
  [[ -n "$crash" && -f "$crash" ]] && mv "$crash" "$kept"
  if [[ "$seed" != 0 ]]; then seed=$((seed + 1)); fi
  echo "ONNX Runtime aborted creating a session from a fuzzed model file (input kept as $kept);" \
       "fuzzing goes on with seed $seed"
  status=0
done

# The figures of the last run (after a restart it has read the corpus the earlier runs grew):
# executions, libFuzzer's coverage counters, and the edges of the library's own sources (src/)
# that the run reached, by file. Edge totals include the sanitizers' own check branches, which a
# clean run never takes, so no file reaches 100%.
grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log.run" || true
grep -E '^#[0-9]+' "$log.run" | tail -n 1 || true
awk '/^(UN)?COVERED_FUNC:/ && match($0, /src\/(core|pipeline)\/[a-z_]+\.cpp/) {
       file = substr($0, RSTART, RLENGTH); split($5, e, "/")
       total[file] += e[2]; all += e[2]
       if ($1 == "COVERED_FUNC:") { covered[file] += e[1]; reached += e[1] } }
     END { for (f in total) printf "  %-30s edges %4d of %4d\n", f, covered[f], total[f]
           if (all > 0) printf "library edges reached: %d of %d (%.1f%%)\n", reached, all, 100 * reached / all }' \
  "$log.run" | sort
rm -f "$log.run"
if [[ $status -ne 0 ]]; then
  echo "== $name failed (exit $status); the end of its log:"
  grep -v -E '^[[:space:]]*(UN)?COVERED_' "$log" | tail -n 60
fi
exit $status
