#!/usr/bin/env bash
# Sets up a fresh machine, builds the driver and streams depth from the
# built-in virtual camera for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target stream_depth
./build/examples/stream_depth "${1:-5}"
