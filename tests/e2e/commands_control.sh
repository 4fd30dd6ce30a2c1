#!/bin/bash
# Starting, pausing, continuing and stopping a service on the real SCM, the
# arguments that reach its OnStart, and switches without a handler.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
qz_cmd_begin

REC="$BIN/cmdsvc_record.exe"
ARGS="$BIN/QzCmdRecord.args"
qz_cleanup_service QzCmdRecord
rm -f "$ARGS"

qz_expect_run "install" "install service <QzCmdRecord> success!
" "$REC" -install

qz_expect_run "-start a b" "start service <QzCmdRecord> success!
" "$REC" -start a b
qz_expect_state "running after -start" QzCmdRecord 4
# The service main routine receives the service name first.
qz_expect_eq "OnStart received exactly a and b" "QzCmdRecord
a
b" "$(cat "$ARGS" 2>/dev/null)"
qz_expect_run "-start on a running service still succeeds" \
  "start service <QzCmdRecord> success!
" "$REC" -start

qz_expect_command "$REC" QzCmdRecord pause 7
qz_expect_command "$REC" QzCmdRecord continue 4
qz_expect_command "$REC" QzCmdRecord stop 1

qz_expect_run "-stop on a stopped service fails with 1062" \
  "$(qz_failure_line stop QzCmdRecord 1062)
" "$REC" -stop
qz_expect_run "-pause on a stopped service fails with 1062" \
  "$(qz_failure_line pause QzCmdRecord 1062)
" "$REC" -pause

rm -f "$ARGS"
qz_expect_run "-start alone" "start service <QzCmdRecord> success!
" "$REC" -START
qz_expect_state "running after -start alone" QzCmdRecord 4
qz_expect_eq "OnStart received no arguments after the name" "QzCmdRecord" \
  "$(cat "$ARGS" 2>/dev/null)"
qz_expect_run "-stop again" "stop service <QzCmdRecord> success!
" "$REC" -Stop
qz_expect_state "stopped again" QzCmdRecord 1

qz_expect_run "uninstall" "uninstall service <QzCmdRecord> success!
" "$REC" -uninstall
for verb in stop pause continue start uninstall; do
  qz_expect_run "-$verb after removal fails with 1060" \
    "$(qz_failure_line "$verb" QzCmdRecord 1060)
" "$REC" "-$verb"
done

# --- switches of their own without OnUser
qz_expect_run "code 9 without a description" "Records its start arguments
switch <-nine> error: user-defined switch(9) callback <OnUser> is NULL.
" "$REC" -nine
qz_expect_run "code 10 with its description, the switch as typed" \
  "Records its start arguments
switch <-TEN> error: tenth switch callback <OnUser> is NULL.
" "$REC" -TEN

qz_done
