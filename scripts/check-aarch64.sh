#!/usr/bin/env bash
# Cross-compiles the C++ library and its C++ test suite for aarch64 and runs
# the suite under user-mode emulation through CTest.
#
#   scripts/check-aarch64.sh            configure, build, run every C++ test
#   BUILD_DIR=... JOBS=... scripts/check-aarch64.sh
#   CTEST_ARGS="-R hqvga" scripts/check-aarch64.sh
#
# GoogleTest is built from the distribution's sources with the cross compiler
# and installed next to the build; nothing is installed into the system
# sysroot except through apt-get.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
src=${SRC_DIR:-$root}
build=${BUILD_DIR:-$root/build-rel-aarch64}
jobs=${JOBS:-2}
toolchain=$root/cmake/aarch64-linux-gnu.cmake

"$root/scripts/setup.sh" build tests checks

step() { printf '\n==== aarch64: %s\n' "$*"; }

# GoogleTest for the target, once per build directory.
gtest_prefix=$build/deps/gtest
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  step "GoogleTest from /usr/src/googletest"
  cmake -S /usr/src/googletest -B "$build/deps/gtest-build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$build/deps/gtest-build" -j"$jobs" >/dev/null
  cmake --install "$build/deps/gtest-build" >/dev/null
fi

step "configure and build"
# -O2 like the release build; no debug information, which would only slow the build here.
cmake -S "$src" -B "$build/velmora" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" -DGMock_DIR="$gtest_prefix/lib/cmake/GTest" \
  -DVELMORA_WERROR=ON -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_BENCH=OFF \
  -DVELMORA_BUILD_EXAMPLES=OFF -DVELMORA_BUILD_TESTS=ON >/dev/null
cmake --build "$build/velmora" -j"$jobs"

# The library really is target code: a host build passing here would prove nothing.
lib=$(find "$build/velmora" -maxdepth 1 -name 'libvelmora.so*' -type f | head -n1)
if ! readelf -h "$lib" | grep -q 'Machine:.*AArch64'; then
  echo "aarch64: $lib is not an AArch64 binary" >&2
  exit 1
fi

step "C++ tests under $(qemu-aarch64 --version | head -n1)"
# The emulator runs a few times slower than the host: generous per-test limit.
# shellcheck disable=SC2086
# The stress suite counts the process's threads, and the emulator runs threads
# of its own; it runs natively under the thread sanitizer instead.
ctest --test-dir "$build/velmora" --output-on-failure -j"$jobs" --timeout 900 -LE stress ${CTEST_ARGS:-}
step "all aarch64 tests passed"
