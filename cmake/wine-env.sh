# Decides, once per machine, how Windows programs are run here; sourced (with
# `.`) by every script that runs one. Afterwards QZ_WIN32_RUNS is yes or no.
#
# Debian's `wine` wrapper picks the 32-bit loader whenever it is installed, so
# on a kernel that cannot execute 32-bit programs even 64-bit programs fail
# through it. There a folder of small `wine` and `wine-stable` wrappers that
# start the 64-bit loader directly is put first on PATH; `wineboot`,
# `winepath` and the rest reach the loader through `wine-stable` and follow.
#
# QZ_FORCE_NO_WIN32=1 gives the "no 32-bit" answer on any machine, so that the
# fallback can be tested where 32-bit programs do run.

QZ_WINE32_LOADER=/usr/lib/wine/wine
QZ_WINE64_LOADER=/usr/lib/wine/wine64

qz_probe_win32() {
  [ -x "$QZ_WINE32_LOADER" ] && "$QZ_WINE32_LOADER" --version >/dev/null 2>&1
}

qz_wine64_wrappers() {
  dir="${TMPDIR:-/tmp}/qz-wine64-$(id -u)"
  if [ ! -x "$dir/wine-stable" ]; then
    mkdir -p "$dir"
    for name in wine wine-stable; do
      # Written beside and renamed, so a runner starting at the same moment
      # never executes half a file.
      printf '%s\n' '#!/bin/sh' \
        '# Runs the 64-bit Wine loader directly (see cmake/wine-env.sh).' \
        "export WINELOADER=$QZ_WINE64_LOADER" \
        '[ -n "${WINEDEBUG+set}" ] || export WINEDEBUG=fixme-all' \
        "exec $QZ_WINE64_LOADER \"\$@\"" >"$dir/$name.$$"
      chmod +x "$dir/$name.$$"
      mv -f "$dir/$name.$$" "$dir/$name"
    done
  fi
  echo "$dir"
}

if [ "${QZ_FORCE_NO_WIN32:-0}" = 1 ]; then
  QZ_WIN32_RUNS=no
elif [ "${QZ_WIN32_RUNS:-}" != yes ] && [ "${QZ_WIN32_RUNS:-}" != no ]; then
  if qz_probe_win32; then QZ_WIN32_RUNS=yes; else QZ_WIN32_RUNS=no; fi
fi
export QZ_WIN32_RUNS

if [ "$QZ_WIN32_RUNS" = no ] && [ -x "$QZ_WINE64_LOADER" ]; then
  QZ_WINE64_BIN="$(qz_wine64_wrappers)"
  case ":$PATH:" in
    *":$QZ_WINE64_BIN:"*) ;;
    *) PATH="$QZ_WINE64_BIN:$PATH"; export PATH ;;
  esac
  export WINELOADER="$QZ_WINE64_LOADER"
fi
