#!/bin/bash
# Builds the host benchmarks and runs them with repetitions, then prints for
# each screen size median(PackBmpRows) / median(memcpy of the same input), the
# figure docs/benchmarks.md records (target: at most 2 at 1920x1080 and up).
#
#   bench/run_bench.sh [benchmark options...]
#
# BUILD_DIR (default: build/ in the repository) is the CMake build folder;
# REPETITIONS (default 5) the runs per benchmark. Extra options go to the
# benchmark program (e.g. --benchmark_min_time=1). The raw results are kept in
# $BUILD_DIR/bench/results.json.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$repo/build}
repetitions=${REPETITIONS:-5}

cmake -S "$repo" -B "$build" >/dev/null
make -C "$build" --no-print-directory -j"$(nproc)" bench_capture >/dev/null

results=$build/bench/results.json
# Repetitions of all benchmarks are interleaved at random, so a busy spell on
# the machine does not fall on one side of a ratio only.
"$build/bench/bench_capture" \
  --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$results" --benchmark_out_format=json \
  "$@"

/usr/bin/python3 - "$results" <<'EOF'
import json
import sys

with open(sys.argv[1]) as f:
    runs = json.load(f)["benchmarks"]

# "BM_Memcpy/1920/1080_median" -> ("BM_Memcpy", "1920/1080"); times in the
# unit the benchmark reports, the same for all here.
medians = {}
for run in runs:
    if run.get("aggregate_name") != "median":
        continue
    name, size = run["run_name"].split("/", 1)
    medians[(name, size)] = run

print()
print(f"{'size':>10} {'PackBmpRows':>12} {'memcpy':>12} {'ratio':>6}  (CPU time medians, us)")
def pixels(size):
    width, height = size.split("/")
    return int(width) * int(height)

for (name, size), pack in sorted(medians.items(), key=lambda item: pixels(item[0][1])):
    if name != "BM_PackBmpRows" or ("BM_Memcpy", size) not in medians:
        continue
    copy = medians[("BM_Memcpy", size)]
    ratio = pack["cpu_time"] / copy["cpu_time"]
    print(f"{size.replace('/', 'x'):>10} {pack['cpu_time']:>12.1f} {copy['cpu_time']:>12.1f} "
          f"{ratio:>6.2f}")
for (name, size), run in medians.items():
    if name == "BM_CaptureScreenToBmp":
        print(f"whole capture {size.replace('/', 'x')} on the fake firmware: "
              f"{run['cpu_time']:.1f} us")
EOF
