#!/bin/bash
# The ticker example's life on Wine's SCM: its registration, ticks that stop
# while it is paused and go on after it continues, its own switch, a stop
# that ends its process, a refused start that the SCM keeps as a failure, a
# slow start with advancing check points, a slow stop during which the
# dispatcher still answers and a start waits, its status in each state, user
# controls that reach it on its control thread, and its removal.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
qz_cmd_begin

TICKER="$BIN/ticker.exe"
TICKS="$BIN/ticks.log"
CONTROLS="$BIN/controls.log"
qz_cleanup_service QzTicker
rm -f "$TICKS" "$CONTROLS" "$BIN"/ticker*.log

# expect_status <what> <state line> <process: zero|nonzero> <exit code line>
expect_status() {
  qz_run "$TICKER" -status
  local process
  process="$(printf '%s\n' "$OUT" | sed -n 's/^  process: //p')"
  case "$process" in
    0) [ "$3" = zero ] || process="0 (expected non-zero)" ;;
    [1-9]*) [ "$3" = nonzero ] || process="$process (expected 0)" ;;
  esac
  qz_expect_eq "$1" "status service <QzTicker> success!
  state: $2
  process: $process
  exit code: $4
" "$OUT"
  case "$process" in *expected*) qz_fail "$1: process id $process" ;; esac
}


qz_expect_run "help lists the switches with -ticks" "Writes a tick line every 200 ms

switch clause:
  -continue      continue service
  -control       send a user-defined control (128-255)
  -debug         run console application
  -help          display help information
  -install       install service
  -pause         pause service
  -remove        uninstall service
  -start         start service
  -status        show service status
  -stop          stop service
  -ticks         print the number of ticks written
  -uninstall     uninstall service
  /?             display help information
  /service       run service application
" "$TICKER" -help

qz_expect_run "status of a service not installed" "$(qz_failure_line status QzTicker 1060)
" "$TICKER" -status
# Refused before the SCM is asked: it would have answered 1060.
for code in 127 256 0x80; do
  qz_expect_run "control $code is refused with 87" "$(qz_failure_line control QzTicker 87)
" "$TICKER" -control $code
done

qz_expect_run "install" "install service <QzTicker> success!
" "$TICKER" -install
qz_expect_eq "registered command line names the tick file" \
  "$(qz_winpath "$TICKER") /service ticks.log" "$(qz_config QzTicker path)"
qz_expect_eq "started on demand" 3 "$(qz_config QzTicker start)"
qz_expect_eq "depends on PlugPlay" PlugPlay "$(qz_depends QzTicker DependOnService)"

qz_expect_command "$TICKER" QzTicker start 4
qz_wait_ticks 3 && qz_pass "ticks while running" || qz_fail "ticks while running: $(qz_ticks)"
expect_status "status while running" "4 RUNNING" nonzero "0, service-specific 0"
qz_expect_run "user control 200" "control service <QzTicker> success!
" "$TICKER" -control 200
qz_expect_run "user control 128" "control service <QzTicker> success!
" "$TICKER" -control 128
for i in $(seq 1 50); do [ "$(wc -l <"$CONTROLS" 2>/dev/null)" = 2 ] && break; sleep 0.1; done
qz_expect_eq "user controls reach OnControl on the control thread, in order" \
  "control 200 on the control thread
control 128 on the control thread" "$(sed 's/\r$//' "$CONTROLS" 2>/dev/null)"

qz_expect_command "$TICKER" QzTicker pause 7
expect_status "status while paused" "7 PAUSED" nonzero "0, service-specific 0"
paused=$(qz_ticks)
# A tick already under way when the pause arrived may still land; a running
# ticker would add about ten in this window.
sleep 2
after=$(qz_ticks)
[ "$after" -le $((paused + 1)) ] && qz_pass "no ticks while paused" ||
  qz_fail "no ticks while paused: $paused, then $after"

qz_expect_command "$TICKER" QzTicker continue 4
qz_wait_ticks $((after + 3)) && qz_pass "ticks again after continue" ||
  qz_fail "ticks again after continue: $after, then $(qz_ticks)"

qz_expect_command "$TICKER" QzTicker stop 1
qz_expect_eq "the ticker process ends after the stop" 0 "$(qz_rt_wait_processes ticker.exe 0 2>/dev/null)"
expect_status "status when stopped" "1 STOPPED" zero "0, service-specific 0"
qz_expect_run "a user control to a stopped service fails with 1062" \
  "$(qz_failure_line control QzTicker 1062)
" "$TICKER" -control 200
# Read once the process has ended, so the file no longer changes.
qz_expect_eq "ticks are numbered in order, without gaps" \
  "$(seq -f 'tick %g' 1 "$(qz_ticks)")" "$(sed 's/\r$//' "$TICKS")"
qz_expect_run "-ticks counts the lines of the tick file" \
  "$(qz_ticks) ticks in $(qz_winpath "$TICKS")
" "$TICKER" -ticks

# A refused start is a failure, with the service's own exit code.
qz_expect_run "a refused start fails with 1066" "$(qz_failure_line start QzTicker 1066)
" "$TICKER" -start refuse
query="$(wine sc query QzTicker </dev/null 2>/dev/null | tr -d '\r')"
qz_expect_eq "sc query: WIN32_EXIT_CODE 1066" 1066 \
  "$(printf '%s\n' "$query" | awk -F: '/WIN32_EXIT_CODE/ { split($2, v, " "); print v[1] }')"
qz_expect_eq "sc query: the service-specific exit code" 3 \
  "$(printf '%s\n' "$query" | awk -F: '/SERVICE_EXIT_CODE/ { split($2, v, " "); print v[1] }')"
expect_status "status after the refused start" "1 STOPPED" zero "1066, service-specific 3"

# A start of 3 s: the command waits for it, and the reports advance the
# check point with the 1 s hint of each progress call.
qz_rt_traced_server "$QZ_TMP/trace"
qz_expect_run "a slow start succeeds once running" "start service <QzTicker> success!
" "$TICKER" -start slow
qz_expect_state "running after the slow start" QzTicker 4
pending="$(qz_rt_reports "$QZ_TMP/trace" QzTicker | awk '$2 == "0x2" { print $6, $7 }' | tr '\n' ' ')"
qz_expect_eq "start-pending check points 1 to 7, then the progress hint" \
  "0x1 0x1388 0x2 0x3e8 0x3 0x3e8 0x4 0x3e8 0x5 0x3e8 0x6 0x3e8 0x7 0x3e8 " "$pending"
qz_expect_run "stop after the slow start" "stop service <QzTicker> success!
" "$TICKER" -stop

# A stop of 3 s: the control returns at once and the stop goes on with its
# progress reports; a start sent during the stop waits for it, then starts
# the service again. (The SCM refuses other controls while a service is
# stopping, so the free dispatcher itself is shown by the unit tests.)
qz_expect_run "start for a slow stop" "start service <QzTicker> success!
" "$TICKER" -start slowstop
wine "$TICKER" -stop >"$QZ_TMP/slowstop" 2>/dev/null </dev/null &
stopper=$!
qz_expect_eq "stopping" "state 3" "$(qz_rt_control wait QzTicker 3)"
qz_expect_run "a start during the stop waits, then starts" "start service <QzTicker> success!
" "$TICKER" -start
wait "$stopper"
stopping="$(qz_rt_reports "$QZ_TMP/trace" QzTicker | awk '$2 == "0x3" || $2 == "0x1" { print $2, $6, $7 }' | tr '\n' ' ')"
qz_expect_eq "the slow stop's progress, then stopped, for each of the two stops" \
  "0x3 0 0x1388 0x1 0 0x1388 0x3 0 0x1388 0x3 0x2 0x3e8 0x3 0x3 0x3e8 0x3 0x4 0x3e8 0x3 0x5 0x3e8 0x3 0x6 0x3e8 0x3 0x7 0x3e8 0x1 0 0x1388 " "$stopping"
qz_expect_state "running again" QzTicker 4
qz_expect_run "final stop" "stop service <QzTicker> success!
" "$TICKER" -stop

qz_expect_run "uninstall" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall
qz_expect_eq "gone after uninstall" "" "$(qz_state QzTicker)"
rm -f "$TICKS" "$CONTROLS" "$BIN"/ticker*.log
qz_done
