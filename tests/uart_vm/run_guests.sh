#!/bin/sh
# Runs the UART VM test: the program given first once for each guest, side
# by side, each killed after 270 s (longer than all its bounded waits added
# up, which only a wedged guest can outlast; its QEMU goes with it), then
# shows what each printed, in the order of the guests. The program gets the
# guest's number, the kernel's directory, QEMU, then the other arguments
# (and any GoogleTest flags). Without QEMU or busybox, which scripts/test
# installs, the test is skipped (77), in CI it fails.
set -u
program=$1
shift
qemu=$(command -v qemu-system-x86_64)
if [ -z "$qemu" ] || [ ! -x /bin/busybox ]; then
  verdict=FAILED status=1
  case ${CI:-false} in '' | false) verdict=SKIPPED status=77 ;; esac
  echo "uart_vm: $verdict: qemu-system-x86_64 or /bin/busybox is missing" \
    "(packages qemu-system-x86 and busybox-static)"
  exit "$status"
fi
# The fetch script prints the kernel's directory.
kernel=${SERTERM_VM_KERNEL:-$("$(dirname "$0")/fetch_kernel.sh")} || kernel=
[ -n "$kernel" ] || { echo "uart_vm: FAILED: no kernel: fetch_kernel.sh failed"; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for guest in 0 1 2; do
  { timeout -s KILL 270 "$program" "$guest" "$kernel" "$qemu" "$@"
    echo $? >"$out/$guest.status"; } >"$out/$guest" 2>&1 &
done
wait
status=0
for guest in 0 1 2; do
  cat "$out/$guest"
  code=$(cat "$out/$guest.status")
  [ "$code" != 137 ] || echo "uart_vm: FAILED: guest $guest ran longer than 270 s"
  [ "$code" = 0 ] || status=1
done
exit "$status"
