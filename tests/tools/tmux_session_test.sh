#!/usr/bin/env bash
# serterm used the way a person uses it, through a real terminal emulator:
# a shell in a tmux pane runs serterm on the simulated modem; keys typed
# with send-keys, the screen read with capture-pane. Every wait is bounded.
# `scripts/demo --check` runs this script on the programs the demo built.
# Usage: tmux_session_test.sh SERTERM SERTERM_SIM
set -euo pipefail
serterm="$1"
sim="$2"

command -v tmux >/dev/null ||
  { echo "tmux is not installed; scripts/test installs it" >&2; exit 1; }

# shellcheck source=tests/tools/simulator.sh
source "$(dirname "$0")/simulator.sh"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/serterm-tmux-test.XXXXXX")"
socket="$scratch/tmux.sock"
cleanup() {
  tmux -S "$socket" kill-server 2>/dev/null || true
  stop_simulator
  rm -rf "$scratch"
}
trap cleanup EXIT

tmux_() { tmux -S "$socket" "$@"; }
screen() { tmux_ capture-pane -p -S - -E -; }
screen_cleared() { ! tmux_ capture-pane -p | grep -q "exit status"; }
fail() {
  echo "FAIL: $1" >&2
  echo "--- screen ---" >&2
  screen >&2 || true
  exit 1
}

# Waits up to 20 s until `text` shows on the screen at least `count` times:
# anywhere in a line with wait_for, as a whole line with wait_for_line ("OK"
# must not be found inside a path).
wait_for() { wait_screen -cF "$@"; }
wait_for_line() { wait_screen -cxF "$@"; }
wait_screen() {
  local flags="$1" text="$2" count="${3:-1}"
  retry 200 shows "$flags" "$text" "$count" ||
    fail "\"$text\" not shown $count time(s)"
}
shows() { [ "$(screen | grep "$1" -- "$2" || true)" -ge "$3" ]; }

wait_for_file() { retry 200 test -s "$1" || fail "no $1"; }

# serterm prints nothing when it starts: its keyboard turning raw (no
# canonical input) says it is relaying.
wait_until_relaying() {
  retry 200 keyboard_raw || fail "serterm did not start relaying"
}
keyboard_raw() { stty -F "$pane_tty" -a 2>/dev/null | grep -q -- '-icanon'; }

modem="$scratch/modem"

# The escape character, a pause longer than the 0.1 s flush timeout, then
# waits for the prompt to show for the `count`th time.
open_prompt() {
  tmux_ send-keys C-]
  sleep 0.5
  wait_for "serterm>" "${1:-1}"
}

start_simulator "$sim" "$modem" || fail "the simulator did not start"

bin_dir="$(cd "$(dirname "$serterm")" && pwd)"
tmux_ new-session -d -x 100 -y 40 \
  "env PATH='$bin_dir':\"\$PATH\" PS1='$ ' bash --norc --noprofile"
pane_tty="$(tmux_ display -p '#{pane_tty}')"

tmux_ send-keys "stty -g > '$scratch/before'" Enter
wait_for_file "$scratch/before"

tmux_ send-keys "$(basename "$serterm") '$modem'" Enter
wait_until_relaying

tmux_ send-keys AT Enter
wait_for_line OK

# The help command at the prompt.
open_prompt
tmux_ send-keys "?" Enter
for line in "q: quit" "v: show modem status" "d: toggle hexdump mode" \
  "h: toggle half-duplex mode" "r: toggle map CR->CR/LF mode" \
  "x [string]: send hex data, 'x 41 54 5a 0d 0a' is equivalent to 'ATZ\\r\\n'"; do
  wait_for "$line"
done

# Back to relaying after the prompt.
wait_until_relaying
tmux_ send-keys ATI Enter
wait_for "serterm-sim Hayes-style modem"
wait_for_line OK 2

# Dialled, the modem echoes every byte: what is typed comes back.
tmux_ send-keys ATD5551234 Enter
wait_for "CONNECT 9600"
tmux_ send-keys "hello, modem"
wait_for "hello, modem"

open_prompt 2
tmux_ send-keys q Enter
tmux_ send-keys "echo \"exit status \$?\"; stty -g > '$scratch/after'" Enter
wait_for_file "$scratch/after"
wait_for "exit status 0"
if ! cmp -s "$scratch/before" "$scratch/after"; then
  fail "terminal settings changed: $(cat "$scratch/before") -> $(cat "$scratch/after")"
fi

# A device that ends its lines with a lone CR, shown with -r1; bytes sent
# with the x command. Without the mapping the modem's CR would put OK over
# the echoed command, and the line "ATZ" would not stay on the screen.
stop_simulator
start_simulator "$sim" "$modem" --cr-only || fail "the simulator did not start"
tmux_ send-keys "clear" Enter
# Clear the history only once the shell has cleared the screen, or the old
# screen, OK and all, lands in the history after it.
retry 100 screen_cleared || true
tmux_ clear-history
tmux_ send-keys "$(basename "$serterm") -r1 '$modem'" Enter
wait_until_relaying
tmux_ send-keys ATZ Enter
wait_for_line OK
screen | grep -qx "ATZ" || fail "the echoed ATZ did not keep its line"
open_prompt
tmux_ send-keys "x 41 54 49 0d" Enter
wait_for "serterm-sim Hayes-style modem"
wait_for_line OK 2
open_prompt 2
tmux_ send-keys q Enter
tmux_ send-keys "echo \"second exit status \$?\"" Enter
wait_for "second exit status 0"

echo "serterm in tmux: OK, help, relay after the prompt, dialled and echoed," \
  "quit with status 0, stty -g unchanged, CR mapping, x command"
