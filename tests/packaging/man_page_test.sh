#!/usr/bin/env bash
# Checks the manual pages: mandoc finds nothing above style level in either,
# serterm's page has the sections a reader looks for, and serterm-sim's
# page describes every option its --help lists.
# Usage: man_page_test.sh SOURCE_DIR SERTERM_SIM
set -euo pipefail
man="$1/man"
sim="$2"

command -v mandoc >/dev/null ||
  { echo "mandoc is not installed; scripts/test installs it" >&2; exit 1; }
status=0
fail() { echo "$*" >&2; status=1; }
for page in "$man/serterm.1" "$man/serterm-sim.1"; do
  messages="$(mandoc -Tlint -W warning "$page" 2>&1)" || true
  [ -z "$messages" ] || fail "mandoc -Tlint reports on $page:"$'\n'"$messages"
done

text="$(MANWIDTH=80 mandoc -Tascii "$man/serterm.1" | col -b)"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "ESCAPE COMMANDS" \
  "DISPLAY MODES" "EXIT STATUS" SIGNALS EXAMPLES NOTES BUGS LICENSE \
  "SEE ALSO"; do
  grep -qx "$section" <<<"$text" || fail "missing section: $section"
done
for reference in "stty(1)" "termios(3)" "serterm-sim(1)"; do
  grep -qF "$reference" <<<"$text" || fail "missing reference: $reference"
done

# Each option --help lists stands as a tagged paragraph of its own.
sim_text="$(MANWIDTH=80 mandoc -Tascii "$man/serterm-sim.1" | col -b)"
options="$("$sim" --help | sed -n 's/^  \(--[a-z-]*\).*/\1/p')"
[ "$(wc -l <<<"$options")" -ge 6 ] ||
  fail "serterm-sim --help lists too few options: $options"
for option in $options; do
  grep -qE "^ {7}$option( |$)" <<<"$sim_text" ||
    fail "serterm-sim.1 does not describe $option"
done
exit "$status"
