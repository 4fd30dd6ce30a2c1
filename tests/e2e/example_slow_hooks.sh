#!/bin/bash
# The ticker with slow hooks on Wine's SCM: controls sent while a hook runs
# are told their pending state at once and carried out in order, none lost;
# a stop taken during a slow pause is answered STOP_PENDING and runs after
# the pause; work that ends during a slow pause stops only after it. Read
# from the hook file the ticker writes and from the +service trace, in which
# no state but STOPPED ever follows STOP_PENDING.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
qz_cmd_begin

TICKER="$BIN/ticker.exe"
TICKS="$BIN/ticks.log"
CONTROLS="$BIN/controls.log"
HOOKS="$BIN/hooks.log"
TRACE="$QZ_TMP/trace"
qz_cleanup_service QzTicker
rm -f "$TICKS" "$CONTROLS" "$HOOKS"
qz_rt_traced_server "$TRACE"

qz_expect_run "install" "install service <QzTicker> success!
" "$TICKER" -install

# start_slow [modes...]: a fresh hook file and a running ticker.
start_slow() {
  rm -f "$HOOKS" "$CONTROLS"
  qz_expect_run "start $*" "start service <QzTicker> success!
" "$TICKER" -start "$@"
  qz_expect_state "running with $*" QzTicker 4
}

# The hook file with its line ends made plain.
hooks() { sed 's/\r$//' "$HOOKS" 2>/dev/null; }

# Every hook left before the next one entered.
expect_no_overlap() {
  local verdict
  verdict="$(hooks | awk '
    $1 == "enter" { if (inside != "") { print "overlap: " $2 " inside " inside; exit } inside = $2 }
    $1 == "leave" { if (inside != $2) { print "leave " $2 " outside it"; exit } inside = "" }
    END { if (inside != "") print "still inside " inside }')"
  qz_expect_eq "$1: hooks never overlap" "" "$verdict"
}

# The process ends by itself once the service has reported stopped.
expect_stopped_and_gone() {
  qz_expect_eq "$1: stopped" "state 1" "$(qz_rt_control wait QzTicker 1)"
  qz_expect_eq "$1: the ticker process ends" 0 "$(qz_rt_wait_processes ticker.exe 0 2>/dev/null)"
}

# A stop during a slow pause.
start_slow slowhooks
qz_expect_eq "a pause is answered with its pending state" "state 6" \
  "$(qz_rt_control control QzTicker 2)"
for i in $(seq 1 50); do hooks | grep -q "enter pause" && break; sleep 0.1; done
qz_expect_eq "a stop during the slow pause is answered STOP_PENDING" "state 3" \
  "$(qz_rt_control control QzTicker 1)"
# Wine's SCM refuses controls to a service that reports STOP_PENDING; had the
# stop not been reported, it would end the process instead.
qz_expect_eq "a continue after the stop is refused" "error 1061" \
  "$(qz_rt_control control QzTicker 3)"
expect_stopped_and_gone "stop during a slow pause"
qz_expect_eq "the stop hook ran after the pause" "enter pause
leave pause
enter stop
leave stop" "$(hooks)"

# User controls from two clients at once, against a 300 ms hook: each one
# the SCM took reaches OnControl exactly once, each client's in its order.
start_slow slowhooks
qz_rt_control burst QzTicker $(seq 200 219) >"$QZ_TMP/burst1" &
first=$!
qz_rt_control burst QzTicker $(seq 230 244) >"$QZ_TMP/burst2"
wait "$first"
taken="$(cat "$QZ_TMP/burst1" "$QZ_TMP/burst2" | awk '$2 == "state" { print $1 }' | sort -n)"
qz_expect_eq "all 35 user controls were taken" 35 "$(printf '%s\n' "$taken" | grep -c .)"
for i in $(seq 1 200); do
  n="$(wc -l <"$CONTROLS" 2>/dev/null)"
  [ "${n:-0}" -ge 35 ] && break
  sleep 0.1
done
noted="$(sed 's/\r$//' "$CONTROLS" 2>/dev/null | awk '{ print $2 }')"
qz_expect_eq "each taken control reached OnControl exactly once" "$taken" \
  "$(printf '%s\n' "$noted" | sort -n)"
qz_expect_eq "the first client's controls in its order" "$(seq 200 219)" \
  "$(printf '%s\n' "$noted" | awk '$1 < 230')"
qz_expect_eq "the second client's controls in their order" "$(seq 230 244)" \
  "$(printf '%s\n' "$noted" | awk '$1 >= 230')"
qz_expect_eq "all on the control thread" "" \
  "$(sed 's/\r$//' "$CONTROLS" | grep -v 'on the control thread$')"
qz_expect_eq "stop after the user controls" "state 3" "$(qz_rt_control control QzTicker 1)"
expect_stopped_and_gone "user controls"
expect_no_overlap "user controls"

# Pauses and continues from two clients against 2 s hooks: every one the SCM
# took is answered with its pending state and carried out.
start_slow slowhooks
qz_rt_control burst QzTicker 2 3 2 >"$QZ_TMP/pc1" &
first=$!
qz_rt_control burst QzTicker 3 2 3 >"$QZ_TMP/pc2"
wait "$first"
answers="$(cat "$QZ_TMP/pc1" "$QZ_TMP/pc2")"
qz_expect_eq "each pause and continue answered with its pending state" "" \
  "$(printf '%s\n' "$answers" | awk '!(($1 == 2 && $3 == 6) || ($1 == 3 && $3 == 5))')"
for i in $(seq 1 300); do
  [ "$(hooks | grep -c '^leave \(pause\|continue\)')" -ge 6 ] && break
  sleep 0.1
done
qz_expect_eq "all six carried out" 6 "$(hooks | grep -c '^leave \(pause\|continue\)')"
qz_expect_eq "stop after the pauses and continues" "state 3" "$(qz_rt_control control QzTicker 1)"
expect_stopped_and_gone "pauses and continues"
expect_no_overlap "pauses and continues"

# The work ends by itself as a slow pause begins: the shutdown waits for
# the pause, which ends without reporting PAUSED.
start_slow slowhooks endonpause
qz_expect_eq "the pause that ends the work" "state 6" "$(qz_rt_control control QzTicker 2)"
expect_stopped_and_gone "work ending during a slow pause"
qz_expect_eq "the shutdown ran after the pause" "enter pause
leave pause
enter shutdown
leave shutdown" "$(hooks)"
expect_no_overlap "work ending during a slow pause"

reports="$(qz_rt_reports "$TRACE" QzTicker)"
qz_expect_eq "four runs, each with one final STOPPED" 4 \
  "$(printf '%s\n' "$reports" | awk '$2 == "0x1"' | wc -l)"
qz_expect_eq "nothing but STOP_PENDING and STOPPED follows STOP_PENDING" "" \
  "$(printf '%s\n' "$reports" | awk '
    $2 == "0x2" { stopping = 0 }
    stopping && $2 != "0x3" && $2 != "0x1" { print NR ": " $0 }
    $2 == "0x3" { stopping = 1 }')"
qz_expect_eq "the last run never reported PAUSED" "" \
  "$(printf '%s\n' "$reports" | awk '$2 == "0x2" { run = "" } { run = run $2 " " } END { print run }' | grep -o 0x7)"

qz_expect_run "uninstall" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall
rm -f "$TICKS" "$CONTROLS" "$HOOKS"
qz_done
