#!/bin/sh
# Writes the guest's initial RAM file system to $1, a newc cpio archive made
# by busybox: busybox itself, the agent ($2), serterm ($3), the init script
# ($4) and, when $5 names it, the kernel's module tree, as
# /lib/modules/current. It needs no privileges, so it holds no device node:
# init opens the console once devtmpfs is mounted.
set -eu
root="$1.root"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" \
  "$root/lib/modules"
chmod 1777 "$root/tmp"
cp /bin/busybox "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$2" "$root/bin/agent"
cp "$3" "$root/bin/serterm"
cp "$4" "$root/init"
chmod 755 "$root/init"
if [ -n "${5:-}" ]; then
  cp -R "$5" "$root/lib/modules/current"
fi
# cpio counts the blocks it wrote on standard error.
(cd "$root" && find . | /bin/busybox cpio -o -H newc) >"$1" 2>/dev/null
rm -rf "$root"
