#!/bin/bash
# The ticker's console run: "-debug" runs the same service in a real console
# driven by tmux. It starts, ticks, holds still while paused, ticks again
# after it continues, and stops on Ctrl+C, printing each change of state. Then
# the same walk with standard input a pipe, whose bytes ask for the controls.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
TICKER="$BIN/ticker.exe"
# A tick file of its own, given after the switch: the ticker's OnStart sees
# it after the service name, as it would see the -start parameters.
TICKS="$BIN/console-ticks.log"
qz_prefix

command -v tmux >/dev/null || { qz_fail "tmux is not installed"; qz_done; }
trap 'qz_tmux_end; qz_end; rm -f "$TICKS" "$BIN/console-in" "$BIN/console-out"' EXIT

ticks() { if [ -f "$TICKS" ]; then grep -c '^tick' "$TICKS"; else echo 0; fi; }
# await_ticks <at least>: polls the tick file; the bound only ends a failed run.
await_ticks() {
  local i
  for i in $(seq 300); do
    [ "$(ticks)" -ge "$1" ] && return 0
    sleep 0.1
  done
  qz_fail "never saw $1 ticks (saw $(ticks))"
}
# expect_held <what>: no tick is written for a second.
expect_held() {
  local before
  before="$(ticks)"
  sleep 1
  qz_expect_eq "$1" "$before" "$(ticks)"
}
# expect_numbered <what>: the ticks are numbered 1, 2, ... without a gap.
expect_numbered() {
  qz_expect_eq "$1" "" "$(sed 's/\r$//' "$TICKS" | awk '$0 != "tick " NR')"
}

WALK="Writes a tick line every 200 ms

Press Ctrl+C to stop, P to pause, C to continue.
state: 2 START_PENDING
state: 4 RUNNING
state: 6 PAUSE_PENDING
state: 7 PAUSED
state: 5 CONTINUE_PENDING
state: 4 RUNNING
state: 3 STOP_PENDING
state: 1 STOPPED"

rm -f "$TICKS"
qz_term new-session -d -s ticker -x 120 -y 40 \
  "wine '$TICKER' -debug console-ticks.log; echo \"exit code \$?\"; exec sleep 3600"
if qz_await ticker "state: 4 RUNNING"; then
  await_ticks 2
  qz_term send-keys -t ticker p
  qz_await ticker "state: 7 PAUSED"
  expect_held "a console run writes no tick while paused"
  paused="$(ticks)"
  qz_term send-keys -t ticker c
  qz_await ticker "state: 4 RUNNING" 2
  await_ticks $((paused + 2))
  qz_term send-keys -t ticker C-c
  qz_await ticker "exit code"
fi
qz_expect_eq "the console run's state lines, from start to Ctrl+C" "$WALK
exit code 0" "$(qz_screen ticker)"
expect_held "no tick after the stop"
expect_numbered "the console run's ticks go on after the pause"

# The same walk from a pipe: the writer keeps it open between the bytes.
rm -f "$TICKS" "$BIN/console-in"
mkfifo "$BIN/console-in"
timeout 120 wine "$TICKER" -debug console-ticks.log <"$BIN/console-in" >"$BIN/console-out" 2>/dev/null &
run=$!
exec 3>"$BIN/console-in"
await_ticks 2
printf p >&3
for i in $(seq 100); do grep -q "^state: 7" "$BIN/console-out" && break; sleep 0.1; done
expect_held "a piped console run writes no tick while paused"
paused="$(ticks)"
printf c >&3
await_ticks $((paused + 2))
printf '\003' >&3
wait "$run"
qz_expect_eq "the piped run ends with its exit code" 0 "$?"
exec 3>&-
qz_expect_eq "the piped run's state lines" "$WALK" "$(sed 's/\r$//' "$BIN/console-out")"
expect_numbered "the piped run's ticks go on after the pause"
rm -f "$BIN/console-out"

qz_done
