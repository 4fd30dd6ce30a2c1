# Helpers of the runtime scripts; sourced after lib.sh.

# Restarts the prefix's server so that services.exe, and every service process
# it starts, writes the +service trace (with process ids) to the given file.
qz_rt_traced_server() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1
  WINEDEBUG=+pid,+service wine cmd /c exit >/dev/null 2>"$1"
}

# Prints "type state accepted win32-exit specific-exit check-point wait-hint"
# for every status report sent for the named service, in order. A report is
# attributed through its handle, which the service main thread first uses
# right after registering its handler under the name.
qz_rt_reports() {
  awk -v name="$2" '
    {
      split($1, id, ":")
      thread = id[1] ":" id[2]
    }
    $1 ~ /:trace:service:RegisterServiceCtrlHandlerExW$/ {
      registered[thread] = $2
      next
    }
    $1 ~ /:trace:service:SetServiceStatus$/ {
      key = id[1] ":" $2
      if (thread in registered) {
        if (!(key in owner)) owner[key] = registered[thread]
        delete registered[thread]
      }
      if (owner[key] == "L\"" name "\"") print $3, $4, $5, $6, $7, $8, $9
    }' "$1"
}

# Linux process ids of the prefix's processes whose command line holds the
# given executable name.
qz_rt_pids() {
  local p
  for p in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    tr '\0' ' ' 2>/dev/null <"$p/cmdline" | grep -qiF "$1" && echo "${p#/proc/}"
  done
  return 0
}

# Waits until the prefix runs no more than the given number of processes of
# the executable; prints the number left.
qz_rt_wait_processes() {
  local tries=0 n
  while :; do
    n=$(qz_rt_pids "$1" | wc -l)
    if [ "$n" -le "$2" ] || [ "$tries" -ge 300 ]; then echo "$n"; return; fi
    tries=$((tries + 1))
    sleep 0.1
  done
}

# runtime_control.exe with its arguments; prints its one line.
qz_rt_control() { wine "$BIN/runtime_control.exe" "$@" 2>/dev/null | tr -d '\r'; }

# The lines of the tick file named by $TICKS (0 while there is none), and a
# wait of up to about 60 s until it has at least <count>.
qz_ticks() { [ -f "$TICKS" ] && wc -l <"$TICKS" || echo 0; }
qz_wait_ticks() {
  local i
  for i in $(seq 1 300); do
    [ "$(qz_ticks)" -ge "$1" ] && return 0
    sleep 0.2
  done
  return 1
}
