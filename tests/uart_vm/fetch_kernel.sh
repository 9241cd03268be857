#!/usr/bin/env bash
# Fetches Debian's current generic kernel (linux-image-amd64) into a cache
# outside the repository and prints the kernel's directory there on stdout:
# `vmlinux`, the image decompressed (an ELF the emulator boots directly,
# seconds faster than decompressing XZ under emulation), and `modules/`,
# the USB host, serial, class and gadget modules and configfs. Nothing is
# installed into the system. The kernel release goes to stderr.
#
# Cache: $SERTERM_VM_CACHE, else $XDG_CACHE_HOME/serterm-uart-vm, else
# $HOME/.cache/serterm-uart-vm. A kernel the package lists name but the
# cache lacks is downloaded; without it the script fails.
set -euo pipefail

cache=${SERTERM_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/serterm-uart-vm}
mkdir -p "$cache"

say() { echo "fetch_kernel: $*" >&2; }
fail() { say "no kernel: $*"; exit 1; }

# The one versioned image package the meta package depends on; nothing when
# apt does not know it. A fresh machine reads the package lists once.
image_package() {
  { apt-cache depends linux-image-amd64 2>/dev/null || true; } |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
pkg=$(image_package)
if [ -z "$pkg" ] && [ "$(id -u)" = 0 ]; then
  timeout 300 apt-get update -qq >&2 || true
  pkg=$(image_package)
fi
[ -n "$pkg" ] || fail "linux-image-amd64 is not known to apt"

release=${pkg#linux-image-}
kernel="$cache/linux-$release"
if [ ! -s "$kernel/vmlinux" ]; then
  command -v xz >/dev/null || fail "xz is missing (package xz-utils)"
  work=$(mktemp -d "${TMPDIR:-/tmp}/serterm-kernel.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  # apt downloads as its own user where it can reach the directory.
  [ "$(id -u)" != 0 ] || ! id _apt >/dev/null 2>&1 || chown _apt "$work"
  (cd "$work" && timeout 600 apt-get download -qq "$pkg" >&2) ||
    fail "apt-get download $pkg failed"
  deb=$(ls -1 "$work"/*.deb)
  image="$work/boot/vmlinuz-$release"
  modules="./lib/modules/$release/kernel"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work" -f - "./boot/vmlinuz-$release" \
    "$modules/fs/configfs" "$modules/drivers/usb/"{common,core,host,serial,class,gadget}
  mkdir "$work/linux"
  # The ELF kernel is the XZ stream that begins at one of the places its
  # magic occurs in the image.
  for offset in $(LC_ALL=C grep -abo $'\xfd7zXZ\x00' "$image" | cut -d: -f1); do
    tail -c +$((offset + 1)) "$image" | xz -dc --single-stream >"$work/linux/vmlinux" 2>/dev/null || true
    [ "$(head -c 4 "$work/linux/vmlinux")" != $'\x7fELF' ] || break
  done
  [ "$(head -c 4 "$work/linux/vmlinux")" = $'\x7fELF' ] || fail "no XZ-compressed kernel in $deb"
  mv "$work/$modules" "$work/linux/modules"
  # A fetch running beside this one may have got there first.
  mv -T "$work/linux" "$kernel" 2>/dev/null || [ -s "$kernel/vmlinux" ]
  say "fetched $pkg ($(dpkg-deb -f "$deb" Version))"
  # Kernels the archive no longer names are of no further use.
  find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-*' ! -name "linux-$release" -exec rm -rf {} +
fi
say "kernel release $release"
echo "$kernel"
