#!/bin/bash
# The demo's life under Wine's SCM, read from the status reports its process
# sent: start, pause, continue, stop; interrogation; a start by hand.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"

NAME=TestSvc
TRACE="$QZ_BUILD_DIR/runtime_demo_life.trace"
qz_prefix
qz_cleanup_service "$NAME"
qz_rt_traced_server "$TRACE"

# Started by hand there is no SCM to connect to: nothing printed, status 0.
out="$(timeout 120 wine "$BIN/svcdemo.exe" /service 2>/dev/null </dev/null)"
qz_expect_eq "/service by hand exits with 0" 0 "$?"
qz_expect_eq "/service by hand prints nothing" "" "$out"

demo="$(winepath -w "$BIN/svcdemo.exe")"
wine sc delete "$NAME" >/dev/null 2>&1
wine sc create "$NAME" binpath= "$demo /service" >/dev/null 2>&1
qz_expect_eq "registered" "state 1" "$(qz_rt_control wait "$NAME" 1)"

wine sc start "$NAME" >/dev/null 2>&1
qz_expect_eq "running after start" "state 4" "$(qz_rt_control wait "$NAME" 4)"
qz_expect_eq "one demo process runs" 1 "$(qz_rt_pids svcdemo.exe | wc -l)"
qz_rt_control control "$NAME" 2 >/dev/null
qz_expect_eq "paused after pause" "state 7" "$(qz_rt_control wait "$NAME" 7)"
qz_rt_control control "$NAME" 3 >/dev/null
qz_expect_eq "running after continue" "state 4" "$(qz_rt_control wait "$NAME" 4)"
wine sc stop "$NAME" >/dev/null 2>&1
qz_expect_eq "stopped after stop" "state 1" "$(qz_rt_control wait "$NAME" 1)"
qz_expect_eq "the demo process ends after the stop" 0 "$(qz_rt_wait_processes svcdemo.exe 0)"

qz_expect_eq "the reports of one life" \
"0x10 0x2 0 0 0 0x1 0x1388
0x10 0x4 0x7 0 0 0 0x1388
0x10 0x6 0x7 0 0 0 0x1388
0x10 0x7 0x7 0 0 0 0x1388
0x10 0x5 0x7 0 0 0 0x1388
0x10 0x4 0x7 0 0 0 0x1388
0x10 0x3 0x7 0 0 0 0x1388
0x10 0x1 0x7 0 0 0 0x1388" "$(qz_rt_reports "$TRACE" "$NAME")"

# A second life in a new process, interrogated while running and paused.
wine sc start "$NAME" >/dev/null 2>&1
qz_expect_eq "running after the second start" "state 4" "$(qz_rt_control wait "$NAME" 4)"
qz_expect_eq "interrogate while running" "state 4" "$(qz_rt_control control "$NAME" 4)"
qz_rt_control control "$NAME" 2 >/dev/null
qz_expect_eq "paused again" "state 7" "$(qz_rt_control wait "$NAME" 7)"
qz_expect_eq "interrogate while paused" "state 7" "$(qz_rt_control control "$NAME" 4)"
qz_rt_control control "$NAME" 1 >/dev/null
qz_expect_eq "stopped from paused" "state 1" "$(qz_rt_control wait "$NAME" 1)"
qz_expect_eq "the second demo process ends" 0 "$(qz_rt_wait_processes svcdemo.exe 0)"

qz_expect_eq "the reports of the second life" \
"0x10 0x2 0 0 0 0x1 0x1388
0x10 0x4 0x7 0 0 0 0x1388
0x10 0x4 0x7 0 0 0 0x1388
0x10 0x6 0x7 0 0 0 0x1388
0x10 0x7 0x7 0 0 0 0x1388
0x10 0x7 0x7 0 0 0 0x1388
0x10 0x3 0x7 0 0 0 0x1388
0x10 0x1 0x7 0 0 0 0x1388" "$(qz_rt_reports "$TRACE" "$NAME" | tail -n +9)"

wine sc delete "$NAME" >/dev/null 2>&1
qz_done
