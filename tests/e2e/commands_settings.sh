#!/bin/bash
# Optional install settings on Wine's SCM: what it refuses leaves no service
# behind, the preshutdown timeout reads back and is accepted in the status
# reports, the run-as account given to -install reads back while its password
# never shows in a command line, and what a shutdown of the prefix delivers.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
qz_cmd_begin

EXTRA="$BIN/cmdsvc_extra.exe"
TICKER="$BIN/ticker.exe"
TICKS="$BIN/ticks.log"
qz_cleanup_service QzCmdExtra
qz_cleanup_service QzTicker
rm -f "$TICKS" "$BIN"/ticker*.log

# --- settings Wine's SCM refuses (87): the install fails and removes the service
for setting in delayed noncrash; do
  QZ_CMD_SETTINGS=$setting qz_expect_run "$setting: install fails with 87" \
    "$(qz_failure_line install QzCmdExtra 87)
" "$EXTRA" -install
  qz_expect_eq "$setting: no service is left behind" "" "$(qz_state QzCmdExtra)"
done
# Failure actions are taken (Wine does not store them), and so is a preshutdown timeout.
QZ_CMD_SETTINGS="actions preshutdown" qz_expect_run "failure actions and preshutdown: install" \
  "install service <QzCmdExtra> success!
" "$EXTRA" -install
qz_expect_eq "the preshutdown timeout reads back" 7000 "$(qz_config QzCmdExtra preshutdown)"
qz_expect_run "uninstall the extra service" "uninstall service <QzCmdExtra> success!
" "$EXTRA" -uninstall

# --- the ticker's registration and run-as accounts
qz_expect_run "ticker install" "install service <QzTicker> success!
" "$TICKER" -install
qz_expect_eq "ticker: the preshutdown timeout reads back" 10000 "$(qz_config QzTicker preshutdown)"
qz_expect_eq "ticker: no account given, LocalSystem" LocalSystem "$(qz_config QzTicker account)"
qz_expect_run "ticker uninstall" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall

for account in 'NT AUTHORITY\LocalService' 'NT AUTHORITY\NetworkService' '.\LocalSystem'; do
  qz_expect_run "install as $account" "install service <QzTicker> success!
" "$TICKER" -install "$account"
  qz_expect_eq "$account reads back" "$account" "$(qz_config QzTicker account)"
  qz_expect_run "uninstall after $account" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall
done

qz_expect_run "a password on the command line is refused" "$(qz_failure_line install QzTicker 87)
" "$TICKER" -install '.\qzuser' 'Qz-visible-password'
qz_expect_eq "nothing installed after the refusal" "" "$(qz_state QzTicker)"

# The password goes through standard input; while the installer waits for it,
# and after the service has started, no process's command line holds it. The
# pattern is read from a file, so that grep's own command line does not.
printf 'Qz-%s-hidden\n' "$$" >"$QZ_TMP/password"
mkfifo "$QZ_TMP/input"
wine "$TICKER" -install '.\qzuser' - <"$QZ_TMP/input" >"$QZ_TMP/installed" 2>/dev/null &
installer=$!
exec 7>"$QZ_TMP/input"
for i in $(seq 1 100); do [ -n "$(qz_rt_pids ticker.exe)" ] && break; sleep 0.1; done
sleep 1
qz_expect_eq "the waiting installer's command line holds no password" "" \
  "$(grep -l -a -F -f "$QZ_TMP/password" /proc/[0-9]*/cmdline 2>/dev/null)"
cat "$QZ_TMP/password" >&7
exec 7>&-
wait "$installer"
qz_expect_eq "install as .\\qzuser with the password from input" "install service <QzTicker> success!" \
  "$(sed 's/\r$//' "$QZ_TMP/installed")"
qz_expect_eq ".\\qzuser reads back" '.\qzuser' "$(qz_config QzTicker account)"
qz_expect_run "the service starts" "start service <QzTicker> success!
" "$TICKER" -start
qz_expect_eq "no command line holds the password while the service runs" "" \
  "$(grep -l -a -F -f "$QZ_TMP/password" /proc/[0-9]*/cmdline 2>/dev/null)"
qz_expect_run "stop" "stop service <QzTicker> success!
" "$TICKER" -stop
qz_expect_run "uninstall" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall

# --- a shutdown of the prefix while the ticker runs. The server has to be one
# that ends by itself, so a cmd holds the session open until its input ends;
# a sleep is that input's only writer, so that no process started meanwhile
# can keep it open.
qz_expect_run "install for the shutdown" "install service <QzTicker> success!
" "$TICKER" -install
wineserver -k >/dev/null 2>&1
wineserver -w
mkfifo "$QZ_TMP/hold"
WINEDEBUG=+pid,+service wine cmd /k <"$QZ_TMP/hold" >/dev/null 2>"$QZ_TMP/trace" &
holder=$!
sleep 120 >"$QZ_TMP/hold" &
keeper=$!
# services.exe has to be started by the holder, to write its trace there.
for i in $(seq 1 300); do
  grep -q 'trace:service:scmdatabase' "$QZ_TMP/trace" 2>/dev/null && break
  sleep 0.1
done
qz_wait_state PlugPlay 4 || qz_fail "services.exe did not start PlugPlay"
qz_expect_run "start for the shutdown" "start service <QzTicker> success!
" "$TICKER" -start
qz_expect_eq "the running report accepts stop, pause, shutdown and preshutdown" \
  "0x10 0x4 0x107" "$(qz_rt_reports "$QZ_TMP/trace" QzTicker | awk '$2 == "0x4" { print $1, $2, $3; exit }')"
wineboot --shutdown >/dev/null 2>&1
kill "$keeper" 2>/dev/null
wait "$holder"
timeout 120 wineserver -w || qz_fail "the prefix's server did not end"
qz_expect_eq "no ticker process after the shutdown" 0 "$(qz_rt_wait_processes ticker.exe 0 2>/dev/null)"
# Wine 8 does not shut the service down in order: mostly no control arrives
# (services.exe ends with the server), and when the preshutdown control does
# reach the dispatcher the process is ended without waiting for the timeout,
# often before the control thread has run OnShutdown. What must hold is that
# it never ran twice (the unit tests prove the preshutdown's reports and the
# one OnShutdown).
controls="$(sed -n 's/.*trace:service:service_handle_control L"QzTicker" control \([0-9]*\) .*/\1/p' \
  "$QZ_TMP/trace" | grep -v '^0$' | tr '\n' ' ')"
shutdowns=$(grep -c '^shutdown' "$TICKS" 2>/dev/null)
echo "controls Wine delivered at the shutdown: ${controls:-none}; OnShutdown ran ${shutdowns:-0} times"
[ "${shutdowns:-0}" -le 1 ] && qz_pass "OnShutdown at most once" ||
  qz_fail "OnShutdown ran ${shutdowns} times for the controls ${controls:-none}"
[ -n "$controls" ] || [ "${shutdowns:-0}" -eq 0 ] && qz_pass "no OnShutdown without a control" ||
  qz_fail "OnShutdown ran without a control"

qz_cmd_begin
qz_expect_run "uninstall after the shutdown" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall
rm -f "$TICKS" "$BIN"/ticker*.log
qz_done
