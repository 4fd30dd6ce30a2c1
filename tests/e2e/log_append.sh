#!/bin/bash
# Two processes appending to one log file at once while it rotates, and a
# reader opening it meanwhile: every line arrives once, whole, and in its
# writer's order.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
QZ_TMP="$(mktemp -d "$QZ_BUILD_DIR/log-e2e.XXXXXX")"
trap 'qz_end; rm -rf "$QZ_TMP"' EXIT
trap 'exit 143' TERM INT HUP
qz_prefix

N=10000
KEPT=60
LOG="$QZ_TMP/shared.log"
WLOG="$(winepath -w "$LOG" 2>/dev/null)"
wine "$BIN/log_probe.exe" append "$WLOG" A $N 65536 $KEPT >"$QZ_TMP/a" 2>&1 </dev/null &
a=$!
wine "$BIN/log_probe.exe" append "$WLOG" B $N 65536 $KEPT >"$QZ_TMP/b" 2>&1 </dev/null &
b=$!
for i in $(seq 1 100); do [ -s "$LOG" ] && break; sleep 0.1; done
read="$(wine "$BIN/log_probe.exe" read "$WLOG" </dev/null 2>&1 | tr -d '\r')"
case "$read" in
  *" lines") qz_pass "a reader opens the file while two processes append" ;;
  *) qz_fail "a reader opens the file while two processes append: $read" ;;
esac
wait $a; ra=$?
wait $b; rb=$?
qz_expect_eq "first writer wrote every line" "0 failed/0" "$(tr -d '\r' <"$QZ_TMP/a")/$ra"
qz_expect_eq "second writer wrote every line" "0 failed/0" "$(tr -d '\r' <"$QZ_TMP/b")/$rb"

files=""
for i in $(seq $KEPT -1 1); do [ -f "$QZ_TMP/shared.$i.log" ] && files="$files $QZ_TMP/shared.$i.log"; done
[ -f "$QZ_TMP/shared.$KEPT.log" ] && qz_fail "more rotations than files kept"
count=$(echo $files | wc -w)
[ "$count" -ge 10 ] && qz_pass "the file rotated ($count old files)" || qz_fail "the file rotated: $count old files"
big=0
for f in $files "$LOG"; do [ "$(stat -c %s "$f")" -le 65536 ] || big=$((big + 1)); done
qz_expect_eq "no file past its limit" 0 "$big"
# Lines of each writer in order from 0 to N-1; anything else is torn.
verdict="$(qz_log_texts $files "$LOG" | awk -v n=$N '
  /^writer [AB] line [0-9][0-9]*$/ {
    w = $2; i = $4 + 0
    if (i != seen[w]) { bad++; if (bad < 5) print "out of order: " $0 }
    seen[w] = i + 1; next
  }
  { bad++; if (bad < 5) print "torn: " $0 }
  END { if (seen["A"] != n || seen["B"] != n) { bad++; print "A " seen["A"] ", B " seen["B"] }
        print bad + 0 " bad" }')"
qz_expect_eq "every line once, whole and in its writer's order" "0 bad" "$verdict"
qz_done
