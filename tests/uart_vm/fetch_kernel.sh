#!/usr/bin/env bash
# Fetches Debian's current generic kernel (linux-image-amd64) into a cache
# outside the repository and prints the kernel's directory there on stdout:
# `vmlinux`, the image decompressed (an ELF the emulator boots directly,
# seconds faster than decompressing XZ under emulation), and `modules/`,
# the USB host, serial, class and gadget modules and configfs. Nothing is
# installed into the system. The kernel release goes to stderr.
#
# Cache: $SERTERM_VM_CACHE, else $XDG_CACHE_HOME/serterm-uart-vm, else
# $HOME/.cache/serterm-uart-vm. When the package archive cannot be reached,
# the newest kernel already in the cache is used, with a warning.
set -euo pipefail

cache=${SERTERM_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/serterm-uart-vm}
mkdir -p "$cache"

say() { echo "fetch_kernel: $*" >&2; }

# The meta package depends on exactly one versioned image package. Nothing
# is printed (and this does not fail) when apt does not know it.
image_package() {
  { apt-cache depends linux-image-amd64 2>/dev/null || true; } |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

use_cached() {
  local newest
  newest=$(ls -1dt "$cache"/linux-*/ 2>/dev/null | head -n 1 || true)
  if [ -z "$newest" ]; then
    say "no kernel in $cache and none could be fetched"
    exit 1
  fi
  say "warning: using cached $(basename "$newest"): $1"
  echo "${newest%/}"
  exit 0
}

# Writes the ELF kernel inside the bzImage `$1` to `$2`: the XZ stream that
# begins at one of the places its magic occurs.
extract_vmlinux() {
  local offset
  for offset in $(LC_ALL=C grep -abo $'\xfd7zXZ\x00' "$1" | cut -d: -f1); do
    tail -c +$((offset + 1)) "$1" | xz -dc --single-stream >"$2" 2>/dev/null || true
    if [ "$(head -c 4 "$2")" = $'\x7fELF' ]; then
      return 0
    fi
  done
  return 1
}

pkg=$(image_package)
if [ -z "$pkg" ] && [ "$(id -u)" = 0 ]; then
  # No package lists yet (a fresh machine): read them once.
  timeout 300 apt-get update -qq >&2 || true
  pkg=$(image_package)
fi
[ -n "$pkg" ] || use_cached "linux-image-amd64 is not known to apt"

release=${pkg#linux-image-}
kernel="$cache/linux-$release"
if [ ! -s "$kernel/vmlinux" ]; then
  # apt downloads as its own user where it can reach the directory.
  work=$(mktemp -d "${TMPDIR:-/tmp}/serterm-kernel.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  if [ "$(id -u)" = 0 ] && id _apt >/dev/null 2>&1; then
    chown _apt "$work"
  fi
  if ! (cd "$work" && timeout 600 apt-get download -qq "$pkg" >&2); then
    use_cached "apt-get download $pkg failed"
  fi
  deb=$(ls -1 "$work"/*.deb)
  modules="./lib/modules/$release/kernel"
  usb="$modules/drivers/usb"
  dpkg-deb --fsys-tarfile "$deb" |
    tar -x -C "$work" -f - "./boot/vmlinuz-$release" "$modules/fs/configfs" \
      "$usb/common" "$usb/core" "$usb/host" "$usb/serial" "$usb/class" \
      "$usb/gadget"
  mkdir "$work/linux"
  command -v xz >/dev/null || use_cached "xz is missing (package xz-utils)"
  extract_vmlinux "$work/boot/vmlinuz-$release" "$work/linux/vmlinux" ||
    use_cached "no XZ-compressed kernel in $deb"
  mv "$work/$modules" "$work/linux/modules"
  # A fetch running beside this one may have got there first.
  mv -T "$work/linux" "$kernel" 2>/dev/null || [ -s "$kernel/vmlinux" ]
  say "fetched $pkg ($(dpkg-deb -f "$deb" Version))"
  # Kernels the archive no longer names are of no further use.
  find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-*' ! -name "linux-$release" \
    -exec rm -rf {} +
fi
say "kernel release $release"
echo "$kernel"
