#!/bin/sh
# The guest's init: mounts what the agent and serterm need, loads the
# kernel modules in the order their names give, runs the agent on the
# console, and powers the VM off when the agent ends.
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t devtmpfs devtmpfs /dev
/bin/busybox mkdir -p /dev/pts
/bin/busybox mount -t devpts -o ptmxmode=0666 devpts /dev/pts
for module in /lib/modules/*.ko; do
  [ -f "$module" ] && /bin/busybox insmod "$module"
done
/bin/agent
/bin/busybox poweroff -f
