#!/bin/bash
# Every byte value from 1 to 255 as a one-byte switch, all of them in one
# long switch, and the blanks, control bytes and quote-like bytes after a
# real switch: each run prints the help with the error line naming the
# switch byte for byte, exits 0 and never crashes.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
DEMO="$BIN/svcdemo.exe"
T="$(mktemp -d "$QZ_BUILD_DIR/hostile.XXXXXX")"
trap 'qz_end; rm -rf "$T"' EXIT
trap 'exit 143' TERM INT HUP

# One persistent server for the few hundred runs below.
qz_prefix
wineserver -w
wineserver -p || qz_fail "no persistent Wine server"

# raw <byte>: that byte. typed <byte>: what to put on the command line for
# the program to receive it: Wine reads its command line as UTF-8 and hands
# it over in the ANSI code page 1252, whose five unassigned bytes it maps to
# the code points of the same value.
raw() { printf "\\$(printf %03o "$1")"; }
typed() {
  if [ "$1" -lt 128 ]; then raw "$1"; return; fi
  raw "$1" | iconv -f CP1252 -t UTF-8 2>/dev/null && return
  if [ "$1" -lt 192 ]; then raw 194; raw "$1"; else raw 195; raw $(($1 - 64)); fi
}

# run <switch as typed>: the program's raw output in $T/out; fails the case
# on a crash or a status other than 0.
CRASHES=0
run() {
  wine "$DEMO" "$1" >"$T/out" 2>"$T/err" </dev/null
  local rc=$?
  if grep -qE "Unhandled exception|Unhandled page fault" "$T/err" || [ "$rc" -ne 0 ]; then
    CRASHES=$((CRASHES + 1))
    return 1
  fi
}

# The help as -help prints it, split after the title line; the C runtime
# writes text mode, so every line feed leaves as CR LF.
wine "$DEMO" -help >"$T/help" 2>/dev/null </dev/null
head -n 1 "$T/help" >"$T/title"
tail -n +2 "$T/help" >"$T/clause"
if grep -q "switch clause:" "$T/clause"; then qz_pass "the help has its clause"; else
  qz_fail "no help to compare with"; fi

# expect <name file>: the help with the error line for the switch whose raw
# bytes the file holds, in $T/expected.
expect() {
  {
    cat "$T/title"
    { printf 'error: switch <'; cat "$1"; printf '> is nonsupport!\n'; } | LC_ALL=C sed 's/$/\r/'
    cat "$T/clause"
  } >"$T/expected"
}

# check <what> <name file>: runs the demo with the switch and compares.
WRONG=0
check() {
  local switch
  switch="$(typed_file "$2"; printf x)"
  expect "$2"
  if run "${switch%x}" && cmp -s "$T/expected" "$T/out"; then return 0; fi
  WRONG=$((WRONG + 1))
  if [ "$WRONG" -le 3 ]; then
    echo "FAIL: $1"
    echo "  expected:"; od -c "$T/expected" | head -4
    echo "  actual:"; od -c "$T/out" | head -4
    head -c 300 "$T/err"
  fi
}

# typed_file <file>: the file's raw bytes as they are to be typed.
typed_file() {
  local b
  for b in $(od -An -v -tu1 "$1"); do typed "$b"; done
}

for b in $(seq 1 255); do
  raw "$b" >"$T/name"
  check "byte $b alone" "$T/name"
done
qz_expect_eq "each byte 1 to 255 as a one-byte switch: wrong outputs" 0 "$WRONG"

# Every byte in one switch, blanks and quotes among them.
WRONG=0
{ printf -- '-'; for b in $(seq 1 255); do raw "$b"; done; } >"$T/name"
check "bytes 1 to 255 in one switch" "$T/name"
qz_expect_eq "all 255 bytes in one switch: wrong outputs" 0 "$WRONG"

# After a real switch, a blank, a control byte or a quote must not be
# trimmed away into a match: each is the help, never a stop.
WRONG=0
for b in $(seq 1 32) 34 39 92 127 129 133 160 255; do
  { printf -- '-stop'; raw "$b"; } >"$T/name"
  check "-stop then byte $b" "$T/name"
done
{ printf -- '-stop\\'; } >"$T/name"
check "-stop then a backslash and nothing" "$T/name"
{ printf -- '-a b\\'; } >"$T/name"
check "a blank and a last backslash" "$T/name"
{ printf -- '-a "b" \\"'; } >"$T/name"
check "quotes inside" "$T/name"
qz_expect_eq "real switches followed by odd bytes: wrong outputs" 0 "$WRONG"

qz_expect_eq "runs that crashed or did not exit with 0" 0 "$CRASHES"
qz_done
