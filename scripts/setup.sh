#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail
exec "$(dirname "$0")/apt-install.sh" \
  build-essential cmake pkg-config \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  python3 python3-dev python3-numpy pybind11-dev python3-opencv \
  ros-core-dev libimage-transport-dev libcamera-info-manager-dev libsensor-msgs-dev libdiagnostic-msgs-dev \
  libnodeletlib-dev libnodeletlib-tools libtf2-ros-dev libdynamic-reconfigure-config-init-mutex-dev \
  python3-dynamic-reconfigure python3-diagnostic-msgs python3-rospy python3-rostopic python3-rosbag \
  python3-rosmaster python3-roslaunch rosbash iproute2
