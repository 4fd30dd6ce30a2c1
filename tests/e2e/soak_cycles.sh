#!/bin/bash
# Soak: whole lives of the demo on Wine's SCM, each installed, started,
# paused, continued, stopped and uninstalled with the demo's own switches.
# No command may print anything but its success line, every life must send
# exactly its eight status reports, and no demo process may be left.
. "$QZ_SOURCE_DIR/tests/e2e/soak_lib.sh"
CYCLES="${QZ_SOAK_CYCLES:-200}"
TRACE="$QZ_BUILD_DIR/soak_cycles.trace"
qz_soak_begin "$TRACE"

STEPS="-install:install:1 -start:start:4 -pause:pause:7 -continue:continue:4 -stop:stop:1 -uninstall:uninstall:gone"
commands=0
bad_cycles=0
cycles=0
for cycle in $(seq 1 "$CYCLES"); do
  ok=1
  for step in $STEPS; do
    IFS=: read -r switch verb after <<<"$step"
    commands=$((commands + 1))
    if ! qz_soak_command "$switch" "$verb"; then ok=0; break; fi
    case "$after" in
      gone) qz_soak_gone || { echo "  $NAME still registered"; ok=0; break; } ;;
      *) qz_soak_wait "$after" || { echo "  state after $switch is not $after"; ok=0; break; } ;;
    esac
    if [ "$switch" = -stop ] && [ "$(qz_rt_wait_processes svcdemo.exe 0)" -ne 0 ]; then
      echo "  the demo process is still there after the stop"; ok=0; break
    fi
  done
  cycles=$cycle
  if [ "$ok" -eq 0 ]; then
    bad_cycles=$((bad_cycles + 1))
    qz_fail "cycle $cycle"
    # Start the next cycle from nothing; give up once the failures repeat.
    wine sc stop "$NAME" >/dev/null 2>&1
    qz_rt_wait_processes svcdemo.exe 0 >/dev/null
    wine sc delete "$NAME" >/dev/null 2>&1
    qz_soak_gone
    [ "$bad_cycles" -ge 3 ] && break
  fi
  [ $((cycle % 20)) -eq 0 ] && echo "cycle $cycle: $commands commands, $bad_cycles failed cycles, $((SECONDS - QZ_SOAK_STARTED)) s"
done
qz_expect_eq "every cycle of $CYCLES ran" "$CYCLES" "$cycles"
qz_expect_eq "cycles with a failure" 0 "$bad_cycles"

left="$(qz_rt_pids svcdemo.exe | wc -l)"
qz_expect_eq "no demo process left" 0 "$left"

for cycle in $(seq 1 "$cycles"); do
  printf '%s\n' "$QZ_SOAK_START" "$QZ_SOAK_PAUSE" "$QZ_SOAK_CONTINUE" "$QZ_SOAK_STOP"
done >"$QZ_TMP/expected"
qz_soak_expect_reports "the reports of every life, in order" "$QZ_TMP/expected" "$TRACE"

qz_soak_figures "cycles $cycles of $CYCLES, commands $commands, failed cycles $bad_cycles," \
  "demo processes left $left, failures $QZ_FAILS,"
qz_done
