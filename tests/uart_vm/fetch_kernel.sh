#!/usr/bin/env bash
# Fetches the kernel image of Debian's current linux-image-cloud-amd64 into a
# cache outside the repository and prints the image's path on stdout. Nothing
# is installed into the system. The kernel release goes to stderr.
#
# Cache: $SERTERM_VM_CACHE, else $XDG_CACHE_HOME/serterm-uart-vm, else
# $HOME/.cache/serterm-uart-vm. When the package archive cannot be reached,
# the newest image already in the cache is used, with a warning.
set -euo pipefail

cache=${SERTERM_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/serterm-uart-vm}
mkdir -p "$cache"

say() { echo "fetch_kernel: $*" >&2; }

# The meta package depends on exactly one versioned image package.
image_package() {
  apt-cache depends linux-image-cloud-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

use_cached() {
  local newest
  newest=$(ls -1t "$cache"/vmlinuz-* 2>/dev/null | head -n 1 || true)
  if [ -z "$newest" ]; then
    say "no kernel image in $cache and none could be fetched"
    exit 1
  fi
  say "warning: using cached $(basename "$newest"): $1"
  echo "$newest"
  exit 0
}

pkg=$(image_package)
if [ -z "$pkg" ] && [ "$(id -u)" = 0 ]; then
  # No package lists yet (a fresh machine): read them once.
  timeout 300 apt-get update -qq >&2 || true
  pkg=$(image_package)
fi
[ -n "$pkg" ] || use_cached "linux-image-cloud-amd64 is not known to apt"

release=${pkg#linux-image-}
image="$cache/vmlinuz-$release"
if [ ! -s "$image" ]; then
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
  dpkg-deb --fsys-tarfile "$deb" |
    tar -x -O -f - "./boot/vmlinuz-$release" >"$work/vmlinuz"
  [ -s "$work/vmlinuz" ] || use_cached "$deb holds no boot/vmlinuz-$release"
  mv "$work/vmlinuz" "$image.part" && mv "$image.part" "$image"
  say "fetched $pkg ($(dpkg-deb -f "$deb" Version))"
  # Images of kernels the archive no longer names are of no further use.
  find "$cache" -maxdepth 1 -name 'vmlinuz-*' ! -name "vmlinuz-$release" -delete
fi
say "kernel release $release"
echo "$image"
