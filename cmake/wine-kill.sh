#!/bin/sh
# Ends the Wine server of the build tree's private prefix, if one runs.
build_dir="$1"
export WINEPREFIX="${QZ_WINEPREFIX:-$build_dir/wineprefix}"
[ -d "$WINEPREFIX" ] || exit 0
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
exit 0
