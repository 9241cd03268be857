#!/usr/bin/env bash
# Checks the manual page: mandoc finds nothing above style level, and the
# page has the sections a reader looks for.
# Usage: man_page_test.sh MANUAL_PAGE
set -euo pipefail
page="$1"

if ! command -v mandoc >/dev/null; then
  echo "mandoc is not installed (Debian package mandoc); scripts/test installs it" >&2
  exit 1
fi
messages="$(mandoc -Tlint -W warning "$page" 2>&1)" || true
if [ -n "$messages" ]; then
  echo "mandoc -Tlint reports:" >&2
  echo "$messages" >&2
  exit 1
fi

text="$(MANWIDTH=80 mandoc -Tascii "$page" | col -b)"
status=0
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "ESCAPE COMMANDS" \
  "DISPLAY MODES" "EXIT STATUS" SIGNALS EXAMPLES NOTES BUGS "SEE ALSO"; do
  if ! grep -qx "$section" <<<"$text"; then
    echo "missing section: $section" >&2
    status=1
  fi
done
for reference in "stty(1)" "termios(3)"; do
  if ! grep -qF "$reference" <<<"$text"; then
    echo "missing reference: $reference" >&2
    status=1
  fi
done
exit "$status"
