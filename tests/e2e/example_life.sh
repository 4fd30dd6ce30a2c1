#!/bin/bash
# The ticker example's life on Wine's SCM: its registration, ticks that stop
# while it is paused and go on after it continues, its own switch, a stop
# that ends its process, and its removal.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
qz_cmd_begin

TICKER="$BIN/ticker.exe"
TICKS="$BIN/ticks.log"
qz_cleanup_service QzTicker
rm -f "$TICKS"

ticks() { [ -f "$TICKS" ] && wc -l <"$TICKS" || echo 0; }
# wait_ticks <count>: polls for up to about 60 s until the file has that many.
wait_ticks() {
  local i
  for i in $(seq 1 300); do
    [ "$(ticks)" -ge "$1" ] && return 0
    sleep 0.2
  done
  return 1
}

qz_expect_run "help lists the switches with -ticks" "Writes a tick line every 200 ms

switch clause:
  -continue      continue service
  -debug         run console application
  -help          display help information
  -install       install service
  -pause         pause service
  -remove        uninstall service
  -start         start service
  -stop          stop service
  -ticks         print the number of ticks written
  -uninstall     uninstall service
  /?             display help information
  /service       run service application
" "$TICKER" -help

qz_expect_run "install" "install service <QzTicker> success!
" "$TICKER" -install
qz_expect_eq "registered command line names the tick file" \
  "$(qz_winpath "$TICKER") /service ticks.log" "$(qz_config QzTicker path)"
qz_expect_eq "started on demand" 3 "$(qz_config QzTicker start)"
qz_expect_eq "depends on PlugPlay" PlugPlay "$(qz_depends QzTicker DependOnService)"

qz_expect_run "start" "start service <QzTicker> success!
" "$TICKER" -start
qz_expect_state "running after start" QzTicker 4
wait_ticks 3 && qz_pass "ticks while running" || qz_fail "ticks while running: $(ticks)"

qz_expect_run "pause" "pause service <QzTicker> success!
" "$TICKER" -pause
qz_expect_state "paused after pause" QzTicker 7
paused=$(ticks)
# A tick already under way when the pause arrived may still land; a running
# ticker would add about ten in this window.
sleep 2
after=$(ticks)
[ "$after" -le $((paused + 1)) ] && qz_pass "no ticks while paused" ||
  qz_fail "no ticks while paused: $paused, then $after"

qz_expect_run "continue" "continue service <QzTicker> success!
" "$TICKER" -continue
qz_expect_state "running after continue" QzTicker 4
wait_ticks $((after + 3)) && qz_pass "ticks again after continue" ||
  qz_fail "ticks again after continue: $after, then $(ticks)"

qz_expect_run "stop" "stop service <QzTicker> success!
" "$TICKER" -stop
qz_expect_state "stopped after stop" QzTicker 1
qz_expect_eq "the ticker process ends after the stop" 0 "$(qz_rt_wait_processes ticker.exe 0 2>/dev/null)"
# Read once the process has ended, so the file no longer changes.
qz_expect_eq "ticks are numbered in order, without gaps" \
  "$(seq -f 'tick %g' 1 "$(ticks)")" "$(sed 's/\r$//' "$TICKS")"
qz_expect_run "-ticks counts the lines of the tick file" \
  "$(ticks) ticks in $(qz_winpath "$TICKS")
" "$TICKER" -ticks

qz_expect_run "uninstall" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall
qz_expect_eq "gone after uninstall" "" "$(qz_state QzTicker)"
rm -f "$TICKS"
qz_done
