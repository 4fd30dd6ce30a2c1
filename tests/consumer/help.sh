#!/bin/bash
# The consumer's service, built against the installed package and against the
# source tree (also with the win32 thread model's compiler), prints its own
# title and the switch clause, prints the names and version of the header
# qzsvc_add_service generated, and carries the resources it gave it.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
qz_prefix

expected="Consumer of the installed qzsvc

switch clause:
$QZ_SWITCH_CLAUSE"
DISPLAY_NAME='Consumer "service" in C:\Qz\Überwachung 監視?'

for mode in ${QZ_CONSUMER_MODES:-installed subdirectory}; do
  exe="$QZ_BUILD_DIR/consumer/$mode/consumer.exe"
  if [ ! -f "$exe" ]; then qz_fail "$mode: no $exe"; continue; fi
  out="$(wine "$exe" -help </dev/null 2>/dev/null | sed 's/\r$//')"
  qz_expect_eq "$mode: -help" "$expected" "$out"
  qz_expect_eq "$mode: names and version from the generated header" "QzConsumer
$DISPLAY_NAME
Consumer of the installed qzsvc
1.2.3 = 1.2.3.0" "$(wine "$exe" -names </dev/null 2>/dev/null | sed 's/\r$//')"
  resources="$(wine "$BIN/uniprobe.exe" version "$(winepath -w "$exe")" </dev/null 2>/dev/null |
    sed 's/\r$//')"
  qz_expect_eq "$mode: version resource" "fixed=1.2.3.0
FileDescription=Consumer of the installed qzsvc
ProductName=$DISPLAY_NAME
FileVersion=1.2.3" "$resources"
  qz_expect_eq "$mode: message table" "[a record]" \
    "$(wine "$BIN/uniprobe.exe" message "$(winepath -w "$exe")" 0 "a record" </dev/null 2>/dev/null |
      sed 's/\r$//')"
done
qz_done
