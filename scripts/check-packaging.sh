#!/usr/bin/env bash
# Packaging check: builds, installs into a prefix and uses it from outside the
# source tree (CTest label "packaging": Python module and velmora_tools,
# installed tools, the example C++ consumer with find_package and pkg-config,
# the udev rules); then builds the Debian package, installs it with apt,
# streams from the virtual camera through the installed Python 3 module,
# builds the consumer against the system package, and removes it again.
#
#   scripts/check-packaging.sh            build dirs: build-pkg-prefix, build-pkg-deb
#
# Idempotent; installs what it needs with apt-get. Needs root (or sudo) for
# the package steps.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
jobs=${JOBS:-2}
package=velmora-depth-camera

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
step() { printf '\n==== %s\n' "$*"; }
fail() { echo "check-packaging: $*" >&2; exit 1; }

"$source_dir/scripts/setup.sh" build tests

work=$(mktemp -d /tmp/velmora-check-packaging.XXXXXX)
remove_package() {
  if dpkg-query -W "$package" >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq "$package" >/dev/null
  fi
}
cleanup() { remove_package || true; rm -rf "$work"; }
trap cleanup EXIT
# A package left by an interrupted run would mask what this run installs.
remove_package

# A build directory configured from another source tree is started afresh.
own_build_dir() {
  local home
  home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$1/CMakeCache.txt" 2>/dev/null || true)
  if [ -n "$home" ] && [ "$(realpath "$home")" != "$(realpath "$source_dir")" ]; then rm -rf "$1"; fi
}
own_build_dir build-pkg-prefix
own_build_dir build-pkg-deb

step "prefix install: build, install, use from outside the source tree"
cmake -S . -B build-pkg-prefix -DVELMORA_WERROR=ON -DVELMORA_BUILD_BENCH=OFF -DVELMORA_BUILD_EXAMPLES=OFF \
  -DVELMORA_BUILD_PY27=OFF -DVELMORA_BUILD_ROS=OFF -DVELMORA_BUILD_ROS2=OFF -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
# What the install takes (the ROS nodes' install is checked in the Debian package below).
cmake --build build-pkg-prefix -j"$jobs" --target velmora velmora_python3 velmora-i2c-access
ctest --test-dir build-pkg-prefix -L packaging --output-on-failure

step "Debian package: build"
cmake -S . -B build-pkg-deb -DCMAKE_INSTALL_PREFIX=/usr -DVELMORA_PYTHON3_INSTALL_DIR=/usr/lib/python3/dist-packages \
  -DVELMORA_WERROR=ON -DVELMORA_BUILD_PY27=OFF -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF \
  -DVELMORA_BUILD_EXAMPLES=OFF -DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-pkg-deb -j"$jobs"
rm -f build-pkg-deb/"$package"_*.deb
(cd build-pkg-deb && cpack -G DEB >cpack.log 2>&1) || { cat build-pkg-deb/cpack.log; fail "cpack failed"; }
deb=$(ls build-pkg-deb/"$package"_*.deb)
echo "built $deb"
dpkg-deb -I "$deb" | sed -n '/Package:/,$p'
depends=$(dpkg-deb -f "$deb" Depends)
for d in libc6 libstdc++6 python3-numpy 'python3 (>= 3.' 'python3 (<< 3.'; do
  [[ "$depends" == *"$d"* ]] || fail "Depends lacks '$d': $depends"
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/include/velmora/VelmoraTOFCamera.h ./usr/lib/x86_64-linux-gnu/libvelmora.so.0.1.0 \
         ./usr/lib/udev/rules.d/60-velmora-depth-camera.rules ./usr/bin/velmora-record ./usr/bin/velmora-i2c-access \
         ./usr/bin/velmora-ply ./usr/bin/velmora-info ./usr/bin/velmora-replay-config ./usr/bin/velmora-preview \
         ./usr/lib/python3/dist-packages/velmora_tools/recording.py; do
  f=${f//x86_64-linux-gnu/$(dpkg-architecture -qDEB_HOST_MULTIARCH)}
  grep -qF " $f" <<<"$contents" || fail "$deb lacks $f"
done
grep -q "./usr/lib/python3/dist-packages/VelmoraDepthCamera.cpython-" <<<"$contents" || fail "$deb lacks the module"
if dpkg-query -W ros-core-dev >/dev/null 2>&1; then
  # The ROS node, built wherever the ROS packages are installed.
  for f in ./usr/lib/velmora_camera/velmora_camera_node ./usr/bin/velmora_camera_node \
           ./usr/lib/x86_64-linux-gnu/ros/libvelmora_camera_nodelet.so ./usr/share/velmora_camera/package.xml \
           ./usr/share/velmora_camera/nodelet_plugins.xml ./usr/share/velmora_camera/launch/velmora_camera.launch; do
    f=${f//x86_64-linux-gnu/$(dpkg-architecture -qDEB_HOST_MULTIARCH)}
    grep -qF " $f" <<<"$contents" || fail "$deb lacks $f"
  done
fi
if [ -e build-pkg-deb/ros/ros2/velmora_camera_ros2 ]; then
  # The ROS 2 node, built wherever Cyclone DDS is installed.
  grep -qF " ./usr/bin/velmora_camera_ros2" <<<"$contents" || fail "$deb lacks ./usr/bin/velmora_camera_ros2"
fi

step "Debian package: apt install, use, remove"
installed=$(DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "./$deb" 2>&1)
# The maintainer scripts only say what was installed and how to grant access.
[ "$(grep -c '^velmora-depth-camera: ' <<<"$installed")" -eq 1 ] || fail "postinst did not say its one line: $installed"
cd "$work"
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$work" /usr/bin/python3 - <<'EOF'
import os, tempfile
import VelmoraDepthCamera as vdc
import velmora_tools
from velmora_tools.pointcloud import depth_to_points
for module in (vdc, velmora_tools):
    assert module.__file__.startswith("/usr/lib/python3/dist-packages/"), module.__file__
config = os.path.join(tempfile.mkdtemp(), "cam.cfg")
with open(config, "w") as handle:
    handle.write("scene=demo\nfps=30\n")
cam = vdc.VelmoraCamera()
assert cam.openWithFile(config) == vdc.TOFErrorCode.VelmoraSuccess
assert cam.start(vdc.TOFOutput.DEPTH) == vdc.TOFErrorCode.VelmoraSuccess
for n in range(5):
    frame = cam.requestFrame(2000)
    assert frame is not None, "no frame within 2 s"
    depth = frame.getDepthData()
    stamp = frame.getFrameFormat().timestamp
    cam.releaseFrame(frame)
    print("frame %d: timestamp %d, %d points, centre %.0f mm" % (n, stamp, len(depth_to_points(depth)), depth[90, 120]))
cam.stop()
cam.close()
EOF
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$work" velmora-record "$work/pkg.vrec" --frames 5 --quiet
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$work" velmora-info "$work/pkg.vrec"
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$work" velmora-preview --list
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin velmora-i2c-access --help >/dev/null
if [ -e "$source_dir/build-pkg-deb/ros/ros2/velmora_camera_ros2" ]; then
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin velmora_camera_ros2 --help >/dev/null
fi
if dpkg-query -W ros-core-dev >/dev/null 2>&1; then
  # rospack finds the installed node's package and nodelet without any setting.
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$work" rospack plugins --attrib=plugin nodelet |
    grep -q "^velmora_camera /usr/share/velmora_camera/nodelet_plugins.xml" || fail "rospack does not find the nodelet"
fi
cp -r /usr/share/velmora/examples/cpp-consumer "$work/consumer"
cmake -S "$work/consumer" -B "$work/consumer/build" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
"$work/consumer/build/depth_consumer" "" 3
make -s -C "$work/consumer" depth_consumer_pc
"$work/consumer/depth_consumer_pc" "" 2
cd "$source_dir"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq "$package" >/dev/null
! dpkg-query -W "$package" >/dev/null 2>&1 || fail "$package is still known to dpkg after purging it"
for f in /usr/lib/python3/dist-packages/velmora_tools /usr/include/velmora /usr/bin/velmora-record \
         /usr/bin/velmora_camera_ros2 \
         /usr/share/velmora_camera /usr/lib/velmora_camera \
         /usr/lib/udev/rules.d/60-velmora-depth-camera.rules; do
  [ ! -e "$f" ] || fail "$f is still there after removing the package"
done
! /usr/bin/python3 -c "import VelmoraDepthCamera" 2>/dev/null || fail "the module still imports after removal"

step "packaging checks passed"
