#!/usr/bin/env bash
# Installs the Debian packages this project uses, by group:
#   build   the library, the Python 3 module, the tools and the demo
#   ros     the ROS 1 camera node and its tests
#   ros2    the ROS 2 camera node (Cyclone DDS) and its tests (Fast DDS)
#   tests   the test suites, sanitizers, packaging, the fresh-root check
#   checks  the kernel check under qemu, fuzzing, aarch64 under emulation
# With no argument, every group: what ./scripts/test.sh needs. Idempotent:
# when everything is present it only checks and returns.
# scripts/dependencies.py finds what the tree uses; the fresh-root step of
# the test command checks that these lists cover it.
set -euo pipefail

declare -A groups=(
  [build]="build-essential cmake pkg-config python3 python3-dev python3-numpy pybind11-dev"
  [ros]="ros-core-dev libimage-transport-dev libcamera-info-manager-dev libsensor-msgs-dev libdiagnostic-msgs-dev
         libnodeletlib-dev libnodeletlib-tools libtf2-ros-dev libdynamic-reconfigure-config-init-mutex-dev
         python3-dynamic-reconfigure python3-diagnostic-msgs python3-sensor-msgs python3-tf2-msgs python3-rospy
         python3-rostopic python3-rosbag python3-rosmaster python3-roslaunch rosbash iproute2"
  [ros2]="cyclonedds-dev cyclonedds-tools libfastrtps-dev fastddsgen libyaml-cpp-dev iproute2"
  [tests]="libgtest-dev libgmock-dev googletest libbenchmark-dev python3-opencv python3-open3d binutils dpkg-dev fakeroot
           file udev git mmdebstrap"
  [checks]="qemu-system-x86 kmod cpio clang libclang-rt-14-dev g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user
           v4l-utils"
)

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(build ros ros2 tests checks)
packages=()
for name in "${names[@]}"; do
  [ -n "${groups[$name]+set}" ] || { echo "setup.sh: no group '$name' (${!groups[*]})" >&2; exit 2; }
  # shellcheck disable=SC2206 # the lists split on white space
  packages+=(${groups[$name]})
done
exec "$(dirname "$0")/apt-install.sh" "${packages[@]}"
