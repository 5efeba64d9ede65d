#!/bin/busybox sh
# First process of the test machine: mounts the kernel's file systems, loads
# the virtual video driver, the SMBus stub and i2c-dev, runs the test program
# and powers off. The host reads the result line from the serial console.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
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
# The kernel's conformance tool on every node of the module (and of the other
# driver's media devices), and the graph of each family's camera once.
if [ -x /usr/bin/v4l2-compliance ]; then
  owner() { readlink -f "$1" | grep -oE 'velmora-[a-z]+\.[0-9]+/' | tr -d /; }
  comply() {  # node options: the tool's failures, warnings and totals, tagged with the node
    node=$1
    shift
    echo "velmora-compliance-run $node"
    v4l2-compliance "$@" "$node" 2>&1 | grep -E '^[[:space:]]*(fail|warn):|: FAIL$|Read-Only Sub-Device|^Total for' |
      sed "s|^|velmora-compliance $node: |"
  }
  # Only the link into the node under test enabled, as a user of the Pi 5 sets it up.
  link_only() {  # video node directory
    want=$(cat "$1/name")
    for m in /sys/bus/media/devices/media*; do
      [ "$(owner "$m")" = "$(owner "$1")" ] || continue
      media-ctl -d "/dev/${m##*/}" -p | awk -v want="$want" '
        /^- entity/ { name = $0; sub(/^- entity [0-9]+: /, "", name); sub(/ \([0-9]+ pads?.*$/, "", name) }
        /^[ \t]*<- "/ && !/IMMUTABLE/ {
          source = $0; sub(/^[ \t]*<- /, "", source); sub(/ \[.*$/, "", source)
          printf "%s -> \"%s\":0[%d]\n", source, name, name == want }' |
        while read -r link; do media-ctl -d "/dev/${m##*/}" -l "$link"; done
    done
  }
  for dir in /sys/class/video4linux/video* /sys/class/video4linux/v4l-subdev* /sys/bus/media/devices/media*; do
    [ -n "$(owner "$dir")" ] || continue
    case ${dir##*/} in
      video*) link_only "$dir"; comply "/dev/${dir##*/}" -s -d ;;
      v4l-subdev*) comply "/dev/${dir##*/}" -u ;;
      *) comply "/dev/${dir##*/}" -M ;;
    esac
  done
  seen=" "
  camera=0
  for family in $(tr , ' ' </sys/module/velmora_vcam/parameters/families); do
    for dir in /sys/bus/media/devices/media*; do
      [ "$(owner "$dir")" = "velmora-vcam.$camera" ] || continue
      case "$seen" in *" $family "*) continue ;; esac
      seen="$seen$family "
      echo "velmora-media-ctl family $family: /dev/${dir##*/}"
      media-ctl -d "/dev/${dir##*/}" -p || echo "velmora-media-ctl failed: /dev/${dir##*/}"
    done
    camera=$((camera + 1))
  done
fi
# The module goes as it came: unloading tears every camera down.
rmmod velmora_vcam || echo "velmora-kernel: rmmod velmora_vcam failed"
echo "velmora-kernel-result rc=$rc"
poweroff -f
