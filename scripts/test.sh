#!/usr/bin/env bash
# Sets up a fresh machine and runs every test:
#  0. on a minimal Debian 12 root, that the set-up installs every dependency;
#  1. warnings-as-errors build, the C++ suites and both Python modules' suites;
#     then the ROS 1 node against a master of its own on 127.0.0.1 and the ROS 2
#     node against a Fast DDS subscriber; then
#     the demo and every command block of the README;
#  2. the C++ suites under AddressSanitizer + UndefinedBehaviorSanitizer;
#  3. the streaming suites under ThreadSanitizer, then the stress runs;
#  4. packaging (install, C++ consumer, Debian package);
#  5. the CSI transport and the camera under qemu, against the kernel's own
#     frameworks (our virtual camera module) and its vivid and i2c-stub drivers;
#  6. short fuzzing runs;
#  7. the C++ suites cross-compiled for aarch64, under emulation.
# Each later step also has its own command (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
step() { printf '\n==== %s (%s)\n' "$*" "$(date +%T)"; }

./scripts/setup.sh
./scripts/fetch-pybind11-py27.sh
options=(-DVELMORA_WERROR=ON -DVELMORA_BUILD_PY27=ON -DVELMORA_REQUIRE_PY27=ON -DVELMORA_REQUIRE_ROS=ON
         -DVELMORA_REQUIRE_ROS2=ON)

step "fresh root: the set-up installs every dependency"
./scripts/check-fresh-root.sh "${options[@]}"

step "build and test"
cmake -S . -B build "${options[@]}" >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300 -LE 'stress|ros|readme'

step "ROS 1 and ROS 2 camera nodes"
# One at a time: they measure frame rates. The label matches ros, rosnode, ros2.
ctest --test-dir build --output-on-failure --timeout 300 -L ros

step "the README's commands"
./scripts/demo.sh 2 build/demo.png
ctest --test-dir build --output-on-failure -L readme

sanitized=(-DVELMORA_WERROR=ON -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_BENCH=OFF -DVELMORA_BUILD_EXAMPLES=OFF
           -DVELMORA_BUILD_ROS=OFF)

step "address and undefined-behaviour sanitizers"
cmake -S . -B build-san/asan "${sanitized[@]}" -DVELMORA_SANITIZE=address,undefined >/dev/null
cmake --build build-san/asan -j"$jobs"
# The exhaustive exactness sweeps run natively above; under the sanitizers
# they would take minutes each and check the same memory accesses again.
ctest --test-dir build-san/asan --output-on-failure -j"$jobs" --timeout 600 -LE 'stress|python|tools|packaging|rosnode|ros2' \
  -E 'EveryPhasePair|EveryPairOfDifferences'
# The ROS 2 node's end-to-end test measures rates: alone.
ctest --test-dir build-san/asan --output-on-failure --timeout 600 -L ros2

step "thread sanitizer: streaming suites"
cmake -S . -B build-san/tsan "${sanitized[@]}" -DVELMORA_SANITIZE=thread >/dev/null
cmake --build build-san/tsan -j"$jobs" --target camera_core_test capture_alloc_test virtual_camera_test \
  csi_camera_test vga_camera_test vga_csi_camera_test ros_core_test range_change_test
ctest --test-dir build-san/tsan --output-on-failure -j"$jobs" --timeout 600 -L stream

step "stress"
BUILD_DIR=build-san JOBS="$jobs" ./scripts/stress.sh

step "packaging"
./scripts/check-packaging.sh

step "kernel V4L2 driver under qemu"
JOBS="$jobs" ./scripts/check-kernel-v4l2.sh

step "fuzzing"
FUZZ_SECONDS=${FUZZ_SECONDS:-10} JOBS="$jobs" ./scripts/fuzz.sh

step "aarch64 under emulation"
JOBS="$jobs" ./scripts/check-aarch64.sh

step "all tests passed"
