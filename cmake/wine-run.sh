#!/bin/sh
# Runs a Windows program under Wine in the build tree's private prefix,
# creating the prefix on first use. Usage: wine-run.sh <build-dir> prog.exe [args]
set -eu
. "$(dirname "$0")/wine-env.sh"
build_dir="$1"; shift
export WINEPREFIX="${QZ_WINEPREFIX:-$build_dir/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/.qz-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.qz-ready" ]; then
      wineboot --init >/dev/null 2>&1 || true
      # A service registered while the boot's server is still shutting down
      # can be lost, so wait for it to end first.
      wineserver -w
      touch "$WINEPREFIX/.qz-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
