#!/bin/bash
# Builds and runs every benchmark and prints one table per group, each row with
# our time, the time of what it is measured against, their ratio and the goal:
#  - the foundation against the standard library, natively and under Wine
#    (where raw Win32 joins in), and the log file against spdlog's rotating
#    file sink, natively;
#  - under Wine's service control manager, the framework's service against a
#    bare Win32 service: control round trips of a service with every
#    control's hook set (carried out by its control thread), the pause of
#    the demo, which has no pause hook (completed by its control handler),
#    CPU while idle (also of a service with its log file and output capture
#    on), stripped size; the host qzhost running a sleeping program: CPU
#    while idle, stripped size.
# Usage: scripts/bench.sh [foundation|services]   (default: both)
# Environment: QZ_BENCH_ARGS (extra Google Benchmark flags), QZ_BENCH_ROUNDS
# (round trips per service, default 61), QZ_BENCH_IDLE_SECONDS (default 10).
set -u
cd "$(dirname "$0")/.."
ROOT=$PWD
PART="${1:-all}"
case "$PART" in all|foundation|services) ;; *) echo "usage: $0 [foundation|services]" >&2; exit 2 ;; esac
ROUNDS="${QZ_BENCH_ROUNDS:-61}"
IDLE_SECONDS="${QZ_BENCH_IDLE_SECONDS:-10}"
NATIVE="$ROOT/build/bench-native"
WIN32="$ROOT/build/bench-win32"
TARBALL="$ROOT/build/benchmark_1.7.1.orig.tar.gz"
SOURCES=/etc/apt/sources.list.d/qz-debsrc.sources
SOURCES_LIST=/etc/apt/sources.list.d/qz-debsrc.list
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

./scripts/install-deps.sh || exit 1
. "$ROOT/cmake/wine-env.sh"
# Where 32-bit programs cannot run, the Windows side is measured in 64 bits.
WIN_TOOLCHAIN="$ROOT/cmake/mingw-i686.cmake"
if [ "$QZ_WIN32_RUNS" = no ]; then
  WIN32="$ROOT/build/bench-win64"
  WIN_TOOLCHAIN="$ROOT/cmake/mingw-x86_64.cmake"
  echo "bench: this kernel cannot execute 32-bit programs; the Windows rows are 64-bit"
fi
# The log file is measured against spdlog's rotating file sink, natively.
if ! dpkg -s libspdlog-dev >/dev/null 2>&1; then
  $SUDO apt-get install -y --no-install-recommends libspdlog-dev >/dev/null ||
    { echo "bench: could not install libspdlog-dev" >&2; exit 1; }
fi

# The machine's own package sources, with every binary entry turned into a
# source entry: the same archives, whatever mirror the machine uses.
source_entries() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && [ "$f" != "$SOURCES_LIST" ] &&
      sed -nE 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$f"
  done >"$ROOT/build/qz-debsrc.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$SOURCES" ] &&
      awk 'BEGIN { RS = ""; ORS = "\n\n" }
           /(^|\n)Types:[^\n]*[[:space:]]deb([[:space:]]|\n|$)/ {
             sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
  done >"$ROOT/build/qz-debsrc.sources"
}
install_source_entries() {
  local kind
  for kind in list sources; do
    local target="/etc/apt/sources.list.d/qz-debsrc.$kind"
    if [ -s "$ROOT/build/qz-debsrc.$kind" ]; then
      cmp -s "$ROOT/build/qz-debsrc.$kind" "$target" ||
        $SUDO cp "$ROOT/build/qz-debsrc.$kind" "$target" || return 1
    fi
  done
}

# Google Benchmark for MinGW is built from Debian's source package.
fetch_benchmark_source() {
  [ -f "$TARBALL" ] && return 0
  mkdir -p "$ROOT/build"
  ( cd "$ROOT/build" && apt-get source --download-only benchmark >/dev/null 2>&1 ) && return 0
  source_entries
  [ -s "$ROOT/build/qz-debsrc.list" ] || [ -s "$ROOT/build/qz-debsrc.sources" ] ||
    { echo "bench: no package source entry to derive a source entry from" >&2; return 1; }
  install_source_entries || return 1
  # A mirror that is syncing fails some index; the source index may still be there.
  $SUDO apt-get update -qq || echo "bench: apt-get update reported errors; trying anyway" >&2
  ( cd "$ROOT/build" && apt-get source --download-only benchmark >/dev/null ) && [ -f "$TARBALL" ]
}
fetch_benchmark_source || { echo "bench: could not download Google Benchmark's source" >&2; exit 1; }

build() {  # build <dir> [cmake args...]
  local dir="$1"; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DQZ_BUILD_BENCH=ON -DQZ_BUILD_TESTS=OFF "$@" >"$dir.configure.log" 2>&1 ||
      { cat "$dir.configure.log"; return 1; }
  fi
  cmake --build "$dir" --target bench >"$dir.build.log" 2>&1 || { tail -40 "$dir.build.log"; return 1; }
}
echo "building the benchmarks (native and 32-bit Windows)..."
build "$NATIVE" || exit 1
build "$WIN32" -DCMAKE_TOOLCHAIN_FILE="$WIN_TOOLCHAIN" || exit 1

export WINEPREFIX="$WIN32/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
BIN="$WIN32/bin"
DEMO="$BIN/svcdemo.exe"
BARE_NAME=QZBareSvc
BARE_USER32_NAME=QZBareUser32Svc
LOG_IDLE_NAME=QZLogIdleSvc
HOOKED_NAME=QZHookedSvc
DEMO_NAME=TestSvc
HOST_NAME=QZBenchHost
HOST_DIR="$WIN32/bench-host"
TMUX_SOCKET="qzbench$$"
CONSOLE_PID=""
HOLDER_PID=""
SCM_USED=""
FIFO="$WIN32/bench-stdin"

finish() {
  if [ -n "$CONSOLE_PID" ]; then kill "$CONSOLE_PID" 2>/dev/null; fi
  if [ -n "$HOLDER_PID" ]; then kill "$HOLDER_PID" 2>/dev/null; fi
  tmux -L "$TMUX_SOCKET" kill-server >/dev/null 2>&1
  if [ -n "$SCM_USED" ]; then
    wine "$BIN/qz_bench_scm.exe" remove "$DEMO_NAME" >/dev/null 2>&1
    wine "$BIN/qz_bench_scm.exe" remove "$BARE_NAME" >/dev/null 2>&1
    wine "$BIN/qz_bench_scm.exe" remove "$BARE_USER32_NAME" >/dev/null 2>&1
    wine "$BIN/qz_bench_scm.exe" remove "$HOST_NAME" >/dev/null 2>&1
    wine "$BIN/qz_bench_scm.exe" remove "$LOG_IDLE_NAME" >/dev/null 2>&1
    wine "$BIN/qz_bench_scm.exe" remove "$HOOKED_NAME" >/dev/null 2>&1
  fi
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
  rm -f "$FIFO"
}
trap finish EXIT

line() { printf '%-62s %11s %11s %7s %8s  %s\n' "$@"; }
header() { printf '\n== %s\n' "$1"; line row ours theirs ratio target result; }

run_foundation() {
  # shellcheck disable=SC2086
  "$NATIVE/bin/qz_bench_foundation" ${QZ_BENCH_ARGS:-} >"$NATIVE/bench.log" 2>&1 ||
    { cat "$NATIVE/bench.log"; return 1; }
  sed -n '/^== /,$p' "$NATIVE/bench.log"
  # shellcheck disable=SC2086
  "$NATIVE/bin/qz_bench_log" ${QZ_BENCH_ARGS:-} >"$NATIVE/bench-log.log" 2>&1 ||
    { cat "$NATIVE/bench-log.log"; return 1; }
  sed -n '/^== /,$p' "$NATIVE/bench-log.log"
  # Wine's thread CPU clock ticks coarsely, so each run is made longer there.
  # shellcheck disable=SC2086
  "$ROOT/cmake/wine-run.sh" "$WIN32" "$BIN/qz_bench_foundation.exe" --benchmark_min_time=0.5 \
    ${QZ_BENCH_ARGS:-} >"$WIN32/bench.log" 2>&1 || { tr -d '\r' <"$WIN32/bench.log"; return 1; }
  tr -d '\r' <"$WIN32/bench.log" | sed -n '/^== /,$p'
}
if [ "$PART" != services ]; then run_foundation || exit 1; fi
[ "$PART" = foundation ] && exit 0

# The rest needs the prefix's services.exe alive between commands.
"$ROOT/cmake/wine-run.sh" "$WIN32" cmd /c exit >/dev/null 2>&1
wineserver -p
SCM_USED=1
scm() { wine "$BIN/qz_bench_scm.exe" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# Unix process id of the Wine process of our prefix whose program is $1.
wine_pid() {
  local d exe
  for d in /proc/[0-9]*; do
    exe=$(tr '\0' '\n' 2>/dev/null <"$d/cmdline" | head -n1)
    case "${exe,,}" in *"${1,,}") ;; *) continue ;; esac
    tr '\0' '\n' 2>/dev/null <"$d/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    # A Wine process that is still starting or already ending runs one thread.
    [ "$(ls "$d/task" 2>/dev/null | wc -l)" -ge 2 ] || continue
    echo "${d#/proc/}"
    return 0
  done
  return 1
}
wait_pid() {  # wait_pid <program>: up to 30 s for it to appear
  local i pid
  for i in $(seq 300); do pid=$(wine_pid "$1") && { echo "$pid"; return 0; }; sleep 0.1; done
  return 1
}
# CPU time of all threads of a process so far, in nanoseconds.
cpu_ns() {
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d\n", s }'
}
# CPU used by process $1 over the idle window, in milliseconds.
idle_ms() {
  local before after
  sleep 1
  before=$(cpu_ns "$1")
  sleep "$IDLE_SECONDS"
  after=$(cpu_ns "$1")
  [ -d "/proc/$1" ] || { echo "-"; return 1; }
  awk -v a="$after" -v b="$before" 'BEGIN { printf "%.2f\n", (a - b) / 1e6 }'
}
# CPU of a service's process over the idle window, in milliseconds, or "-"
# when the service does not stay up over three starts.
idle_service() {
  local attempt pid ms
  for attempt in 1 2 3; do
    if scm start "$1" >/dev/null && pid=$(wait_pid "$2") && ms=$(idle_ms "$pid") &&
      scm stop "$1" >/dev/null; then
      echo "$ms"
      return 0
    fi
    echo "bench: $1 did not stay up (start $attempt), starting it again" >&2
    scm stop "$1" >/dev/null
    sleep 3
  done
  echo "-"
}
idle_row() {  # idle_row <label> <ms> [theirs]
  local result=MISSED
  [ "$2" != "-" ] && awk -v v="$2" 'BEGIN { exit !(v <= 10) }' && result=met
  line "$1" "$2 ms" "${3:-0 ms}" "-" "<= 10 ms" "$result"
}

header "services on Wine's SCM (win32); round trips: medians of $ROUNDS rounds, ratio = median of per-round ratios"
for name in "$DEMO_NAME" "$BARE_NAME" "$BARE_USER32_NAME" "$HOOKED_NAME"; do
  scm remove "$name" >/dev/null
done
wine "$DEMO" -install | tr -d '\r' | grep -q success || { echo "bench: svcdemo -install failed" >&2; exit 1; }
scm install "$BARE_NAME" "$(winepath -w "$BIN/bare_service.exe") /service" || exit 1
scm install "$BARE_USER32_NAME" "$(winepath -w "$BIN/bare_service_user32.exe") /service" || exit 1
scm install "$HOOKED_NAME" "$(winepath -w "$BIN/hooked_service.exe") /service" || exit 1
# Every control of this service goes through its control thread.
scm roundtrip "$ROUNDS" "$HOOKED_NAME" "$BARE_NAME" || exit 1
# The demo has no pause hook: its control handler completes the pause itself.
demo_rows=$(scm roundtrip "$ROUNDS" "$DEMO_NAME" "$BARE_NAME" "  demo, no pause hook,") || exit 1
printf '%s\n' "$demo_rows" | grep 'pause -> paused'
scm remove "$HOOKED_NAME" >/dev/null
# What importing USER32 alone costs the bare service.
user32_rows=$(scm roundtrip "$ROUNDS" "$BARE_USER32_NAME" "$BARE_NAME" "  bare+USER32") || exit 1
printf '%s\n' "$user32_rows" | head -n1
scm remove "$BARE_USER32_NAME" >/dev/null

# Wine's SCM ends its services a moment after the last ordinary Wine process
# of the prefix has gone, so an idle one keeps the services up meanwhile.
wine "$BIN/qz_bench_scm.exe" sleep 3600000 >/dev/null 2>&1 &
HOLDER_PID=$!
sleep 3
bare_idle=$(idle_service "$BARE_NAME" bare_service.exe)
demo_idle=$(idle_service "$DEMO_NAME" svcdemo.exe)
# The host, renamed beside its configuration, runs the SCM client's sleep.
rm -rf "$HOST_DIR"
mkdir -p "$HOST_DIR"
cp "$BIN/qzhost.exe" "$HOST_DIR/benchhost.exe"
printf '[service]\r\nname = %s\r\nstart-type = demand\r\n[program]\r\nexecutable = %s\r\narguments = sleep 3600000\r\n' \
  "$HOST_NAME" "$(winepath -w "$BIN/qz_bench_scm.exe")" >"$HOST_DIR/benchhost.ini"
scm remove "$HOST_NAME" >/dev/null
host_idle="-"
if wine "$HOST_DIR/benchhost.exe" -install | tr -d '\r' | grep -q success; then
  host_idle=$(idle_service "$HOST_NAME" benchhost.exe)
  scm remove "$HOST_NAME" >/dev/null
else
  echo "bench: benchhost -install failed" >&2
fi
scm remove "$LOG_IDLE_NAME" >/dev/null
scm install "$LOG_IDLE_NAME" "$(winepath -w "$BIN/log_idle_service.exe") /service" || exit 1
log_idle=$(idle_service "$LOG_IDLE_NAME" log_idle_service.exe)
scm remove "$LOG_IDLE_NAME" >/dev/null
kill "$HOLDER_PID" 2>/dev/null
wait "$HOLDER_PID" 2>/dev/null
HOLDER_PID=""
idle_row "demo service running, CPU over ${IDLE_SECONDS} s idle" "$demo_idle" "0 ms"
line "  (the bare Win32 service over the same time)" "$bare_idle ms" "" "" "" ""
idle_row "qzhost running a sleeping program, host's CPU over ${IDLE_SECONDS} s idle" "$host_idle" "0 ms"
idle_row "service with log file and output capture, CPU over ${IDLE_SECONDS} s idle" \
  "$log_idle" "0 ms"

# Console mode with standard input a pipe that stays open: the wait for the
# Ctrl+C byte reads on a thread of its own.
rm -f "$FIFO"
mkfifo "$FIFO"
wine "$DEMO" -debug <"$FIFO" >"$WIN32/bench-console.out" 2>&1 &
CONSOLE_PID=$!
exec 7>"$FIFO"
pipe_pid=$(wait_pid svcdemo.exe) && pipe_idle=$(idle_ms "$pipe_pid") || pipe_idle="-"
printf '\003' >&7
exec 7>&-
wait "$CONSOLE_PID"
CONSOLE_PID=""
idle_row "console mode, stdin a pipe, CPU over ${IDLE_SECONDS} s waiting" "$pipe_idle"

# Console mode in a terminal, waiting for the Ctrl+C key.
tmux -L "$TMUX_SOCKET" new-session -d -s bench -x 120 -y 30 \
  "env WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEDLLOVERRIDES='$WINEDLLOVERRIDES' wine '$DEMO' -debug"
tty_pid=$(wait_pid svcdemo.exe) && tty_idle=$(idle_ms "$tty_pid") || tty_idle="-"
tmux -L "$TMUX_SOCKET" send-keys -t bench C-c
for _ in $(seq 100); do [ -n "${tty_pid:-}" ] && [ -d "/proc/$tty_pid" ] || break; sleep 0.1; done
tmux -L "$TMUX_SOCKET" kill-server >/dev/null 2>&1
idle_row "console mode in a terminal, CPU over ${IDLE_SECONDS} s waiting" "$tty_idle"

wine "$DEMO" -uninstall | tr -d '\r' | grep -q success || echo "bench: svcdemo -uninstall failed" >&2
scm remove "$BARE_NAME" >/dev/null

# Both are linked statically by the same toolchain with the same flags.
mkdir -p "$WIN32/stripped"
i686-w64-mingw32-strip -o "$WIN32/stripped/svcdemo.exe" "$DEMO"
i686-w64-mingw32-strip -o "$WIN32/stripped/bare_service.exe" "$BIN/bare_service.exe"
ours=$(stat -c %s "$WIN32/stripped/svcdemo.exe")
theirs=$(stat -c %s "$WIN32/stripped/bare_service.exe")
header "size of the stripped static demo (win32)"
line "svcdemo.exe as benchmarked (Release, posix threads) / bare" "$((ours / 1024)) KiB" \
  "$((theirs / 1024)) KiB" "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')" \
  report -
i686-w64-mingw32-strip -o "$WIN32/stripped/qzhost.exe" "$BIN/qzhost.exe"
host=$(stat -c %s "$WIN32/stripped/qzhost.exe")
line "qzhost.exe as benchmarked (Release, posix threads) / svcdemo" "$((host / 1024)) KiB" \
  "$((ours / 1024)) KiB" "$(awk -v a="$host" -v b="$ours" 'BEGIN { printf "%.2f", a / b }')" \
  report -

# The smallest build: optimised for size and at link time, with the thread
# model of Debian's default MinGW compiler, which needs no winpthread.
SMALL="$ROOT/build/bench-win32-small"
cmake -S "$ROOT" -B "$SMALL" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" -DQZ_MINGW_THREAD_MODEL=win32 \
  -DQZ_BUILD_TESTS=OFF -DQZ_BUILD_EXAMPLES=OFF -DQZ_INSTALL=OFF \
  -DCMAKE_EXE_LINKER_FLAGS="-static -Wl,-Map=$SMALL/svcdemo.map" >"$SMALL.configure.log" 2>&1 ||
  { cat "$SMALL.configure.log"; exit 1; }
cmake --build "$SMALL" --target svcdemo >"$SMALL.build.log" 2>&1 || { tail -40 "$SMALL.build.log"; exit 1; }
i686-w64-mingw32-strip -o "$WIN32/stripped/svcdemo-small.exe" "$SMALL/bin/svcdemo.exe"
small=$(stat -c %s "$WIN32/stripped/svcdemo-small.exe")
result=MISSED
[ "$small" -le $((100 * 1024)) ] && result=met
line "svcdemo.exe for size (MinSizeRel, LTO, win32 threads)" "$((small / 1024)) KiB" \
  "$((theirs / 1024)) KiB" "$(awk -v a="$small" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')" \
  "<= 100 KiB" "$result"
awk -f "$ROOT/scripts/map-sizes.awk" "$SMALL/svcdemo.map" | sort -rn |
  while IFS="$(printf '\t')" read -r bytes part; do
    line "  $part" "$((bytes / 1024)) KiB" "" "" "" ""
  done
