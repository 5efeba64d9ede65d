#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail
exec "$(dirname "$0")/apt-install.sh" \
  build-essential cmake pkg-config \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  python3 python3-dev python3-numpy pybind11-dev python3-opencv
