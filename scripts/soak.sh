#!/bin/bash
# Soak runs of the demo on Wine's real service control manager, in a build
# tree of their own (build/win32-soak): 200 whole lives installed, started,
# paused, continued, stopped and uninstalled, and 1000 controls in a row to
# one running service. Prints the figures at the end.
# Usage: scripts/soak.sh [ctest arguments...]
# QZ_SOAK_CYCLES and QZ_SOAK_CONTROLS change the counts.
set -u
cd "$(dirname "$0")/.."
./scripts/install-deps.sh || exit 1
. cmake/wine-env.sh

PRESET=win32
[ "$QZ_WIN32_RUNS" = yes ] || { PRESET=win64; echo "soak: this kernel cannot execute 32-bit programs; soaking the 64-bit build"; }
B=build/$PRESET-soak
end_wine() {
  for p in "$B"/wineprefix*; do
    [ -d "$p" ] && WINEPREFIX="$PWD/$p" wineserver -k >/dev/null 2>&1
  done
  return 0
}
trap end_wine EXIT

cmake --preset "$PRESET" -B "$B" -DQZ_SOAK=ON >/dev/null || exit 1
cmake --build "$B" --target svcdemo runtime_control soak_control || exit 1
rm -f "$B/soak-figures.txt"
started=$SECONDS
ctest --test-dir "$B" -L soak --output-on-failure "$@"
status=$?
echo "=== soak figures (ctest $((SECONDS - started)) s, status $status)"
cat "$B/soak-figures.txt" 2>/dev/null || echo "no figures written"
exit "$status"
