#!/bin/bash
# The runner's answer for a kernel without 32-bit execution, forced on this
# machine: programs run through the 64-bit loader directly, and the demo's
# whole life passes that way, in a prefix of its own.
export QZ_FORCE_NO_WIN32=1
export QZ_WINEPREFIX="$QZ_BUILD_DIR/wineprefix-fallback"
unset QZ_WIN32_RUNS WINELOADER
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"

qz_expect_eq "the runner finds no 32-bit execution" no "$QZ_WIN32_RUNS"
qz_expect_eq "wine is the 64-bit loader's wrapper" "$QZ_WINE64_BIN/wine" "$(command -v wine)"
qz_expect_eq "so is wine-stable, which wineboot uses" "$QZ_WINE64_BIN/wine-stable" "$(command -v wine-stable)"
qz_expect_eq "the loader Wine starts again is the 64-bit one" /usr/lib/wine/wine64 "$WINELOADER"

# A fresh prefix, made through the wrappers as on such a machine.
rm -rf "$QZ_WINEPREFIX" "$QZ_WINEPREFIX.lock"
qz_prefix
qz_expect_eq "the prefix was made" yes "$([ -f "$QZ_WINEPREFIX/.qz-ready" ] && [ -f "$QZ_WINEPREFIX/system.reg" ] && echo yes)"

bash "$QZ_SOURCE_DIR/tests/e2e/runtime_demo_life.sh"
qz_expect_eq "the demo's life passes through the 64-bit loader" 0 "$?"
qz_done
