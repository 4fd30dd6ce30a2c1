#!/bin/bash
# The console mode in a real console: the demo runs in a terminal driven by
# tmux, and Ctrl+C typed there stops it in order. Then the console waits are
# checked against that console's own input buffer.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
DEMO="$BIN/svcdemo.exe"
KEYS="$BIN/console_keys.exe"
qz_prefix

command -v tmux >/dev/null || { qz_fail "tmux is not installed"; qz_done; }
trap 'qz_tmux_end; qz_end' EXIT

# Each program's exit code is shown after it, and the session stays open so
# that its screen can still be read.
qz_term new-session -d -s demo -x 120 -y 40 \
  "wine '$DEMO' -debug; echo \"exit code \$?\"; exec sleep 3600"
if qz_await demo "Press Ctrl+C stop application."; then
  # A key typed before Ctrl+C is read without echo.
  qz_term send-keys -t demo x
  qz_term send-keys -t demo C-c
  qz_await demo "exit code"
fi
qz_expect_eq "Ctrl+C in a console stops the demo in order" "Test TQZSvcApp demo

..... <OnStart> is run.
>>>>> Service demo starts success!

Press Ctrl+C stop application.
..... <OnStop> is run.
exit code 0" "$(qz_screen demo)"

qz_term new-session -d -s keys -x 120 -y 40 \
  "wine '$KEYS'; echo \"exit code \$?\"; exec sleep 3600"
qz_await keys "exit code"
qz_screen keys
qz_expect_eq "console waits against a real console" "0 failed
exit code 0" "$(qz_screen keys | tail -2)"

qz_done
