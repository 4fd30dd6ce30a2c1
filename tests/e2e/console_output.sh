#!/bin/bash
# The demo's help and console-mode output, byte for byte, with standard input
# and standard output redirected. The C runtime writes text mode, so every
# line feed reaches the pipe as CR LF.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
DEMO="$BIN/svcdemo.exe"
qz_prefix

# crlf <text>: the text's lines, each ended by CR LF.
crlf() { printf '%s\n' "$1" | sed 's/$/\r/'; }

# run <stdin-file> <args...>: the demo's standard output, with a guard so that
# a wait that never ends fails the test instead of hanging it.
run() {
  local input="$1"; shift
  timeout 120 wine "$DEMO" "$@" <"$input" | od -An -c
}

CLAUSE="$QZ_SWITCH_CLAUSE"

HELP="$(crlf "Test TQZSvcApp demo

switch clause:
$CLAUSE" | od -An -c)"
qz_expect_eq "-help" "$HELP" "$(run /dev/null -help)"
qz_expect_eq "/?" "$HELP" "$(run /dev/null '/?')"
qz_expect_eq "-HELP in capitals" "$HELP" "$(run /dev/null -HELP)"

qz_expect_eq "unknown switch" "$(crlf "Test TQZSvcApp demo
error: switch <-x> is nonsupport!

switch clause:
$CLAUSE" | od -An -c)" "$(run /dev/null -x)"

CONSOLE_RUN="$(crlf "Test TQZSvcApp demo

..... <OnStart> is run.
>>>>> Service demo starts success!

Press Ctrl+C stop application.
..... <OnStop> is run." | od -An -c)"

CTRL_C="$(mktemp)"
trap 'rm -f "$CTRL_C"; qz_end' EXIT
printf 'typed\003' >"$CTRL_C"
qz_expect_eq "-debug stopped by a Ctrl+C byte" "$CONSOLE_RUN" "$(run "$CTRL_C" -debug)"
qz_expect_eq "no argument stopped by a Ctrl+C byte" "$CONSOLE_RUN" "$(run "$CTRL_C")"
qz_expect_eq "-debug at the end of input still stops" "$CONSOLE_RUN" "$(run /dev/null -debug)"
# A pipe that ends without a Ctrl+C byte.
qz_expect_eq "-debug from a pipe that ends" "$CONSOLE_RUN" \
  "$(printf 'abc' | timeout 120 wine "$DEMO" -debug | od -An -c)"

# Started by hand rather than by the service control manager, the service
# mode finds no dispatcher to connect to and ends without a word.
qz_expect_eq "/service started by hand" "" "$(run /dev/null /service)"

status=0
timeout 120 wine "$DEMO" -nosuchswitch </dev/null >/dev/null || status=$?
qz_expect_eq "exit code of an unknown switch" 0 "$status"

qz_done
