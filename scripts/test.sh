#!/usr/bin/env bash
# Sets up a fresh machine, builds everything with warnings as errors and runs
# every test: the normal build (C++ and both Python modules), then the C++
# suite under AddressSanitizer + UndefinedBehaviorSanitizer and the streaming
# suites under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
./scripts/setup.sh
[ -x scripts/fetch-pybind11-py27.sh ] && ./scripts/fetch-pybind11-py27.sh

step() { printf '\n==== %s\n' "$*"; }

step "build and test"
cmake -S . -B build -DVELMORA_WERROR=ON -DVELMORA_BUILD_PY27=ON -DVELMORA_REQUIRE_PY27=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300

step "address and undefined-behaviour sanitizers"
cmake -S . -B build-asan -DVELMORA_WERROR=ON -DVELMORA_SANITIZE=address,undefined \
  -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_BENCH=OFF -DVELMORA_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600

step "thread sanitizer (streaming)"
cmake -S . -B build-tsan -DVELMORA_WERROR=ON -DVELMORA_SANITIZE=thread \
  -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_BENCH=OFF -DVELMORA_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 600 -L stream

step "all tests passed"
