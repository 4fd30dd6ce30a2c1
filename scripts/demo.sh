#!/bin/bash
# Builds the demo service and walks its whole life in a private Wine prefix:
# help, console mode, install, start, pause, continue, stop, uninstall.
set -u
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target svcdemo

export WINEPREFIX="$PWD/build/win32/demo-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
DEMO="$PWD/build/win32/bin/svcdemo.exe"

finish() {
  wine "$DEMO" -stop >/dev/null 2>&1
  wine "$DEMO" -uninstall >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
}
trap finish EXIT

echo "--- creating a private Wine prefix in $WINEPREFIX"
rm -rf "$WINEPREFIX"
wineboot --init >/dev/null 2>&1
wineserver -w
# Keep the server (and with it the SCM and the running service) alive
# between the commands below.
wineserver -p

run() {
  echo
  echo "\$ svcdemo.exe $*"
  wine "$DEMO" "$@" | tr -d '\r'
}
state() {
  echo "  state: $(wine sc query TestSvc 2>/dev/null | tr -d '\r' | grep -m1 STATE | sed 's/.*: *//')"
}

run -help
echo
echo "\$ printf '\\003' | svcdemo.exe -debug    (a Ctrl+C byte on standard input)"
printf '\003' | wine "$DEMO" -debug | tr -d '\r'
run -install
run -start
sleep 1; state
run -pause
sleep 1; state
run -continue
sleep 1; state
run -stop
sleep 1; state
run -uninstall
run -stop
