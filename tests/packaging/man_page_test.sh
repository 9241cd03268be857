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
for page in "$man/serterm.1" "$man/serterm-sim.1"; do
  messages="$(mandoc -Tlint -W warning "$page" 2>&1)" || true
  if [ -n "$messages" ]; then
    echo "mandoc -Tlint reports on $page:" >&2
    echo "$messages" >&2
    status=1
  fi
done

text="$(MANWIDTH=80 mandoc -Tascii "$man/serterm.1" | col -b)"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "ESCAPE COMMANDS" \
  "DISPLAY MODES" "EXIT STATUS" SIGNALS EXAMPLES NOTES BUGS LICENSE \
  "SEE ALSO"; do
  if ! grep -qx "$section" <<<"$text"; then
    echo "missing section: $section" >&2
    status=1
  fi
done
for reference in "stty(1)" "termios(3)" "serterm-sim(1)"; do
  if ! grep -qF "$reference" <<<"$text"; then
    echo "missing reference: $reference" >&2
    status=1
  fi
done

# Each option --help lists stands as a tagged paragraph of its own.
sim_text="$(MANWIDTH=80 mandoc -Tascii "$man/serterm-sim.1" | col -b)"
options="$("$sim" --help | sed -n 's/^  \(--[a-z-]*\).*/\1/p')"
[ "$(wc -l <<<"$options")" -ge 6 ] || {
  echo "serterm-sim --help lists too few options: $options" >&2
  status=1
}
for option in $options; do
  if ! grep -qE "^ {7}$option( |$)" <<<"$sim_text"; then
    echo "serterm-sim.1 does not describe $option" >&2
    status=1
  fi
done
exit "$status"
