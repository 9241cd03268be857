#!/usr/bin/env bash
# Drives the bash completion of serterm and serterm-sim as bash calls it
# (COMP_WORDS, COMP_CWORD, the completion function) and checks the words
# offered. Usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
# compopt works only under readline's completion; here it records its
# arguments instead.
compopt() { compopt_args+="$* "; }
# shellcheck source=/dev/null
source "$1"

status=0
fail() { echo "FAIL: $*" >&2; status=1; }
# Completes the words given (the last one is being typed) and compares the
# offered words, sorted, with the expected ones, and with compopt_wanted
# set, what the function asked of compopt. With ptys_vary set, numbered
# pseudo-terminals are left out of both: tests running beside this one
# open and close them between the glob and the completion.
offers() {
  local expected="$1"
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  compopt_args=""
  "$(complete -p "$1" | sed 's/.*-F \([^ ]*\).*/\1/')"
  local got
  local drop='/^$/d'
  [ -z "${ptys_vary:-}" ] || drop='/^$/d; \|^/dev/pts/[0-9]|d'
  got="$(printf '%s\n' "${COMPREPLY[@]}" | sed "$drop" | sort | tr '\n' ' ')"
  expected="$(tr ' ' '\n' <<<"$expected" | sed "$drop" | sort | tr '\n' ' ')"
  [ "$got" = "$expected" ] || fail "$* -> '$got', expected '$expected'"
  [ "$compopt_args" = "${compopt_wanted-$compopt_args}" ] ||
    fail "$* asked compopt for '$compopt_args', not '$compopt_wanted'"
}

offers "-1200 -2400 -4800 -9600 -19200 -38400 -57600 -115200
  -d1 -d0 -h1 -h0 -r1 -r0 -t -e" serterm -
offers "-1200 -19200 -115200" serterm -d1 -1
offers "" serterm -t ""
offers "" serterm -h1 -t 5
# -e takes its character in the same word: no space after it.
compopt_wanted="-o nospace " offers "-e" serterm -e
offers "" serterm /dev/ttyS0 ""

# A device word: the serial devices that exist and the files here. An open
# /dev/ptmx makes sure a pseudo-terminal exists.
scratch="$(mktemp -d "${TMPDIR:-/tmp}/serterm-completion.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
exec 3<>/dev/ptmx
cd "$scratch" && : >notes.txt && mkdir logs
shopt -s nullglob
devices="$(printf '%s ' /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* \
  /dev/serial/by-id/* /dev/pts/*)"
shopt -u nullglob
grep -q '/dev/pts/[0-9]' <<<"$devices" ||
  fail "no pseudo-terminal under /dev/pts to offer"
ptys_vary=1 offers "$devices logs notes.txt" serterm -115200 ""
grep -q '/dev/pts/[0-9]' <<<"${COMPREPLY[*]}" ||
  fail "no pseudo-terminal offered: '${COMPREPLY[*]}'"
# Paths are completed as file names.
compopt_wanted="-o filenames " offers "notes.txt" serterm -t 500 no

offers "--link --loopback --stream --cr-only --timeout --help" serterm-sim --
offers "--loopback" serterm-sim --stream 10 --lo
offers "" serterm-sim --timeout ""
offers "logs notes.txt" serterm-sim --link ""
exit "$status"
