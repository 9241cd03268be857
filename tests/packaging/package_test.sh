#!/usr/bin/env bash
# Checks installation and the Debian package of the distribution build:
# `cmake --install` with a prefix and DESTDIR puts the files in place; the
# package `cpack -G DEB` made holds exactly them; the package, unpacked with
# dpkg -x, runs.
# Usage: package_test.sh DIST_DIR SOURCE_DIR (as distribution_build.sh left it)
set -euo pipefail
dist="$(cd "$1" && pwd)"
source_dir="$(cd "$2" && pwd)"

# shellcheck source=tests/tools/simulator.sh
source "$source_dir/tests/tools/simulator.sh"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/serterm-package-test.XXXXXX")"
trap 'stop_simulator; rm -rf "$scratch"' EXIT

status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

# The files under `root`, as sorted relative paths.
files_under() {
  (cd "$1" && find . -type f -o -type l | sed 's|^\./||' | sort)
}

expected_files() {
  printf "$1/%s\n" bin/serterm bin/serterm-sim share/man/man1/serterm.1.gz \
    share/man/man1/serterm-sim.1.gz share/doc/serterm/copyright \
    share/doc/serterm/changelog.gz share/bash-completion/completions/serterm \
    share/bash-completion/completions/serterm-sim | sed 's|^/||' | sort
}

# --- cmake --install honours --prefix and DESTDIR ---
DESTDIR="$scratch/destdir" cmake --install "$dist/src/build" \
  --prefix /opt/serterm-test >/dev/null
if [ "$(files_under "$scratch/destdir")" != "$(expected_files /opt/serterm-test)" ]; then
  fail "cmake --install put: $(files_under "$scratch/destdir" | tr '\n' ' ')"
fi
for program in serterm serterm-sim; do
  [ -x "$scratch/destdir/opt/serterm-test/bin/$program" ] ||
    fail "installed $program is not executable"
done
for page in serterm.1 serterm-sim.1; do
  zcat "$scratch/destdir/opt/serterm-test/share/man/man1/$page.gz" |
    cmp -s "$source_dir/man/$page" - ||
    fail "installed manual page differs from man/$page"
done

# --- the package: the one there is ---
debs=("$dist"/serterm_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] ||
  { echo "FAIL: not one package in $dist: ${debs[*]}" >&2; exit 1; }
deb="${debs[0]}"

listed="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\./||' | sort)"
[ "$listed" = "$(expected_files /usr)" ] ||
  fail "package holds: $(echo "$listed" | tr '\n' ' ')"
[ "$(dpkg-deb -f "$deb" Package)" = serterm ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$(sed -n 's/^project(serterm VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")" ] ||
  fail "package version $(dpkg-deb -f "$deb" Version)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
  fail "package architecture"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no dependency on libc6"

# --- the unpacked package works ---
root="$scratch/root"
dpkg -x "$deb" "$root"
bin="$root/usr/bin"
usage_status=0
usage="$("$bin/serterm" --help 2>&1 >/dev/null)" || usage_status=$?
[ "$usage_status" = 1 ] || fail "serterm --help exited $usage_status, not 1"
[ "$(head -n 1 <<<"$usage")" = "Usage: $bin/serterm [option...] modem" ] ||
  fail "usage text begins: $(head -n 1 <<<"$usage")"
"$bin/serterm-sim" --help | grep -q '^Usage: serterm-sim' ||
  fail "serterm-sim --help"

# A short conversation with no terminal: AT and CR from a pipe, the answer
# as hexdump text on standard output. The pipe stays open until the answer
# is in (at most 40 s), since the end of keyboard input ends serterm.
modem="$scratch/modem"
start_simulator "$bin/serterm-sim" "$modem" || fail "the simulator did not start"
out="$scratch/dump.txt"
: >"$out"
conversation_status=0
{ printf 'AT\r'; retry 400 grep -q '4f 4b 0d 0a' "$out" || true; } |
  timeout 60 "$bin/serterm" -d1 "$modem" >"$out" 2>/dev/null ||
  conversation_status=$?
[ "$conversation_status" = 0 ] ||
  fail "serterm on the simulator exited $conversation_status"
grep -q '^41 54 0d 0d 0a 4f 4b 0d 0a $' <(tr -d '\n' <"$out"; echo) ||
  fail "hexdump of the conversation: $(cat "$out")"

exit "$status"
