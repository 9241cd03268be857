#!/usr/bin/env bash
# Runs lintian on the package made with a real maintainer, which must give
# no error and no warning, and on the one with the placeholder maintainer,
# where only the placeholder's unroutable address may be reported.
# Usage: lintian_test.sh DIST_DIR (as distribution_build.sh left it)
set -euo pipefail
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
# Fails unless lintian runs on `deb` and reports no error or warning but
# those whose tags `allowed` (an extended regular expression) matches.
check() {
  local deb="$1" allowed="$2" output report
  output="$(lintian --fail-on none "$deb" 2>&1)" ||
    { fail "lintian did not run on $deb: $output"; return; }
  report="$(grep -E '^[EW]: ' <<<"$output" |
    grep -vE "^E: serterm: ($allowed) " || true)"
  [ -z "$report" ] || fail "lintian on $deb:"$'\n'"$report"
}
shopt -s nullglob
debs=("$1"/serterm_*.deb "$1"/placeholder/serterm_*.deb)
[ ${#debs[@]} -eq 2 ] || { echo "FAIL: found ${#debs[@]} packages in $1" >&2; exit 1; }
check "${debs[0]}" '-'
check "${debs[1]}" 'bogus-mail-host|bogus-mail-host-in-debian-changelog'
exit "$status"
