#!/bin/busybox sh
# First process of the test machine: mounts the kernel's file systems, loads
# the virtual video driver, the SMBus stub and i2c-dev, runs the test program
# and powers off. The host reads the result line from the serial console.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp && mount -t tmpfs tmpfs /tmp

load() {
  # load.list names dependencies first; each line is "file.ko [parameters]"
  while read -r module args; do
    insmod "/modules/$module" $args || echo "velmora-kernel: insmod $module failed"
  done
}
load < /modules/load.list

# Give the drivers a moment to create their nodes.
for i in 1 2 3 4 5 6 7 8 9 10; do
  [ -e /dev/video0 ] && [ -e /dev/i2c-0 ] && break
  sleep 0.2
done

if [ -x /velmora_kernel_test ]; then
  /velmora_kernel_test $(cat /test.args 2>/dev/null)
  rc=$?
else
  sh /explore.sh
  rc=$?
fi
echo "velmora-kernel-result rc=$rc"
poweroff -f
