#!/bin/bash
# Installing and removing services on the real SCM: the registration read
# back, repeated installs, quoted folders, extra parameters, the bare name,
# dependencies, and removal of what is not there.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
qz_cmd_begin

DEMO="$BIN/svcdemo.exe"
qz_cleanup_service TestSvc
qz_cleanup_service QzCmdRecord
qz_cleanup_service QzCmdParams
qz_cleanup_service QzCmdBare
qz_cleanup_service QzCmdExtra

# The failure lines below are compared with the machine's own texts.
for code in 1060 1073; do
  if [ -n "$(qz_errtext $code)" ]; then qz_pass "system text for $code"; else
    qz_fail "no system text for $code"; fi
done

# --- the demo's registration
qz_expect_run "install prints success" "install service <TestSvc> success!
" "$DEMO" -install
qz_expect_eq "path is the full file name and the switch" \
  "$(qz_winpath "$DEMO") /service" "$(qz_config TestSvc path)"
qz_expect_eq "display name" "Service demo" "$(qz_config TestSvc display)"
qz_expect_eq "description" "Test TQZSvcApp demo" "$(qz_config TestSvc description)"
qz_expect_eq "start type" 2 "$(qz_config TestSvc start)"
qz_expect_eq "service type" 0x10 "$(qz_config TestSvc type)"
qz_expect_eq "error control" 1 "$(qz_config TestSvc errorcontrol)"
qz_expect_eq "no service dependencies" "" "$(qz_depends TestSvc DependOnService)"
qz_expect_eq "no group dependencies" "" "$(qz_depends TestSvc DependOnGroup)"
qz_expect_eq "no load order group" "" "$(qz_config TestSvc group)"

qz_expect_run "installing again fails with the SCM's code for an existing service" \
  "$(qz_failure_line install TestSvc 1073)
" "$DEMO" -install
qz_expect_eq "the failed install leaves the registration" \
  "Service demo" "$(qz_config TestSvc display)"

qz_expect_run "uninstall prints success" "uninstall service <TestSvc> success!
" "$DEMO" -uninstall
qz_expect_eq "the service is gone" "error=1060" \
  "$(wine "$BIN/cmdprobe.exe" config TestSvc </dev/null | sed 's/\r$//')"
qz_expect_run "uninstall of a missing service fails with 1060" \
  "$(qz_failure_line uninstall TestSvc 1060)
" "$DEMO" -uninstall

qz_expect_run "install after removal" "install service <TestSvc> success!
" "$DEMO" -Install
qz_expect_run "-remove prints the uninstall success line" \
  "uninstall service <TestSvc> success!
" "$DEMO" -remove
qz_expect_run "-remove of a missing service fails with 1060" \
  "$(qz_failure_line uninstall TestSvc 1060)
" "$DEMO" -REMOVE
for verb in stop pause continue start; do
  qz_expect_run "-$verb of a missing service fails with 1060" \
    "$(qz_failure_line "$verb" TestSvc 1060)
" "$DEMO" "-$verb"
done

# --- extra parameters after the switch
qz_expect_run "install with parameters" "install service <QzCmdParams> success!
" "$BIN/cmdsvc_params.exe" -install
qz_expect_eq "parameters follow the switch after one blank" \
  "$(qz_winpath "$BIN/cmdsvc_params.exe") /service --level 3 x" \
  "$(qz_config QzCmdParams path)"
qz_expect_eq "the program's own start type" 3 "$(qz_config QzCmdParams start)"
qz_expect_run "a service registered with parameters starts" \
  "start service <QzCmdParams> success!
" "$BIN/cmdsvc_params.exe" -start
qz_expect_state "the parameter service runs" QzCmdParams 4
qz_expect_run "and stops" "stop service <QzCmdParams> success!
" "$BIN/cmdsvc_params.exe" -stop
qz_expect_state "the parameter service stopped" QzCmdParams 1
qz_run "$BIN/cmdsvc_params.exe" -uninstall

# --- no code-2 switch in the table: the bare file name
qz_expect_run "install without a service switch" "install service <QzCmdBare> success!
" "$BIN/cmdsvc_bare.exe" -install
qz_expect_eq "the bare file name is registered" \
  "$(qz_winpath "$BIN/cmdsvc_bare.exe")" "$(qz_config QzCmdBare path)"
qz_run "$BIN/cmdsvc_bare.exe" -uninstall

# --- a folder whose name holds a blank
BLANK="$QZ_TMP/with blank"
mkdir -p "$BLANK"
cp "$BIN/cmdsvc_record.exe" "$BIN/cmdsvc_bare.exe" "$BLANK/"
qz_expect_run "install from a folder with a blank" \
  "install service <QzCmdRecord> success!
" "$BLANK/cmdsvc_record.exe" -install
qz_expect_eq "the file name is quoted, then the switch" \
  "\"$(qz_winpath "$BLANK/cmdsvc_record.exe")\" /service" \
  "$(qz_config QzCmdRecord path)"
qz_expect_run "the quoted service starts" "start service <QzCmdRecord> success!
" "$BLANK/cmdsvc_record.exe" -start
qz_expect_state "the quoted service runs" QzCmdRecord 4
qz_expect_eq "it ran from the folder with the blank" "QzCmdRecord" \
  "$(cat "$BLANK/QzCmdRecord.args" 2>/dev/null)"
qz_expect_run "the quoted service stops" "stop service <QzCmdRecord> success!
" "$BLANK/cmdsvc_record.exe" -stop
qz_expect_state "the quoted service stopped" QzCmdRecord 1
qz_run "$BLANK/cmdsvc_record.exe" -uninstall

qz_expect_run "install bare from a folder with a blank" \
  "install service <QzCmdBare> success!
" "$BLANK/cmdsvc_bare.exe" -install
qz_expect_eq "the bare name is quoted" \
  "\"$(qz_winpath "$BLANK/cmdsvc_bare.exe")\"" "$(qz_config QzCmdBare path)"
qz_expect_run "a service started without a switch runs as a service" \
  "start service <QzCmdBare> success!
" "$BLANK/cmdsvc_bare.exe" -start
qz_expect_state "the bare service runs" QzCmdBare 4
qz_expect_run "the bare service stops" "stop service <QzCmdBare> success!
" "$BLANK/cmdsvc_bare.exe" -stop
qz_expect_state "the bare service stopped" QzCmdBare 1
qz_run "$BLANK/cmdsvc_bare.exe" -uninstall

# --- dependencies, and texts that look like formats
export QZ_CMD_DEPENDENCIES="QzCmdRecord +QzCmdGroup"
qz_expect_run "install with dependencies" "install service <QzCmdExtra> success!
" "$BIN/cmdsvc_extra.exe" -install
# The list is sorted, so the group comes first; its "+" makes the SCM store
# it as a group. The service after it arrives too, and nothing else.
qz_expect_eq "a group entry reaches the SCM with its +" \
  "QzCmdGroup" "$(qz_depends QzCmdExtra DependOnGroupAll)"
qz_expect_eq "the service entry after the group reaches the SCM" \
  "QzCmdRecord" "$(qz_depends QzCmdExtra DependOnServiceAll)"
qz_expect_eq "the stored service list is that one name: 26 bytes" \
  26 "$(qz_depends QzCmdExtra DependOnServiceSize)"
qz_expect_eq "a display name with % is registered as it is" \
  "Display %s %d %n" "$(qz_config QzCmdExtra display)"
qz_expect_eq "a description with % is registered as it is" \
  "Description %s%n%x" "$(qz_config QzCmdExtra description)"
qz_expect_run "uninstall with dependencies" "uninstall service <QzCmdExtra> success!
" "$BIN/cmdsvc_extra.exe" -uninstall
export QZ_CMD_DEPENDENCIES="QzCmdRecord"
qz_expect_run "install with a service dependency" "install service <QzCmdExtra> success!
" "$BIN/cmdsvc_extra.exe" -install
unset QZ_CMD_DEPENDENCIES
qz_expect_eq "a service entry reaches the SCM unchanged" \
  "QzCmdRecord" "$(qz_depends QzCmdExtra DependOnService)"
qz_expect_eq "and is not taken for a group" "" "$(qz_depends QzCmdExtra DependOnGroup)"
qz_run "$BIN/cmdsvc_extra.exe" -uninstall

qz_done
