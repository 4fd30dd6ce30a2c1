# Shared helpers for the whole-program tests; sourced by each test script.
# Every script runs in the build tree's private Wine prefix and ends the Wine
# server it used, whatever fails.
set -u
: "${QZ_BUILD_DIR:?run through ctest}"
: "${QZ_SOURCE_DIR:?run through ctest}"
. "$QZ_SOURCE_DIR/cmake/wine-env.sh"
# A prefix of their own, apart from the unit tests' prefix, so that ending
# its server never ends a unit test running beside them.
export QZ_WINEPREFIX="${QZ_WINEPREFIX:-$QZ_BUILD_DIR/wineprefix-e2e}"
export WINEPREFIX="$QZ_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
BIN="$QZ_BUILD_DIR/bin"
QZ_FAILS=0
QZ_SERVICES_TO_DELETE=""

# The help's switch clause of a service that keeps the default switches.
QZ_SWITCH_CLAUSE='  /? or -help               display help information
  /service                  run service application
  -debug                    run console application
  -install                  install service
  -uninstall or -remove     uninstall service
  -start [parameters]       start service
  -stop                     stop service
  -pause                    pause service
  -continue                 continue service'

# Creates the prefix on first use (the same way the unit tests do).
qz_prefix() { "$QZ_SOURCE_DIR/cmake/wine-run.sh" "$QZ_BUILD_DIR" cmd /c exit >/dev/null 2>&1 || true; }

# Services named here are deleted at exit.
qz_cleanup_service() { QZ_SERVICES_TO_DELETE="$QZ_SERVICES_TO_DELETE $1"; }

qz_end() {
  for s in $QZ_SERVICES_TO_DELETE; do
    wine sc stop "$s" >/dev/null 2>&1 || true
    wine sc delete "$s" >/dev/null 2>&1 || true
  done
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}
trap qz_end EXIT

qz_fail() { echo "FAIL: $*"; QZ_FAILS=$((QZ_FAILS + 1)); }
qz_pass() { echo "ok: $*"; }

# qz_expect_eq <what> <expected> <actual>
qz_expect_eq() {
  if [ "$2" = "$3" ]; then qz_pass "$1"; else
    qz_fail "$1"; printf '  expected: %s\n  actual:   %s\n' "$(printf %s "$2" | od -c | head -20)" "$(printf %s "$3" | od -c | head -20)"; fi
}

# Ends the script with the number of failures as its status.
qz_done() { [ "$QZ_FAILS" -eq 0 ] && echo "all passed" || echo "$QZ_FAILS failed"; exit "$QZ_FAILS"; }

# The texts of log files' lines without their stamps and line ends; a line
# without a stamp is printed whole after a "!".
qz_log_texts() {
  sed -e 's/\r$//' \
    -e 's/^[0-9]\{4\}-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] \[[0-9][0-9]*\] //' \
    -e 't' -e 's/^/!/' "$@"
}
