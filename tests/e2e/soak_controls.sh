#!/bin/bash
# Soak: one running demo takes a long run of pause, continue and interrogate
# controls in a row, each answered with the state it should leave, and then
# still stops in order; its process sent every report of that life, in order.
. "$QZ_SOURCE_DIR/tests/e2e/soak_lib.sh"
COUNT="${QZ_SOAK_CONTROLS:-1000}"
TRACE="$QZ_BUILD_DIR/soak_controls.trace"
qz_soak_begin "$TRACE"

qz_soak_command -install install && qz_pass "install" || qz_fail "install"
qz_soak_command -start start && qz_pass "start" || qz_fail "start"
qz_soak_wait 4 && qz_pass "running" || qz_fail "not running"

line="$(wine "$BIN/soak_control.exe" controls "$NAME" "$COUNT" 2>/dev/null | tr -d '\r')"
echo "$line"
qz_expect_eq "$COUNT controls, none failed" "controls $COUNT failures 0" "${line% late*}"

qz_soak_command -stop stop && qz_pass "the stop after the controls" || qz_fail "stop"
qz_soak_wait 1 && qz_pass "stopped" || qz_fail "not stopped"
left="$(qz_rt_wait_processes svcdemo.exe 0)"
qz_expect_eq "the demo process ended" 0 "$left"

{
  printf '%s\n' "$QZ_SOAK_START"
  for i in $(seq 0 $((COUNT - 1))); do
    case $((i % 3)) in
      0) printf '%s\n' "$QZ_SOAK_PAUSE" ;;
      1) printf '%s\n' "$QZ_SOAK_CONTINUE" ;;
      2) printf '%s\n' "$QZ_SOAK_INTERROGATE" ;;
    esac
  done
  printf '%s\n' "$QZ_SOAK_STOP"
} >"$QZ_TMP/expected"
qz_soak_expect_reports "every report of the life, in order" "$QZ_TMP/expected" "$TRACE"

qz_soak_command -uninstall uninstall && qz_pass "uninstall" || qz_fail "uninstall"
qz_soak_figures "controls $COUNT (${line:-no answer}), demo processes left $left, failures $QZ_FAILS,"
qz_done
