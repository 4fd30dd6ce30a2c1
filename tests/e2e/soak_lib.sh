# Helpers of the soak runs; sourced by tests/e2e/soak_*.sh. The demo runs in
# the build tree's own prefix under a persistent server whose services.exe
# writes the +service trace; the trap of commands_lib.sh stops and deletes
# the service and ends the server whatever fails.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"

NAME=TestSvc
DEMO="$BIN/svcdemo.exe"
QZ_SOAK_STARTED=$SECONDS

# qz_soak_begin <trace file>
qz_soak_begin() {
  qz_prefix
  wineserver -w
  qz_cleanup_service "$NAME"
  qz_rt_traced_server "$1"
  # Installing before services.exe is past its automatic starts would start
  # the demo at once.
  qz_wait_state PlugPlay 4 || qz_fail "services.exe did not start PlugPlay"
  # A registration left by a run that was killed would fail the first install.
  wine sc delete "$NAME" >/dev/null 2>&1
  qz_soak_gone || qz_fail "$NAME is still registered"
}

# qz_soak_command <switch> <verb>: runs the demo with the switch; true when it
# printed exactly the verb's success line and exited with 0, otherwise says
# what it printed.
qz_soak_command() {
  qz_run "$DEMO" "$1"
  [ "$OUT" = "$2 service <$NAME> success!
" ] && [ "$RC" -eq 0 ] && return 0
  printf '  %s printed %s (status %s) %s\n' "$1" "$OUT" "$RC" "$(printf %s "$ERR" | head -c 200)"
  return 1
}

# qz_soak_wait <state>: true once the SCM reports the state.
qz_soak_wait() { [ "$(qz_rt_control wait "$NAME" "$1")" = "state $1" ]; }

# qz_soak_gone: true once the SCM no longer knows the service.
qz_soak_gone() { [ "$(wine "$BIN/soak_control.exe" gone "$NAME" 2>/dev/null | tr -d '\r')" = gone ]; }

# qz_soak_figures <text>: one line of figures, also kept in the build tree
# for scripts/soak.sh.
qz_soak_figures() {
  echo "figures: $* wall $((SECONDS - QZ_SOAK_STARTED)) s"
  echo "$(basename "$0" .sh): $* wall $((SECONDS - QZ_SOAK_STARTED)) s" >>"$QZ_BUILD_DIR/soak-figures.txt"
}

# qz_soak_expect_reports <what> <expected file> <trace file>: the status
# reports the demo's processes sent, in order.
qz_soak_expect_reports() {
  qz_rt_reports "$3" "$NAME" >"$QZ_TMP/reports"
  if cmp -s "$2" "$QZ_TMP/reports"; then qz_pass "$1"; else
    qz_fail "$1: $(wc -l <"$QZ_TMP/reports") reports, $(wc -l <"$2") expected; first difference:"
    diff "$2" "$QZ_TMP/reports" | head -10
  fi
}

# The reports of one start and of one stop.
QZ_SOAK_START="0x10 0x2 0 0 0 0x1 0x1388
0x10 0x4 0x7 0 0 0 0x1388"
QZ_SOAK_PAUSE="0x10 0x6 0x7 0 0 0 0x1388
0x10 0x7 0x7 0 0 0 0x1388"
QZ_SOAK_CONTINUE="0x10 0x5 0x7 0 0 0 0x1388
0x10 0x4 0x7 0 0 0 0x1388"
QZ_SOAK_INTERROGATE="0x10 0x4 0x7 0 0 0 0x1388"
QZ_SOAK_STOP="0x10 0x3 0x7 0 0 0 0x1388
0x10 0x1 0x7 0 0 0 0x1388"
