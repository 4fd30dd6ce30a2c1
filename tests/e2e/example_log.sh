#!/bin/bash
# The ticker's log file on Wine's SCM: the commands' result lines, its own
# lines, what it prints with printf and std::cerr (a last line without its
# line end included) in the file before its stop is reported, the file read
# by another program while the service writes, and its rotation.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
qz_cmd_begin

TICKER="$BIN/ticker.exe"
TICKS="$BIN/ticks.log"
LOG="$BIN/ticker.log"
qz_cleanup_service QzTicker
clean_logs() { rm -f "$TICKS" "$BIN"/ticker*.log; }
clean_logs

# Every line of the log carries a stamp.
expect_stamped() {
  qz_expect_eq "$1: every line is stamped" "" "$(qz_log_texts "$LOG" | grep '^!' | head -3)"
}
# The log's texts without the result lines of the commands.
service_texts() { qz_log_texts "$@" | grep -v ' service <QzTicker> '; }
command_texts() { qz_log_texts "$@" | grep ' service <QzTicker> '; }
# Lets a Windows program open the log as a viewer does and count its lines.
expect_readable() {
  local out
  out="$(wine "$BIN/log_probe.exe" read "$(qz_winpath "$LOG")" </dev/null 2>&1 | tr -d '\r')"
  case "$out" in
    *" lines") qz_pass "$1" ;;
    *) qz_fail "$1: $out" ;;
  esac
}

qz_expect_run "install" "install service <QzTicker> success!
" "$TICKER" -install
qz_expect_eq "the command's result line goes to the log too" \
  "install service <QzTicker> success!" "$(qz_log_texts "$LOG")"

qz_expect_command "$TICKER" QzTicker start 4
qz_wait_ticks 5 || qz_fail "ticks while running: $(qz_ticks)"
expect_readable "another program reads the log while the service writes"
for i in $(seq 1 50); do service_texts "$LOG" | grep -qx 'tick 3' && break; sleep 0.1; done
service_texts "$LOG" | grep -qx 'tick 3' && qz_pass "printed lines reach the log while it runs" ||
  qz_fail "printed lines reach the log while it runs: $(service_texts "$LOG" | tail -3)"
qz_expect_command "$TICKER" QzTicker stop 1
qz_expect_eq "the ticker process ends after the stop" 0 "$(qz_rt_wait_processes ticker.exe 0 2>/dev/null)"

n=$(qz_ticks)
qz_expect_eq "its own line, then standard error and output in order, the last line without its end too" \
  "starting, mode <>
standard error: starting
$(seq -f 'tick %g' 1 "$n")
standard error: stopping after $n ticks
last words" "$(service_texts "$LOG")"
# The stop command prints its line once the final report has come: what the
# service wrote before that report is already in the file.
qz_expect_eq "everything the service wrote comes before the stop's result line" \
  "last words
stop service <QzTicker> success!" "$(qz_log_texts "$LOG" | tail -2)"
qz_expect_eq "the commands' lines" "install service <QzTicker> success!
start service <QzTicker> success!
stop service <QzTicker> success!" "$(command_texts "$LOG")"
expect_stamped "first run"

# With "chatty" each tick adds some 470 bytes: the 16 KiB file rotates every
# few seconds, and two old files are kept.
rm -f "$LOG" "$TICKS"
qz_expect_run "start chatty" "start service <QzTicker> success!
" "$TICKER" -start chatty
for i in $(seq 1 600); do [ -f "$BIN/ticker.2.log" ] && break; sleep 0.1; done
[ -f "$BIN/ticker.2.log" ] && qz_pass "two rotations after enough ticks" ||
  qz_fail "two rotations after enough ticks: $(ls "$BIN" | grep 'ticker.*log')"
expect_readable "another program reads the log between rotations"
before=$(stat -c %Y "$BIN/ticker.2.log" 2>/dev/null)
for i in $(seq 1 600); do
  [ "$(stat -c %Y "$BIN/ticker.2.log" 2>/dev/null)" != "$before" ] && break
  sleep 0.1
done
qz_expect_run "stop chatty" "stop service <QzTicker> success!
" "$TICKER" -stop
qz_expect_eq "no third old file" no "$([ -f "$BIN/ticker.3.log" ] && echo yes || echo no)"
big=0
for f in "$BIN/ticker.2.log" "$BIN/ticker.1.log" "$LOG"; do
  [ "$(stat -c %s "$f")" -le 16384 ] || big=$((big + 1))
done
qz_expect_eq "no file past 16 KiB" 0 "$big"
n=$(qz_ticks)
# The oldest ticks went with the removed files; the rest follow without a
# gap up to the last tick.
ticks="$(service_texts "$BIN/ticker.2.log" "$BIN/ticker.1.log" "$LOG" | sed -n 's/^tick //p')"
first=$(printf '%s\n' "$ticks" | head -1)
qz_expect_eq "the ticks in the kept files follow one another to the last" \
  "$(seq "$first" "$n")" "$ticks"
chatty="$(service_texts "$BIN/ticker.2.log" "$BIN/ticker.1.log" "$LOG" |
  sed -n 's/^chatty tick \([0-9]*\) \.*$/\1/p')"
first=$(printf '%s\n' "$chatty" | head -1)
qz_expect_eq "so do the chatty lines, each whole" "$(seq "$first" "$n")" "$chatty"
qz_expect_eq "the last lines of the chatty run" "standard error: stopping after $n ticks
last words
stop service <QzTicker> success!" "$(qz_log_texts "$LOG" | tail -3)"
expect_stamped "chatty run"

qz_expect_run "uninstall" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall
clean_logs
qz_done
