# Event log records written through TQZEventLog, as Wine's event log shows
# them on its trace channels (it keeps no records of its own).
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"
WRITER="$BIN/qz_eventlog_writer.exe"
[ -f "$WRITER" ] || { echo "FAIL: $WRITER not built"; exit 1; }
qz_prefix
OUT="$QZ_BUILD_DIR/eventlog_e2e"
mkdir -p "$OUT"

# Runs the writer with the event log trace on; the trace, without thread ids,
# goes to $OUT/trace and standard output to $OUT/stdout.
run_writer() {
  WINEDEBUG=err+eventlog,fixme+advapi wine "$WRITER" "$@" >"$OUT/stdout" 2>"$OUT/stderr"
  echo "$?" >"$OUT/rc"
  sed 's/^[0-9a-f]*://; s/\r$//' "$OUT/stderr" | grep -E '^(err:eventlog|fixme:advapi:(RegisterEventSourceA|ReportEventA|DeregisterEventSource))' >"$OUT/trace"
}

# Three records from one writer: the source is opened once by name and
# closed once at the end, and each record is an error record (category 0,
# event id 0, no user, one string, no raw data) carrying its message.
run_writer QzEventLogE2E "first record text" "" "third: 'quoted' words"
qz_expect_eq "writer exit code" "0" "$(cat "$OUT/rc")"
handle=$(sed -n 's/^fixme:advapi:ReportEventA (\([0-9A-Fa-f]*\),.*/\1/p' "$OUT/trace" | head -1)
expected="fixme:advapi:RegisterEventSourceA ((null),\"QzEventLogE2E\"): stub
fixme:advapi:ReportEventA ($handle,0x0001,0x0000,0x00000000,NULL,0x0001,0x00000000,X,NULL): stub
err:eventlog:ReportEventW L\"first record text\"
fixme:advapi:ReportEventA ($handle,0x0001,0x0000,0x00000000,NULL,0x0001,0x00000000,X,NULL): stub
err:eventlog:ReportEventW L\"\"
fixme:advapi:ReportEventA ($handle,0x0001,0x0000,0x00000000,NULL,0x0001,0x00000000,X,NULL): stub
err:eventlog:ReportEventW L\"third: 'quoted' words\"
fixme:advapi:DeregisterEventSource ($handle) stub"
# The address of the string array differs from run to run, and null
# pointers are printed 8 or 16 digits wide.
actual=$(sed 's/^\(fixme:advapi:ReportEventA ([^,]*\(,[^,]*\)\{6\}\),[0-9A-Fa-f]*,/\1,X,/; s/\b0\{8\}\(0\{8\}\)\?\b/NULL/g' "$OUT/trace")
[ -n "$handle" ] || qz_fail "no ReportEventA in the trace"
qz_expect_eq "one open, three error records, one close" "$expected" "$actual"

# The record the service runtime writes: the system's text for an error
# code as the one string.
run_writer -code QzEventLogE2E 5
text=$(tr -d '\r' <"$OUT/stdout")
[ -n "$text" ] || qz_fail "no system text for code 5"
qz_expect_eq "system text recorded" "err:eventlog:ReportEventW L\"$text\"" "$(grep '^err:eventlog' "$OUT/trace")"

# An empty source name reaches the event log as a null pointer.
run_writer "" "no source"
qz_expect_eq "empty source is null" "fixme:advapi:RegisterEventSourceA ((null),(null)): stub" \
  "$(grep '^fixme:advapi:RegisterEventSourceA' "$OUT/trace")"
qz_expect_eq "record without source still written" "err:eventlog:ReportEventW L\"no source\"" \
  "$(grep '^err:eventlog' "$OUT/trace")"

qz_done
