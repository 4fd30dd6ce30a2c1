#!/bin/bash
# qzhost's configuration on Wine's SCM: a file with errors refused by -check
# and -install with a line naming the file, the key and the problem, and no
# service left; a file broken after the install refused at start with 1066,
# an event record and a log line; the host renamed in a folder whose name,
# like its own, has non-ASCII characters.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/host_lib.sh"
qz_cmd_begin

NAME=QzHostCfg
UNI_NAME=QzHostUni
qz_cleanup_service $NAME
qz_cleanup_service $UNI_NAME
UNI_ROOT="$WINEPREFIX/drive_c/Dienste"
trap 'qz_end; rm -rf "$QZ_TMP" "$UNI_ROOT"' EXIT

qz_host_setup "$QZ_TMP/cfg" cfghost
W="$(qz_winpath "$HOST_DIR")"
GOOD="[service]
name = $NAME
start-type = demand
[program]
executable = hostprog.exe
arguments = --out started"

# refused <what> <problem> [name]: -check and -install fail with the
# problem's line and exit status 13 (the install line's reason), and nothing is registered under the
# service's name (the host's own name when the file cannot give one).
refused() {
  qz_run "$HOST" -check
  qz_expect_eq "$1: -check names file, key and problem" "check <$W\\cfghost.ini> failure! $2
" "$OUT"
  qz_expect_eq "$1: -check exit status" 13 "$RC"
  qz_run "$HOST" -install
  qz_expect_eq "$1: -install refused" "check <$W\\cfghost.ini> failure! $2
$(qz_failure_line install "${3:-$NAME}" 13)
" "$OUT"
  qz_expect_eq "$1: -install exit status" 13 "$RC"
  qz_expect_eq "$1: nothing registered" "" "$(qz_state $NAME)"
}

qz_host_ini "$GOOD
colour = blue"
refused "unknown key" "[program] colour: unknown key"
qz_host_ini "$GOOD
[restart]
max-failures = many"
refused "bad number" "[restart] max-failures: not a whole number from 0 to 1000: 'many'"
qz_host_ini "${GOOD/hostprog.exe/nothere.exe}"
refused "missing executable" "[program] executable: file not found: $W\\nothere.exe"
qz_host_ini "$GOOD
[stopping]
close = 1"
refused "unknown section" "[stopping] unknown section"
qz_host_ini "$GOOD
[log]
file = nowhere\\host.log"
refused "log folder missing" "[log] file: folder not found: $W\\nowhere\\"
rm -f "$HOST_INI"
refused "no file" "cannot read the file: $(qz_errtext 2) (2)" cfghost

# Broken after the install: the start is refused with 1066 and 13.
qz_host_ini "$GOOD"
qz_expect_run "install" "install service <$NAME> success!
" "$HOST" -install
qz_host_ini "$GOOD
[stop]
pause = 5"
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1
WINEDEBUG=err+eventlog wine cmd /c exit >/dev/null 2>"$QZ_TMP/trace"
QZ_EXIT=$(qz_exit 1066) qz_expect_run "a start with a broken file fails with 1066" "$(qz_failure_line start $NAME 1066)
  service-specific exit code: 13
" "$HOST" -start
qz_expect_run "-status shows 1066 and 13" "status service <$NAME> success!
  state: 1 STOPPED
  process: 0
  exit code: 1066, service-specific 13
" "$HOST" -status
qz_host_expect_line "a log line names the problem" \
  "the service does not start: $(qz_host_re "$W\\cfghost.ini: [stop] pause: unknown key")\$"
grep -q 'err:eventlog:ReportEventW L".*cfghost.ini: \[stop\] pause: unknown key"' "$QZ_TMP/trace" &&
  qz_pass "an event record names the problem" ||
  qz_fail "an event record names the problem: $(grep eventlog "$QZ_TMP/trace")"
qz_host_ini "$GOOD"
qz_expect_command "$HOST" $NAME start 4
qz_host_expect_line "mended, it starts" 'stdout: started$'
qz_expect_command "$HOST" $NAME stop 1
qz_expect_run "uninstall" "uninstall service <$NAME> success!
" "$HOST" -uninstall

# Folder and host named with characters outside every single-byte code page.
qz_host_setup "$UNI_ROOT/Überwachung 監視" "wächter"
WU='C:\Dienste\Überwachung 監視'
qz_host_ini "[service]
name = $UNI_NAME
display-name = Wächter 監視
start-type = demand
[program]
executable = hostprog.exe
arguments = --out \"grüße 監視\" --cwd"
qz_expect_eq "the folder is what Windows sees" "$WU\\wächter.exe" "$(qz_winpath "$HOST")"
qz_run "$HOST" -check
qz_expect_eq "-check in the folder" "check <$WU\\wächter.ini> success!" "$(printf '%s\n' "$OUT" | head -1)"
qz_expect_run "install from the folder" "install service <$UNI_NAME> success!
" "$HOST" -install
qz_expect_eq "registration as the wide-character calls read it" \
"path=\"$WU\\wächter.exe\" /service
display=Wächter 監視
description=" "$(wine "$BIN/uniprobe.exe" config $UNI_NAME </dev/null 2>/dev/null | sed 's/\r$//')"
qz_expect_command "$HOST" $UNI_NAME start 4
qz_host_expect_line "started from the folder" "program started, process id [0-9]+: \"$(qz_host_re "$WU")\\\\hostprog.exe\""
qz_host_expect_line "the program's output in the folder's log" 'stdout: grüße 監視$'
qz_host_expect_line "the program runs in the host's folder" "stdout: cwd=$(qz_host_re "$WU")\$"
qz_expect_command "$HOST" $UNI_NAME stop 1
qz_expect_run "uninstall from the folder" "uninstall service <$UNI_NAME> success!
" "$HOST" -uninstall
qz_done
