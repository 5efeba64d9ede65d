#!/usr/bin/env bash
# Runs the CSI transport and the whole camera against the kernel's own
# frameworks: boots the distribution's kernel under software emulation with a
# small initramfs that loads this project's virtual camera module
# (tests/kernel/module, built against that kernel's headers), the virtual
# video driver, the SMBus stub and i2c-dev, and runs a statically linked test
# program built from this project's sources (tests/kernel/). Fails when any
# check in the machine fails. Inside the machine the kernel's conformance tool
# (v4l2-compliance, streaming included) runs on every video, subdevice and
# media node of the module, and media-ctl prints each family's graph once.
# Ends with the lines "kernel: N checks passed, M overridden: ..." and
# "v4l2-compliance: N nodes, F failed, W warnings"; fails when F > 0.
#
#   scripts/check-kernel-v4l2.sh
#   BUILD_DIR=... JOBS=... QEMU_TIMEOUT=seconds scripts/check-kernel-v4l2.sh
#
# The kernel and busybox packages are downloaded and unpacked, not installed;
# everything lands in the (git-ignored) build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${BUILD_DIR:-$root/build-rel-qemu}
jobs=${JOBS:-2}
timeout_s=${QEMU_TIMEOUT:-600}

"$root/scripts/setup.sh" build tests checks

step() { printf '\n==== kernel: %s\n' "$*"; }
mkdir -p "$work/debs"

# The image package the metapackage currently points at, e.g. linux-image-6.1.0-57-amd64.
image_pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1)
if [ -z "$image_pkg" ]; then
  echo "kernel: cannot tell which package linux-image-amd64 depends on" >&2
  exit 1
fi
release=${image_pkg#linux-image-}
# Headers of that very kernel, for the module (its Makefile includes the common headers by absolute path).
"$root/scripts/apt-install.sh" "linux-headers-$release"

step "kernel $release and busybox"
(
  cd "$work/debs"
  # apt's download user cannot write here when run as root; the download then runs unsandboxed.
  ls "$image_pkg"_*.deb >/dev/null 2>&1 || apt-get download -q "$image_pkg" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true
  ls busybox-static_*.deb >/dev/null 2>&1 || apt-get download -q busybox-static 2>&1 | grep -v '^W: Download is performed unsandboxed' || true
)
ls "$work/debs/$image_pkg"_*.deb "$work/debs"/busybox-static_*.deb >/dev/null
kernel=$work/kernel-$release
if [ ! -f "$kernel/.unpacked" ]; then
  rm -rf "$kernel"
  dpkg -x "$work/debs/$image_pkg"_*.deb "$kernel"
  # The package carries no modules.dep; build it for the unpacked tree.
  depmod -b "$kernel" "$release"
  touch "$kernel/.unpacked"
fi
busybox=$work/busybox
if [ ! -x "$busybox/bin/busybox" ]; then
  rm -rf "$busybox"
  dpkg -x "$work/debs"/busybox-static_*.deb "$busybox"
fi

step "virtual camera module"
rm -rf "$work/module"
mkdir -p "$work/module"
cp "$root/tests/kernel/module/velmora_vcam.c" "$root/tests/kernel/module/Kbuild" "$work/module/"
make -s -C "/usr/src/linux-headers-$release" M="$work/module" KCFLAGS=-Werror modules 2>&1 | grep -v "Skipping BTF generation" || true
test -f "$work/module/velmora_vcam.ko"

step "static test program"
cmake -S "$root/tests/kernel" -B "$work/test-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/test-build" -j"$jobs" --target velmora_kernel_test 2>&1 \
  | grep -v "requires at runtime the shared libraries from the glibc version" || true
test -x "$work/test-build/velmora_kernel_test"

step "initramfs"
initrd=$work/root
rm -rf "$initrd"
mkdir -p "$initrd"/{bin,modules,proc,sys,dev,tmp}
cp "$busybox/bin/busybox" "$initrd/bin/busybox"
cp "$root/tests/kernel/init.sh" "$initrd/init"
chmod +x "$initrd/init"
strip -o "$initrd/velmora_kernel_test" "$work/test-build/velmora_kernel_test"

# Two instances of the virtual driver, video capture nodes only: 0 single-plane
# with one HDMI input, 1 single-plane with one webcam input (which changes the
# format it is asked for). The stub answers at the control chip's address.
modules=(
  "vivid n_devs=2 multiplanar=1,1 num_inputs=1,1 input_types=0x3,0x0 node_types=0x1,0x1"
  "i2c-stub chip_addr=0x0c"
  "i2c-dev"
)
# One camera per board family as its board's kernel presents it; then family 5
# with writable subdevice nodes, one with the VGA sensor, family 7 without Y12,
# family 6 with its second output's link left enabled and with the mainline
# names; and another driver's media devices (an ISP's).
vcam_args="families=2,3,5,6,7,5,5,7,6,6 variant=0,0,0,0,0,1,0,4,16,8 vga_sensor=0,0,0,0,0,0,1 other_media=2"
: >"$initrd/modules/load.list"
add_module() {  # name-or-file [parameters]: the module after its dependencies, as modprobe would load them
  local name=$1 args=${2:-}
  while read -r _ path _; do
    file=$(basename "$path")
    grep -q "^$file\b" "$initrd/modules/load.list" && continue
    cp "$path" "$initrd/modules/$file"
    if [ "$(basename "$file" .ko)" = "$name" ]; then
      echo "$file $args" >>"$initrd/modules/load.list"
    else
      echo "$file" >>"$initrd/modules/load.list"
    fi
  done < <(modprobe -d "$kernel" -S "$release" --show-depends "$name" | grep '^insmod ')
}
for module in "${modules[@]}"; do
  read -r name args <<<"$module"
  add_module "$name" "$args"
done
for dependency in $(modinfo -F depends "$work/module/velmora_vcam.ko" | tr ',' ' '); do
  add_module "$dependency"
done
cp "$work/module/velmora_vcam.ko" "$initrd/modules/"
echo "velmora_vcam.ko $vcam_args" >>"$initrd/modules/load.list"
# The conformance tool and media-ctl with the libraries they load.
for tool in /usr/bin/v4l2-compliance /usr/bin/media-ctl; do
  for file in "$tool" $(ldd "$tool" | grep -oE '/[^ ]+'); do
    mkdir -p "$initrd$(dirname "$file")"
    cp -L "$file" "$initrd$file"
  done
done
(cd "$initrd" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.gz")

step "boot (software emulation)"
log=$work/console.log
set +e
timeout "$timeout_s" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -no-reboot \
  -kernel "$kernel/boot/vmlinuz-$release" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 panic=-1 quiet" </dev/null 2>&1 | tr -d '\r' | tee "$log" \
  | sed -n '/\[==========\] Running/,/velmora-kernel-result/p'
qemu_rc=${PIPESTATUS[0]}
set -e
if [ "$qemu_rc" -eq 124 ]; then
  echo "kernel: the machine did not finish within ${timeout_s}s (console in $log)" >&2
  exit 1
fi
# A kernel oops or warning, or a module that would not unload, fails the step whatever the tests said.
if grep -a -E 'BUG:|Oops:|WARNING:|general protection|velmora-kernel: rmmod' "$log"; then
  echo "kernel: the kernel reported a fault (console in $log)" >&2
  exit 1
fi
result=$(sed -n 's/.*velmora-kernel-result rc=\([0-9]*\).*/\1/p' "$log" | tail -n1)
if [ "$result" != "0" ]; then
  echo "kernel: test program failed (rc=${result:-none}); console in $log" >&2
  exit 1
fi
# One run per node; a run without its totals line (the tool died) counts as failed.
# On a read-only subdevice node this kernel answers EPERM for setting DV
# timings and frame intervals before it looks whether the subdevice has them
# at all, where the tool expects ENOTTY: those two tests count as warnings.
compliance=$(awk '
  /^velmora-compliance-run / { runs++; readonly = 0 }
  /^velmora-compliance .*Read-Only Sub-Device/ { readonly = 1 }
  readonly && /^velmora-compliance .*test (VIDIOC_ENUM\/G\/S\/QUERY_DV_TIMINGS|VIDIOC_SUBDEV_G\/S_FRAME_INTERVAL): FAIL/ {
    known++
  }
  /^velmora-compliance .*Total for/ {
    totals++
    for (i = 1; i <= NF; i++) {
      if ($i == "Failed:") failed += $(i + 1) + 0
      if ($i == "Warnings:") warnings += $(i + 1) + 0
    }
  }
  END { printf "%d %d %d", runs, failed - known + runs - totals, warnings + known }' "$log")
read -r nodes failed warnings <<<"$compliance"
grep -a '^velmora-compliance .*\(fail:\|FAIL\)' "$log" || true
grep -a '^velmora-media-ctl failed' "$log" && failed=$((failed + 1))
step "results"
grep -a '^kernel: [0-9]* checks passed' "$log" | tail -n1
echo "v4l2-compliance: $nodes nodes, $failed failed, $warnings warnings"
if [ "$nodes" -eq 0 ] || [ "$failed" -gt 0 ]; then
  echo "kernel: v4l2-compliance failed on the module's nodes (console in $log)" >&2
  exit 1
fi
