# Sourced by the shell tests and scripts/demo: serterm-sim started on a
# link, waited for, and stopped again, and the bounded retry that waits.
# shellcheck shell=bash

# Runs `command` every 0.1 s until it succeeds, at most `tries` times.
retry() {
  local tries="$1"
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

sim_pid=""
# Starts the simulator SIM with `args` on the link LINK, its standard output
# dropped, and waits up to 20 s for the link. False if it did not come.
# Usage: start_simulator SIM LINK [args...]
start_simulator() {
  local sim="$1" link="$2"
  shift 2
  "$sim" --link "$link" "$@" >/dev/null &
  sim_pid=$!
  retry 200 test -L "$link"
}

# Stops the simulator started last, if any, and waits for it to end.
stop_simulator() {
  [ -z "$sim_pid" ] || { kill "$sim_pid" && wait "$sim_pid"; } 2>/dev/null || true
  sim_pid=""
}
