#!/bin/bash
# The console mode in a real console: the demo runs in a terminal driven by
# tmux, and Ctrl+C typed there stops it in order. Then the console waits are
# checked against that console's own input buffer. Wine gives a program a
# console only when both its standard input and output are the terminal, so
# the output is read back from the screen.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
DEMO="$BIN/svcdemo.exe"
KEYS="$BIN/console_keys.exe"
qz_prefix

command -v tmux >/dev/null || { qz_fail "tmux is not installed"; qz_done; }
SOCKET="qz-console-$$"
term() { tmux -L "$SOCKET" "$@"; }
trap 'term kill-server >/dev/null 2>&1; qz_end' EXIT

# screen <session>: the session's screen without its trailing blank lines.
screen() { term capture-pane -t "$1" -p | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'; }

# await <session> <text>: polls the screen until a line starts with the text;
# the bound only ends a run that has already failed.
await() {
  local i
  for i in $(seq 600); do
    screen "$1" | grep -q "^$2" && return 0
    sleep 0.2
  done
  qz_fail "never saw \"$2\" on $1"
  return 1
}

# Each program's exit code is shown after it, and the session stays open so
# that its screen can still be read.
term new-session -d -s demo -x 120 -y 40 \
  "wine '$DEMO' -debug; echo \"exit code \$?\"; exec sleep 3600"
if await demo "Press Ctrl+C stop application."; then
  # A key typed before Ctrl+C is read without echo.
  term send-keys -t demo x
  term send-keys -t demo C-c
  await demo "exit code"
fi
qz_expect_eq "Ctrl+C in a console stops the demo in order" "Test TQZSvcApp demo

..... <OnStart> is run.
>>>>> Service demo starts success!

Press Ctrl+C stop application.
..... <OnStop> is run.
exit code 0" "$(screen demo)"

term new-session -d -s keys -x 120 -y 40 \
  "wine '$KEYS'; echo \"exit code \$?\"; exec sleep 3600"
await keys "exit code"
screen keys
qz_expect_eq "console waits against a real console" "0 failed
exit code 0" "$(screen keys | tail -2)"

qz_done
