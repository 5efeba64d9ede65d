#!/usr/bin/env bash
# Sets up a fresh machine, builds the driver and its Python module, and
# streams depth from the built-in virtual camera for a few seconds with the
# preview tool, headless, writing the depth and amplitude image to preview.png
# (replaced on every run).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh build
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target velmora_python3
PYTHONPATH=build/python/velmora_python3 /usr/bin/python3 examples/preview.py \
  --seconds "${1:-5}" --png "${2:-preview.png}" --force
