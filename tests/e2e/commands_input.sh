#!/bin/bash
# Hostile input to the commands on the real SCM: very long switches and
# parameters, many parameters, bytes above 0x7F, empty parameters and
# texts that look like formats. Each gives a clear line or reaches the
# service unchanged, and nothing crashes.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
qz_cmd_begin

DEMO="$BIN/svcdemo.exe"
REC="$BIN/cmdsvc_record.exe"
ARGS="$BIN/QzCmdRecord.args"
qz_cleanup_service QzCmdRecord

# Wine takes its command lines as UTF-8 here and hands them to the program
# in the ANSI code page 1252; $(ansi BYTES) is what to type to get BYTES.
ansi() { printf -- "$1" | iconv -f CP1252 -t UTF-8; }

no_crash() {
  case "$ERR" in
    *"Unhandled exception"* | *"Unhandled page fault"*) qz_fail "$1: crashed" ;;
    *) qz_pass "$1: no crash" ;;
  esac
}

# --- long switches
LONG="-$(head -c 32000 /dev/zero | tr '\0' x)"
qz_run "$DEMO" "$LONG"
qz_expect_eq "a 32000-byte switch is named whole in the help's error line" \
  "Test TQZSvcApp demo
error: switch <$LONG> is nonsupport!" "$(printf %s "$OUT" | head -2)"
qz_expect_eq "a 32000-byte switch: exit code" 0 "$RC"
no_crash "a 32000-byte switch"

# A command line is limited to 32767 characters; Wine refuses to start a
# longer one before the program runs. Either way nothing may crash.
HUGE="-$(head -c 65536 /dev/zero | tr '\0' y)"
WINEDEBUG=err+environ qz_run "$DEMO" "$HUGE"
no_crash "a 64 KiB switch"
case "$ERR" in
  *"command line too long"*) qz_pass "a 64 KiB switch is refused by Wine" ;;
  *) qz_expect_eq "a 64 KiB switch is named whole" \
       "error: switch <$HUGE> is nonsupport!" "$(printf %s "$OUT" | sed -n 2p)" ;;
esac

HIGH="$(ansi '-\xe9t\xe9\xff')"
qz_run "$DEMO" "$HIGH"
qz_expect_eq "a switch with bytes above 0x7F is shown as typed" \
  "$(printf 'error: switch <-\xe9t\xe9\xff> is nonsupport!')" \
  "$(printf %s "$OUT" | sed -n 2p)"
qz_expect_eq "a switch with bytes above 0x7F: exit code" 0 "$RC"

qz_expect_run "a switch like a format, a title like a format" \
  "Description %s%n%x
switch <-nine> error: user-defined switch(9) callback <OnUser> is NULL.
" "$BIN/cmdsvc_extra.exe" -nine

# --- parameters handed to a service (in order, whatever their bytes)
qz_expect_run "install" "install service <QzCmdRecord> success!
" "$REC" -install

# start_and_read <what> <expected args file> [parameters...]: starts the
# recorder with the parameters, compares what its OnStart received, stops it.
start_and_read() {
  local what="$1" expected="$2"
  shift 2
  rm -f "$ARGS"
  qz_expect_run "$what: start" "start service <QzCmdRecord> success!
" "$REC" -start "$@"
  qz_expect_state "$what: running" QzCmdRecord 4
  if cmp -s "$expected" "$ARGS"; then qz_pass "$what: received unchanged"; else
    qz_fail "$what: received $(wc -c <"$ARGS" 2>/dev/null || echo no) bytes, differing from $(wc -c <"$expected") expected"; fi
  qz_expect_run "$what: stop" "stop service <QzCmdRecord> success!
" "$REC" -stop
  qz_expect_state "$what: stopped" QzCmdRecord 1
}

{ echo QzCmdRecord; seq -f 'p%04g' 1 1000; } >"$QZ_TMP/many"
start_and_read "1000 parameters" "$QZ_TMP/many" $(seq -f 'p%04g' 1 1000)

BIG="$(head -c 30000 /dev/zero | tr '\0' z)"
printf 'QzCmdRecord\n%s\n' "$BIG" >"$QZ_TMP/big"
start_and_read "a 30000-byte parameter" "$QZ_TMP/big" "$BIG"

printf 'QzCmdRecord\n\xe9t\xe9\n\xc4\xd6\xdc\x80\xff\n' >"$QZ_TMP/high"
start_and_read "bytes above 0x7F" "$QZ_TMP/high" \
  "$(ansi '\xe9t\xe9')" "$(ansi '\xc4\xd6\xdc\x80\xff')"

printf 'QzCmdRecord\n%%s%%n%%x\n%%d\n' >"$QZ_TMP/format"
start_and_read "parameters like formats" "$QZ_TMP/format" '%s%n%x' '%d'

# An empty parameter is handed on as an empty text. Windows passes it and
# what follows intact; Wine's SCM ends the list at it, so only the
# parameters before it are compared here.
rm -f "$ARGS"
qz_expect_run "an empty parameter: start" "start service <QzCmdRecord> success!
" "$REC" -start a "" b
qz_expect_state "an empty parameter: running" QzCmdRecord 4
qz_expect_eq "an empty parameter: the parameters before it arrive in order" \
  "QzCmdRecord
a" "$(head -n 2 "$ARGS" 2>/dev/null)"
qz_expect_run "an empty parameter: stop" "stop service <QzCmdRecord> success!
" "$REC" -stop
printf 'QzCmdRecord\na\n' >"$QZ_TMP/after"
start_and_read "a start after an empty parameter" "$QZ_TMP/after" a

qz_run "$REC" -uninstall
qz_done
