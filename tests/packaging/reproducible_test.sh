#!/usr/bin/env bash
# Builds the same sources once more, later and in another folder, and
# checks that the serterm executable and the package are the same bytes as
# the first build's. Usage: reproducible_test.sh DIST_DIR SOURCE_DIR MAINTAINER
set -euo pipefail
first="$1"
second="$1-again/in/another/folder"
sleep 1 # a second later, so that a time that leaks in shows
"$(dirname "$0")/distribution_build.sh" "$second" "$2" "$3"
status=0
compare() {
  cmp "$1" "$2" || { status=1; return; }
  echo "same bytes: $(sha256sum <"$1" | cut -c1-16) ${1##*/}"
}
compare "$first/src/build/serterm" "$second/src/build/serterm"
compare "$first"/serterm_*.deb "$second"/serterm_*.deb
rm -rf "$1-again"
exit "$status"
