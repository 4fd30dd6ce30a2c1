#!/bin/bash
# The ticker example, whose ANSI code page is UTF-8, run from a folder whose
# name has German and Japanese characters and a blank: its registration as
# the wide-character calls read it, its ticks in that folder, its life
# through pause and continue, its version resource, its message table and
# its event source, which uninstall removes.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
qz_cmd_begin

FOLDER_NAME="Überwachung 監視"
FOLDER="$WINEPREFIX/drive_c/Dienste/$FOLDER_NAME"
WIN_FOLDER="C:\\Dienste\\$FOLDER_NAME"
TICKER="$FOLDER/ticker.exe"
TICKS="$FOLDER/ticks.log"
PROBE="$BIN/uniprobe.exe"
DISPLAY_NAME="Ticker example (Überwachung 監視)"
mkdir -p "$FOLDER"
cp "$BIN/ticker.exe" "$TICKER"
rm -f "$TICKS"
qz_cleanup_service QzTicker
qz_cleanup_service TestSvc
# The event source key goes too, should the uninstall not be reached.
trap 'wine reg delete "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QzTicker" /f \
  >/dev/null 2>&1; qz_end; rm -rf "$QZ_TMP" "$WINEPREFIX/drive_c/Dienste"' EXIT

probe() { wine "$PROBE" "$@" </dev/null 2>/dev/null | sed 's/\r$//'; }

qz_expect_eq "the probe runs in code page 65001" 65001 "$(probe acp)"
qz_expect_eq "the folder is what Windows sees" "$WIN_FOLDER\\ticker.exe" "$(qz_winpath "$TICKER")"

qz_expect_run "install" "install service <QzTicker> success!
" "$TICKER" -install
config="$(probe config QzTicker)"
qz_expect_eq "registration as the wide-character calls read it" \
"path=\"$WIN_FOLDER\\ticker.exe\" /service ticks.log
display=$DISPLAY_NAME
description=Writes a tick line every 200 ms" "$config"
qz_expect_eq "event source registered with the executable as its message file" \
"EventMessageFile=$WIN_FOLDER\\ticker.exe
EventMessageFileType=2
TypesSupported=7" "$(probe eventsource QzTicker)"

qz_expect_command "$TICKER" QzTicker start 4
qz_wait_ticks 3 && qz_pass "ticks written in the folder" || qz_fail "ticks in the folder: $(qz_ticks)"
qz_expect_command "$TICKER" QzTicker pause 7
qz_expect_command "$TICKER" QzTicker continue 4
qz_expect_command "$TICKER" QzTicker stop 1
qz_expect_eq "the tick file holds numbered lines" \
  "$(seq -f 'tick %g' 1 "$(qz_ticks)")" "$(sed 's/\r$//' "$TICKS")"

qz_expect_eq "version resource" "fixed=0.1.0.0
FileDescription=Writes a tick line every 200 ms
ProductName=$DISPLAY_NAME
FileVersion=0.1.0" "$(probe version "$WIN_FOLDER\\ticker.exe")"
for text in "plain text" "Überwachung 監視: 100% done, %1 stays"; do
  qz_expect_eq "message table gives back: $text" "[$text]" \
    "$(probe message "$WIN_FOLDER\\ticker.exe" 0 "$text")"
done

qz_expect_run "uninstall" "uninstall service <QzTicker> success!
" "$TICKER" -uninstall
qz_expect_eq "gone after uninstall" "" "$(qz_state QzTicker)"
qz_expect_eq "event source gone after uninstall" "error=2" "$(probe eventsource QzTicker)"

# The demonstration service keeps the prefix's code page (1252), in which the
# Japanese characters of the folder's name have no form: it refuses to
# register the path with '?' in their place.
cp "$BIN/svcdemo.exe" "$FOLDER/svcdemo.exe"
qz_expect_run "install without UTF-8 from the folder is refused" \
  "$(qz_failure_line install TestSvc 123)"$'\n' "$FOLDER/svcdemo.exe" -install
qz_expect_eq "nothing registered" "" "$(qz_state TestSvc)"
qz_done
