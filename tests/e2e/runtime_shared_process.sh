#!/bin/bash
# Two services of one executable registered as sharing a process. Wine 8's
# SCM starts a process of its own for each of them (each process serves the
# one service it was started for); an SCM that shares the process starts the
# second service in the first one. Both shapes are checked for what they
# must show: the shared type in every report, each life complete, and no
# process left once both services have stopped.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"

A=QzRtShareA
B=QzRtShareB
EXE=runtime_shared.exe
TRACE="$QZ_BUILD_DIR/runtime_shared_process.trace"
qz_prefix
qz_cleanup_service "$A"
qz_cleanup_service "$B"
qz_rt_traced_server "$TRACE"

path="$(winepath -w "$BIN/$EXE")"
for s in "$A" "$B"; do
  wine sc delete "$s" >/dev/null 2>&1
  wine sc create "$s" type= share binpath= "$path" >/dev/null 2>&1
  qz_expect_eq "$s registered" "state 1" "$(qz_rt_control wait "$s" 1)"
done

wine sc start "$A" >/dev/null 2>&1
qz_expect_eq "$A running" "state 4" "$(qz_rt_control wait "$A" 4)"
wine sc start "$B" >/dev/null 2>&1
qz_expect_eq "$B running" "state 4" "$(qz_rt_control wait "$B" 4)"
both=$(qz_rt_pids "$EXE" | wc -l)
case "$both" in
  1) echo "note: the SCM runs both services in one process" ;;
  2) echo "note: the SCM runs each service in a process of its own" ;;
  *) qz_fail "one or two processes serve the two services, not $both" ;;
esac

qz_rt_control control "$B" 2 >/dev/null
qz_expect_eq "$B paused" "state 7" "$(qz_rt_control wait "$B" 7)"
qz_expect_eq "$A still running while $B is paused" "state 4" "$(qz_rt_control wait "$A" 4)"
qz_rt_control control "$A" 1 >/dev/null
qz_expect_eq "$A stopped" "state 1" "$(qz_rt_control wait "$A" 1)"
qz_expect_eq "$B still paused after $A stopped" "state 7" "$(qz_rt_control control "$B" 4)"
qz_expect_eq "one process serves $B" 1 "$(qz_rt_wait_processes "$EXE" 1)"
qz_rt_control control "$B" 3 >/dev/null
qz_expect_eq "$B running again" "state 4" "$(qz_rt_control wait "$B" 4)"
qz_rt_control control "$B" 1 >/dev/null
qz_expect_eq "$B stopped" "state 1" "$(qz_rt_control wait "$B" 1)"
qz_expect_eq "no process is left" 0 "$(qz_rt_wait_processes "$EXE" 0)"

qz_expect_eq "the reports of $A" \
"0x20 0x2 0 0 0 0x1 0x1388
0x20 0x4 0x7 0 0 0 0x1388
0x20 0x3 0x7 0 0 0 0x1388
0x20 0x1 0x7 0 0 0 0x1388" "$(qz_rt_reports "$TRACE" "$A")"
qz_expect_eq "the reports of $B" \
"0x20 0x2 0 0 0 0x1 0x1388
0x20 0x4 0x7 0 0 0 0x1388
0x20 0x6 0x7 0 0 0 0x1388
0x20 0x7 0x7 0 0 0 0x1388
0x20 0x7 0x7 0 0 0 0x1388
0x20 0x5 0x7 0 0 0 0x1388
0x20 0x4 0x7 0 0 0 0x1388
0x20 0x3 0x7 0 0 0 0x1388
0x20 0x1 0x7 0 0 0 0x1388" "$(qz_rt_reports "$TRACE" "$B")"

wine sc delete "$A" >/dev/null 2>&1
wine sc delete "$B" >/dev/null 2>&1
qz_done
