#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them all, then prints one table:
# each figure, its reference and the ratio. Figure and reference are measured
# side by side in one run, in interleaved repetitions of which the table takes
# the median, so that other work on a busy machine weighs on both alike; the
# load average at the start and the end says how busy it was. The absolute
# times are best taken when it is idle.
#
# Usage: scripts/bench.sh [build directory, default build-bench]
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build-bench}"
jobs=$(nproc 2>/dev/null || echo 2)
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

echo "Machine: $(uname -m), $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
# The vector extensions the dispatch looks for, as this CPU reports them.
flags=" $(grep -m1 -E '^(flags|Features)' /proc/cpuinfo 2>/dev/null | cut -d: -f2-) "
have=()
for f in sse2 ssse3 avx2 fma avx512f avx512bw avx512vbmi asimd; do
  case "$flags" in *" $f "*) have+=("$f") ;; esac
done
echo "Vectors: ${have[*]:-none reported}"
echo "Date:    $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"

interleaved=(--benchmark_repetitions=7 --benchmark_enable_random_interleaving=true --benchmark_format=json)
"$build/bench/kernels_bench" "${interleaved[@]}" --benchmark_min_time=0.1 >"$results/kernels.json"
for extra in si4c_bench pipeline_bench depth_filters_bench; do
  if [ -x "$build/bench/$extra" ]; then
    "$build/bench/$extra" "${interleaved[@]}" >"$results/$extra.json"
  fi
done
if [ -x "$build/bench/capture_bench" ]; then
  "$build/bench/capture_bench" --benchmark_format=json >"$results/capture.json"
fi

# getDepthData against a numpy copy, with every interpreter that has both the
# module and numpy (Debian's python3 has numpy; a 2.7 without it is skipped).
for dir in "$build"/python/velmora_python3 "$build"/python/velmora_python27; do
  [ -d "$dir" ] || continue
  for py in /usr/bin/python3 python3 python2.7; do
    command -v "$py" >/dev/null 2>&1 || continue
    if "$py" bench/getdepthdata_bench.py "$dir" >"$results/python-$(basename "$dir").json" 2>/dev/null; then
      break
    fi
    rm -f "$results/python-$(basename "$dir").json"
  done
done

echo "         load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo
python3 bench/bench_table.py "$results"/*.json
# The depth filters' quality against the virtual camera's ground truth.
if [ -x "$build/bench/depth_quality" ]; then
  echo
  "$build/bench/depth_quality"
fi
