#!/bin/sh
# The guest's init: mounts what the agent and serterm need, loads the
# kernel modules named by load= on the kernel's command line (with those
# they depend on, as their own metadata says), runs the agent on the
# console, and powers the VM off when the agent ends.
/bin/busybox mount -t devtmpfs devtmpfs /dev
# The archive has no device nodes, so the kernel had no console to give
# init: it is opened here.
exec </dev/console >/dev/console 2>&1
# It carries the agent's commands and answers only: no echo, no line
# editing, no CR/LF translation.
/bin/busybox stty raw -echo -iexten
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mkdir -p /dev/pts
/bin/busybox mount -t devpts -o ptmxmode=0666 devpts /dev/pts
if [ -n "$load" ]; then
  /bin/busybox mv /lib/modules/current "/lib/modules/$(/bin/busybox uname -r)"
  /bin/busybox depmod
  # One word per module name.
  # shellcheck disable=SC2046
  /bin/busybox modprobe -a $(echo "$load" | /bin/busybox tr , ' ')
fi
/bin/agent
/bin/busybox poweroff -f
