#!/usr/bin/env bash
# Measures what the README's figures table shows, in one run:
#   - the CPU cost of one chunk through kalwake_write and of the same models run bare through
#     ONNX Runtime, interleaved, with 1, 2, 4 and 8 wake models, and their ratio (medians of
#     5 repetitions);
#   - the real-time factor and peak resident memory of `kalwake detect` on a 10-minute
#     recording, with 1 and 8 wake models.
# Prints a markdown table; raw results stay in BUILD_DIR/bench/results/.
#
#   bench/run_benchmarks.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
out="$build/bench/results"
models="$build/bench/models"
mkdir -p "$out"

"$build/bench/chunk_cost" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/chunk_cost.json" --benchmark_out_format=json >&2

/usr/bin/python3 tools/make_sample.py "$out/ten_minutes.wav" 600
wakes=()
for i in 0 1 2 3 4 5 6 7; do wakes+=(--model "$models/wake_$i.onnx"); done
for k in 1 8; do
  /usr/bin/time -v -o "$out/detect_$k.time" "$build/apps/kalwake" detect \
    --frontend "$models/frontend" "${wakes[@]:0:$((2 * k))}" "$out/ten_minutes.wav" >/dev/null
done

/usr/bin/python3 - "$out" <<'PY'
import json, re, subprocess, sys
out = sys.argv[1]
data = json.load(open(f"{out}/chunk_cost.json"))
ctx = data["context"]
med = {b["run_name"]: b for b in data["benchmarks"] if b.get("aggregate_name") == "median"}
cpu = open("/proc/cpuinfo").read()
model = re.search(r"model name\s*:\s*(.*)", cpu).group(1)
print(f"Machine: {model}, {ctx['num_cpus']} cores, load average {ctx.get('load_avg', ['?'])[0]:.2f} "
      f"at the start; {ctx['date']}\n")
print("| wake models | kalwake_write (µs CPU / chunk) | bare runtime (µs CPU / chunk) | ratio |")
print("|---|---|---|---|")
for k in (1, 2, 4, 8):
    b = med[f"BM_Ratio/{k}"]
    print(f"| {k} | {b['library_us']:.0f} | {b['floor_us']:.0f} | {b['ratio']:.3f} |")
bare = {m: med[f"BM_BareModel/{i}"]["cpu_time"] for i, m in enumerate(("mel", "embedding", "wake"))}
print(f"\nBare models alone (µs CPU a run): mel {bare['mel']:.0f}, embedding {bare['embedding']:.0f}, "
      f"one wake model {bare['wake']:.1f}.\n")
print("| `kalwake detect`, 10-minute 16 kHz WAV | wall time | CPU time | real-time factor | peak RSS |")
print("|---|---|---|---|---|")
for k in (1, 8):
    t = open(f"{out}/detect_{k}.time").read()
    user = float(re.search(r"User time \(seconds\): ([\d.]+)", t).group(1))
    system = float(re.search(r"System time \(seconds\): ([\d.]+)", t).group(1))
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", t).group(1)
    secs = 0.0
    for part in wall.split(":"):
        secs = secs * 60 + float(part)
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", t).group(1))
    print(f"| {k} wake model{'s' if k > 1 else ''} | {secs:.1f} s | {user + system:.1f} s | "
          f"{secs / 600:.4f} | {rss / 1024:.0f} MiB |")
PY
