#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer, driver instrumented for coverage) and runs each
# for a fixed time, starting from the seed corpus in fuzz/corpus/<target>.
#
#   scripts/fuzz.sh                 every target for FUZZ_SECONDS (default 15)
#   scripts/fuzz.sh --long          every target for 10 minutes
#   scripts/fuzz.sh [--long] NAME…  only these targets (e.g. csi_converters)
#   FUZZ_SECONDS=60 JOBS=2 BUILD_DIR=… scripts/fuzz.sh
#
# New inputs go to the build directory, not into the repository; a crash
# leaves its input in $BUILD_DIR/artifacts and fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-rel-fuzz}
jobs=${JOBS:-2}
seconds=${FUZZ_SECONDS:-15}
targets=()
for arg in "$@"; do
  case "$arg" in
    --long) seconds=600 ;;
    -*) echo "fuzz: unknown option $arg" >&2; exit 2 ;;
    *) targets+=("$arg") ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$root"/fuzz/fuzz_*.cpp; do
    name=$(basename "$f" .cpp)
    targets+=("${name#fuzz_}")
  done
fi

"$root/scripts/setup.sh" build checks

step() { printf '\n==== fuzz: %s\n' "$*"; }

step "build"
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
failed=()
for t in "${targets[@]}"; do
  step "$t for ${seconds}s"
  scratch=$build/corpus/$t
  mkdir -p "$scratch"
  # The first directory receives new inputs; the repository's seeds are only read.
  log=$build/$t.log
  set +e
  "$build/fuzz_$t" "$scratch" "$root/fuzz/corpus/$t" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len=4096 \
    -print_final_stats=1 -close_fd_mask=2 -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^(Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  if [ "$rc" -ne 0 ]; then
    # The report: sanitizer summary or failed check, and the input that caused it.
    grep -E '==[0-9]+==ERROR|SUMMARY|check failed|Test unit written|#[0-9]+ 0x' "$log" | head -n 30 >&2 || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failures in ${failed[*]}; inputs in $build/artifacts" >&2
  exit 1
fi
step "no crash, no sanitizer report in ${targets[*]}"
