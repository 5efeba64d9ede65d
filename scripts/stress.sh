#!/usr/bin/env bash
# Stress of frame delivery and of the camera's lifecycle, against the virtual
# camera:
#  - C++ (tests/stress_camera_test.cpp) under ThreadSanitizer: consumers with
#    random delays while controls change, hundreds of start/stop/close/open
#    cycles with frames held across them; every frame whole, none twice, none
#    lost but by drop-oldest, no thread or descriptor left behind;
#  - Python (tests/stress_python.py) with the module built under
#    AddressSanitizer and UndefinedBehaviorSanitizer: thousands of random
#    calls, misuse included, from two threads, never crash or hang.
#
#   scripts/stress.sh            both
#   scripts/stress.sh --long     more cycles, frames, steps and seeds
#   JOBS=2 BUILD_DIR=... scripts/stress.sh
#   TSAN_BUILD_DIR=build-tsan scripts/stress.sh   reuse scripts/test.sh's ThreadSanitizer tree
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-rel-stress}
jobs=${JOBS:-2}
cycles=200 frames=120 steps=3000 seeds=1,2,3,4
if [ "${1:-}" = "--long" ]; then
  cycles=2000 frames=2000 steps=20000 seeds=$(seq -s, 1 40)
fi

"$root/scripts/setup.sh" build tests

step() { printf '\n==== stress: %s\n' "$*"; }
common=(-DVELMORA_WERROR=ON -DVELMORA_BUILD_BENCH=OFF -DVELMORA_BUILD_EXAMPLES=OFF)

step "C++ under ThreadSanitizer"
tsan=${TSAN_BUILD_DIR:-$build/tsan}
cmake -S "$root" -B "$tsan" "${common[@]}" -DVELMORA_SANITIZE=thread -DVELMORA_BUILD_PYTHON=OFF >/dev/null
cmake --build "$tsan" -j"$jobs" --target stress_camera_test
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  VELMORA_STRESS_CYCLES=$cycles VELMORA_STRESS_FRAMES=$frames \
  ctest --test-dir "$tsan" -L stress --output-on-failure --timeout 1800

step "Python under AddressSanitizer"
cmake -S "$root" -B "$build/asan" "${common[@]}" -DVELMORA_SANITIZE=address,undefined -DVELMORA_BUILD_TESTS=OFF \
  -DVELMORA_BUILD_PYTHON=ON -DVELMORA_BUILD_PY27=OFF -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$build/asan" -j"$jobs" --target velmora_python3
# The interpreter is not instrumented: the runtime (and the C++ library whose
# exceptions it intercepts) must be loaded before everything else.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH="$build/asan/python/velmora_python3" \
  /usr/bin/python3 "$root/tests/stress_python.py" --steps "$steps" --seeds "$seeds" --timeout 600 \
  2> >(grep -v '^velmora_evk_sdk: ' >&2)
step "no race, crash, hang or loss"
