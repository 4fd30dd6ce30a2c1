#!/bin/bash
# The demo run from folders whose names hold a blank, a single quote, printf
# directives, percent signs and a byte above 0x7F: the help and the console
# mode print as from anywhere else, and -install registers a command line
# from which the SCM starts the service (quoted only where a blank needs
# it). A folder the SCM's expansion would change, or a path too long to
# start, is refused before the SCM is asked.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
qz_cmd_begin
qz_cleanup_service TestSvc

# raw_run <output file> <exe> <args...>: the program's raw output.
raw_run() {
  local out="$1"
  shift
  timeout 120 wine "$@" >"$out" 2>"$QZ_TMP/err" </dev/null
}

# same_output <what> <expected file> <exe> <args...>
same_output() {
  local what="$1" expected="$2"
  shift 2
  raw_run "$QZ_TMP/odd.out" "$@"
  if cmp -s "$expected" "$QZ_TMP/odd.out"; then qz_pass "$what"; else
    qz_fail "$what"; od -c "$QZ_TMP/odd.out" | head -6; fi
}

# user32_loaded <exe> <args...>: whether the program's own process loaded
# USER32 (it is asked about double-byte text only once a byte of 0x80 or
# above is met, and loads USER32 only for that question).
user32_loaded() {
  WINEDEBUG=+loaddll timeout 120 wine "$@" 2>&1 >/dev/null </dev/null | tr -d '\r' |
    awk -F: -v exe="$(basename "$1" | tr A-Z a-z)" '
      !tid && /Loaded/ && index(tolower($0), exe) { tid = $1 }
      tid && $1 == tid && tolower($0) ~ /user32\.dll/ { found = 1 }
      END { exit !found }'
}
# expect_user32 <what> <yes|no> <exe> <args...>
expect_user32() {
  local what="$1" want="$2" got=no
  shift 2
  user32_loaded "$@" && got=yes
  qz_expect_eq "$what: USER32 loaded" "$want" "$got"
}

raw_run "$QZ_TMP/help" "$BIN/svcdemo.exe" -help
expect_user32 "-help from the build folder" no "$BIN/svcdemo.exe" -help
expect_user32 "-debug from the build folder" no "$BIN/svcdemo.exe" -debug
raw_run "$QZ_TMP/debug" "$BIN/svcdemo.exe" -debug
if grep -q "<OnStop> is run" "$QZ_TMP/debug"; then qz_pass "the console mode from the build folder stops"; else
  qz_fail "the console mode from the build folder: $(cat "$QZ_TMP/debug")"; fi

# odd_folder <what> <folder> <quoted: yes|no> <USER32 loaded: yes|no>
odd_folder() {
  local what="$1" dir="$2" quoted="$3" user32="$4" exe path registered
  mkdir -p "$dir"
  cp "$BIN/svcdemo.exe" "$dir/"
  exe="$dir/svcdemo.exe"

  same_output "$what: -help" "$QZ_TMP/help" "$exe" -help
  same_output "$what: -debug" "$QZ_TMP/debug" "$exe" -debug
  expect_user32 "$what: -help" "$user32" "$exe" -help

  qz_expect_run "$what: -install" "install service <TestSvc> success!
" "$exe" -install
  # The SCM keeps the path in the ANSI code page 1252; winepath prints UTF-8.
  path="$(qz_winpath "$exe")"
  registered="$(qz_config TestSvc path | iconv -f CP1252 -t UTF-8)"
  if [ "$quoted" = yes ]; then
    qz_expect_eq "$what: the file name is registered in quotes" "\"$path\" /service" "$registered"
  else
    qz_expect_eq "$what: the file name is registered as it is" "$path /service" "$registered"
  fi

  qz_expect_run "$what: -start" "start service <TestSvc> success!
" "$exe" -start
  qz_expect_state "$what: the service runs" TestSvc 4
  # The process the SCM started is the copy in the odd folder.
  qz_expect_eq "$what: one demo process runs" 1 "$(qz_rt_pids svcdemo.exe | wc -l)"
  local pid
  pid="$(qz_rt_pids svcdemo.exe | head -1)"
  if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF "$(basename "$dir")"; then
    qz_pass "$what: the service runs from the odd folder"
  else
    qz_fail "$what: the service process is not the copy: $(tr '\0' ' ' <"/proc/${pid:-0}/cmdline" 2>/dev/null)"
  fi
  qz_expect_run "$what: -stop" "stop service <TestSvc> success!
" "$exe" -stop
  qz_expect_state "$what: the service stopped" TestSvc 1
  qz_expect_eq "$what: the demo process ended" 0 "$(qz_rt_wait_processes svcdemo.exe 0)"
  qz_expect_run "$what: -uninstall" "uninstall service <TestSvc> success!
" "$exe" -uninstall
}

odd_folder "blank, quote, %s%n and é" "$QZ_TMP/it's a %s%n folder é" yes yes
odd_folder "quote and %s without a blank" "$QZ_TMP/it's%s%x" no no
odd_folder "percent signs that name no variable" "$QZ_TMP/100% a%PATH" yes no

# refused_folder <what> <code> <exe>: -install fails with the code (the
# demo still exits 0) and registers nothing.
refused_folder() {
  qz_expect_run "$1: -install is refused with $2" \
    "$(qz_failure_line install TestSvc "$2")
" "$3" -install
  qz_expect_eq "$1: nothing is registered" "" "$(qz_state TestSvc)"
}

# The SCM expands environment references in the image path, so this one
# would start C:\windowsx\...
mkdir -p "$QZ_TMP/%SystemRoot%x"
cp "$BIN/svcdemo.exe" "$QZ_TMP/%SystemRoot%x/"
refused_folder "an environment reference in the folder" 123 "$QZ_TMP/%SystemRoot%x/svcdemo.exe"

# long_exe <length>: copies the demo into folders from which its Windows
# path (Z: and the Linux path) has exactly <length> characters; prints it.
long_exe() {
  local dir="$QZ_TMP/long$1" exe=/svcdemo.exe left n
  left=$(($1 - 2 - ${#dir} - ${#exe}))
  while [ "$left" -gt 0 ]; do
    n=$((left - 1 > 200 ? 200 : left - 1))
    [ $((left - n - 1)) -eq 1 ] && n=$((n - 1))
    dir="$dir/$(head -c "$n" /dev/zero | tr '\0' d)"
    left=$((left - n - 1))
  done
  mkdir -p "$dir"
  cp "$BIN/svcdemo.exe" "$dir/"
  printf '%s' "$dir$exe"
}

# Windows starts a program from a path of at most MAX_PATH - 1 characters.
exe="$(long_exe 298)"
# winepath cuts a path at MAX_PATH, so this one is counted from the Linux path.
qz_expect_eq "the long path has 298 characters" 298 $((2 + ${#exe}))
# 64-bit Wine cannot start a program from so long a path at all.
qz_run "$exe" -help
case "$OUT" in
  *"Application could not be started"*)
    qz_pass "Wine does not start a program from a path of 298 characters"
    qz_expect_eq "a path of 298 characters: nothing is registered" "" "$(qz_state TestSvc)" ;;
  *) refused_folder "a path of 298 characters" 206 "$exe" ;;
esac
exe="$(long_exe 259)"
qz_expect_eq "the longest path has 259 characters" 259 "$(qz_winpath "$exe" | tr -d '\n' | wc -m)"
qz_expect_run "259 characters: -install" "install service <TestSvc> success!
" "$exe" -install
qz_expect_run "259 characters: -start" "start service <TestSvc> success!
" "$exe" -start
qz_expect_state "259 characters: the service runs" TestSvc 4
qz_expect_run "259 characters: -stop" "stop service <TestSvc> success!
" "$exe" -stop
qz_expect_run "259 characters: -uninstall" "uninstall service <TestSvc> success!
" "$exe" -uninstall
qz_done
