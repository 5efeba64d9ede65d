#!/usr/bin/env bash
# Cross-compiles the vectorised sources of the library for AArch64 (the boards'
# architecture) with Debian's g++-aarch64-linux-gnu, warnings as errors, and,
# where qemu-user is installed, builds the kernel agreement tests for AArch64
# and runs them under emulation, so the NEON forms are checked against their
# scalar references and not only compiled.
#
# Needs: g++-aarch64-linux-gnu; for the test run also qemu-user and
# libgtest-dev:arm64 (multiarch). Missing packages are installed when running
# as root; otherwise the script says what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=aarch64-linux-gnu-g++
want=(g++-aarch64-linux-gnu)
run_tests=1
command -v qemu-aarch64 >/dev/null 2>&1 || run_tests=0
if [ "$run_tests" = 1 ]; then
  want+=(libgtest-dev:arm64)
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "check-aarch64-build: missing ${missing[*]}; install them (arm64 ones need 'dpkg --add-architecture arm64')" >&2
    exit 1
  fi
  if printf '%s\n' "${missing[@]}" | grep -q ':arm64$' && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

flags=(-std=c++17 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror
       -Iinclude -Icamera -Isensor -Idevice -Ivendor/scene -Ivendor/si4c)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# The vectorised sources with their dispatch and scalar references.
sources=(
  device/HqvgaKernels.cpp device/HqvgaReference.cpp device/HqvgaDepthNeon.cpp
  device/HqvgaDepthSse2.cpp device/HqvgaDepthAvx2.cpp device/HqvgaDepthAvx512.cpp
  sensor/SampleKernelsBase.cpp sensor/SampleKernelsAvx2.cpp sensor/SampleKernelsAvx512.cpp
  sensor/UsbSampleConversion.cpp sensor/CsiLineConverters.cpp
  sensor/CsiPacked12.cpp sensor/CsiPacked12Neon.cpp sensor/CsiPacked12Ssse3.cpp
  sensor/CsiPacked12Avx2.cpp sensor/CsiPacked12Avx512.cpp
  vendor/si4c/Si4cConfig.cpp vendor/si4c/Si4cProcessor.cpp vendor/si4c/Si4cReference.cpp
  vendor/si4c/Si4cMeasure.cpp vendor/si4c/Si4cMeasureNeon.cpp vendor/si4c/Si4cMeasureSse2.cpp
  vendor/si4c/Si4cMeasureAvx2.cpp vendor/si4c/Si4cMeasureAvx512.cpp
)
objects=()
for src in "${sources[@]}"; do
  obj="$out/$(basename "${src%.cpp}").o"
  extra=()
  # As in si4c.cmake: the measurement rounds each step as the scalar form does.
  case "$src" in vendor/si4c/Si4cMeasure?*.cpp) extra=(-ffp-contract=off) ;; esac
  "$cxx" "${flags[@]}" "${extra[@]}" -c "$src" -o "$obj"
  objects+=("$obj")
done
echo "aarch64: ${#sources[@]} sources compiled"

if [ "$run_tests" = 0 ]; then
  echo "aarch64: qemu-aarch64 not found, tests not run"
  exit 0
fi
scene=(vendor/scene/VelmoraScene.cpp vendor/scene/VgaRender.cpp)
status=0
for test in kernel_agreement_test si4c_agreement_test; do
  "$cxx" "${flags[@]}" -Itests "tests/$test.cpp" "${scene[@]}" "${objects[@]}" -lgtest_main -lgtest -pthread \
    -o "$out/$test"
  echo "aarch64: $test under qemu"
  QEMU_LD_PREFIX=/usr/aarch64-linux-gnu qemu-aarch64 "$out/$test" --gtest_brief=1 || status=1
done
exit $status
