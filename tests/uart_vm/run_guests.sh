#!/bin/sh
# Runs the UART VM test: PROGRAM once for each guest, side by side, each
# killed after 270 s (longer than all its bounded waits added up, which only
# a wedged guest can outlast; its QEMU goes with it), then shows what each
# printed, in the order of the guests. The program gets the guest's number,
# a work directory of its own, the kernel, QEMU, the guests' initial RAM
# file system and the device shim (and any GoogleTest flags given after
# this script's arguments). Without QEMU or busybox, which scripts/test
# installs, the test is skipped (77), in CI it fails.
#
# Usage: run_guests.sh PROGRAM SCRIPTS AGENT SERTERM SHIM [FLAGS...]
set -u
program=$1 scripts=$2 agent=$3 serterm=$4 shim=$5
shift 5
qemu=$(command -v qemu-system-x86_64)
if [ -z "$qemu" ] || [ ! -x /bin/busybox ]; then
  verdict=FAILED status=1
  case ${CI:-false} in '' | false) verdict=SKIPPED status=77 ;; esac
  echo "uart_vm: $verdict: qemu-system-x86_64 or /bin/busybox is missing" \
    "(packages qemu-system-x86 and busybox-static)"
  exit "$status"
fi
# The fetch script prints the kernel's directory.
kernel=${SERTERM_VM_KERNEL:-$("$scripts/fetch_kernel.sh")} || kernel=
[ -n "$kernel" ] || { echo "uart_vm: FAILED: no kernel: fetch_kernel.sh failed"; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# The guests' initial RAM file system, a newc cpio archive made by busybox:
# busybox, the agent, serterm, the init script and the kernel's module tree
# as /lib/modules/current. Made without privileges, it holds no device
# node: init opens the console once devtmpfs is mounted.
root=$out/root
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" \
  "$root/lib/modules" "$out/guest0" "$out/guest1" "$out/guest2"
if ! { chmod 1777 "$root/tmp" && cp /bin/busybox "$root/bin/busybox" &&
  ln -s busybox "$root/bin/sh" && cp "$agent" "$root/bin/agent" &&
  cp "$serterm" "$root/bin/serterm" &&
  install -m 755 "$scripts/init.sh" "$root/init" &&
  cp -R "$kernel/modules" "$root/lib/modules/current" &&
  (cd "$root" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) >"$out/initramfs.cpio"; }; then
  echo "uart_vm: FAILED: the guests' initial RAM file system could not be made"
  exit 1
fi
rm -rf "$root"
for guest in 0 1 2; do
  { timeout -s KILL 270 "$program" "$guest" "$out/guest$guest" "$kernel/vmlinux" \
      "$qemu" "$out/initramfs.cpio" "$shim" "$@"
    echo $? >"$out/$guest.status"; } >"$out/$guest.log" 2>&1 &
done
wait
status=0
for guest in 0 1 2; do
  cat "$out/$guest.log"
  code=$(cat "$out/$guest.status")
  [ "$code" != 137 ] || echo "uart_vm: FAILED: guest $guest ran longer than 270 s"
  [ "$code" = 0 ] || status=1
done
exit "$status"
