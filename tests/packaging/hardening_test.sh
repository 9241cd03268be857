#!/usr/bin/env bash
# Reads the hardening of the packaged serterm and serterm-sim from their ELF
# headers: position-independent, full RELRO with BIND_NOW, the stack
# protector, _FORTIFY_SOURCE's checked functions, a non-executable stack.
# Usage: hardening_test.sh DIST_DIR (as distribution_build.sh left it)
set -euo pipefail
root="$(mktemp -d "${TMPDIR:-/tmp}/serterm-hardening.XXXXXX")"
trap 'rm -rf "$root"' EXIT
dpkg -x "$(ls "$1"/serterm_*.deb)" "$root"

status=0
for program in serterm serterm-sim; do
  elf="$root/usr/bin/$program"
  dynamic="$(readelf -dW "$elf")"
  segments="$(readelf -lW "$elf")"
  symbols="$(readelf --dyn-syms -W "$elf")"
  missing=()
  grep -q 'Type: *DYN' <(readelf -hW "$elf") &&
    grep -q 'FLAGS_1.*PIE' <<<"$dynamic" || missing+=(PIE)
  grep -q GNU_RELRO <<<"$segments" || missing+=(RELRO)
  grep -qE 'BIND_NOW|FLAGS_1.* NOW' <<<"$dynamic" || missing+=(BIND_NOW)
  grep -q __stack_chk_fail <<<"$symbols" || missing+=(stack-protector)
  checked="$(grep -oE '__[a-z_]+_chk@' <<<"$symbols" | tr -d @ | sort -u || true)"
  [ -n "$checked" ] || missing+=(fortify)
  grep -qE 'GNU_STACK.* RW  ' <<<"$segments" || missing+=(non-executable-stack)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "FAIL: $program lacks: ${missing[*]}" >&2
    status=1
  else
    echo "$program: PIE, RELRO, BIND_NOW, stack protector, non-executable" \
      "stack, checked functions:" $checked
  fi
done
exit "$status"
