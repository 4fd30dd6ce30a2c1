#!/bin/bash
# Builds the demo service and walks its whole life in a private Wine prefix:
# help, console mode, install, start, pause, continue, stop, uninstall.
# Stops with a non-zero status at the first step of installing or building
# that fails, and fails when a step of the life does not print its success
# line.
set -u
cd "$(dirname "$0")/.."

die() { echo "demo.sh: $*" >&2; exit 1; }

./scripts/install-deps.sh || die "installing the dependencies failed"
. cmake/wine-env.sh
PRESET=win32
if [ "$QZ_WIN32_RUNS" != yes ]; then
  PRESET=win64
  echo "--- this kernel cannot execute 32-bit programs: walking the 64-bit (win64) demo's life"
fi
cmake --preset "$PRESET" >/dev/null || die "configuring the $PRESET build failed"
cmake --build --preset "$PRESET" --target svcdemo || die "building svcdemo ($PRESET) failed"

export WINEPREFIX="$PWD/build/$PRESET/demo-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
DEMO="$PWD/build/$PRESET/bin/svcdemo.exe"

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
wineboot --init >/dev/null 2>&1 || die "creating the Wine prefix failed"
wineserver -w
# Keep the server (and with it the SCM and the running service) alive
# between the commands below.
wineserver -p

failed=()
# run <expected line or empty> <switch> [args...]: prints the command and its
# output; a step whose output lacks the expected line counts as failed.
run() {
  local expected="$1"; shift
  echo
  echo "\$ svcdemo.exe $*"
  local out
  out="$(wine "$DEMO" "$@" | tr -d '\r')"
  printf '%s\n' "$out"
  if [ -n "$expected" ] && ! grep -qxF "$expected" <<<"$out"; then
    failed+=("$*")
  fi
}
state() {
  echo "  state: $(wine sc query TestSvc 2>/dev/null | tr -d '\r' | grep -m1 STATE | sed 's/.*: *//')"
}

run "" -help
echo
echo "\$ printf '\\003' | svcdemo.exe -debug    (a Ctrl+C byte on standard input)"
debug_out="$(printf '\003' | wine "$DEMO" -debug | tr -d '\r')"
printf '%s\n' "$debug_out"
grep -qxF "..... <OnStop> is run." <<<"$debug_out" || failed+=("-debug")
run "install service <TestSvc> success!" -install
run "start service <TestSvc> success!" -start
sleep 1; state
run "pause service <TestSvc> success!" -pause
sleep 1; state
run "continue service <TestSvc> success!" -continue
sleep 1; state
run "stop service <TestSvc> success!" -stop
sleep 1; state
run "uninstall service <TestSvc> success!" -uninstall
# Stopping a service that no longer exists fails by design.
run "" -stop

if [ ${#failed[@]} -ne 0 ]; then
  echo
  for step in "${failed[@]}"; do echo "demo.sh: step without its success line: $step" >&2; done
  exit 1
fi
