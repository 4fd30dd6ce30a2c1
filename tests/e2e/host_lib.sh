# Helpers of the host scripts; sourced after commands_lib.sh.

# qz_host_setup <folder> <name>: the host copied as <name>.exe into the
# folder, with the test program beside it. Sets HOST, HOST_DIR, HOST_INI and
# HOST_LOG.
qz_host_setup() {
  HOST_DIR="$1"
  mkdir -p "$HOST_DIR"
  HOST="$HOST_DIR/$2.exe"
  HOST_INI="$HOST_DIR/$2.ini"
  HOST_LOG="$HOST_DIR/$2.log"
  cp "$BIN/qzhost.exe" "$HOST"
  cp "$BIN/hostprog.exe" "$HOST_DIR/hostprog.exe"
  rm -f "$HOST_LOG"
}

# qz_host_ini <text>: writes the configuration, with the CR LF line ends
# of a file written on Windows.
qz_host_ini() { printf '%s\n' "$1" | sed 's/$/\r/' >"$HOST_INI"; }

# The log's lines without their CR.
qz_host_lines() { sed 's/\r$//' "$HOST_LOG" 2>/dev/null; }

# A text as an extended regular expression that matches it literally.
qz_host_re() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|/]/\\&/g'; }

# qz_host_wait_log <regex>: waits up to about 30 s for a matching log line.
qz_host_wait_log() {
  local i
  for i in $(seq 1 150); do
    qz_host_lines | grep -Eq "$1" && return 0
    sleep 0.2
  done
  return 1
}

# qz_host_expect_line <what> <regex>: a log line matches, within 30 s.
qz_host_expect_line() {
  if qz_host_wait_log "$2"; then qz_pass "$1"; else
    qz_fail "$1: no line matches $2"; qz_host_lines | sed 's/^/  log: /'; fi
}

# qz_host_time <regex> [n]: the stamp of the nth matching line (default 1)
# in milliseconds since midnight.
qz_host_time() {
  qz_host_lines | grep -E "$1" | sed -n "${2:-1}p" |
    awk '{ split($2, t, "[:.]"); print ((t[1] * 60 + t[2]) * 60 + t[3]) * 1000 + t[4] }'
}
