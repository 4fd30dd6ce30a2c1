# Helpers of the command tests; sourced by tests/e2e/commands_*.sh.
. "$QZ_SOURCE_DIR/tests/e2e/lib.sh"

QZ_TMP="$(mktemp -d "$QZ_BUILD_DIR/cmd-e2e.XXXXXX")"
# Replaces lib.sh's handler: delete the services and end the Wine server,
# then remove the scratch folder. A signal from ctest's timeout also ends
# the script through this handler.
trap 'qz_end; rm -rf "$QZ_TMP"' EXIT
trap 'exit 143' TERM INT HUP

# Keeps the prefix's server (and with it services.exe and the services it
# starts) alive between the commands of one script. A persistent server can
# only be started while none runs, so the one that created or touched the
# prefix is let end first. Then waits for services.exe to be past its
# automatic starts: it lists the auto-start services once, just after it
# begins to serve clients, and a service installed before that would be
# started at once without arguments. PlugPlay is one of the prefix's own
# auto-start services.
qz_cmd_begin() {
  qz_prefix
  wineserver -w
  wineserver -p || qz_fail "no persistent Wine server"
  qz_wait_state PlugPlay 4 || qz_fail "services.exe did not start PlugPlay"
}

# qz_run <exe> [args...]: runs a Windows program; sets OUT to its standard
# output, with the CR that the C runtime puts before each line feed removed,
# RC to its exit status and ERR to its standard error.
qz_run() {
  wine "$@" >"$QZ_TMP/out" 2>"$QZ_TMP/err" </dev/null
  RC=$?
  OUT="$(sed 's/\r$//' "$QZ_TMP/out"; printf x)"
  OUT="${OUT%x}"
  ERR="$(cat "$QZ_TMP/err")"
}

# The machine's own text for a Win32 error code.
# Wine now and then fails to start a program under load, and says so on
# standard output; the text is asked for again then.
qz_errtext() {
  local text try
  for try in 1 2 3; do
    if text="$(wine "$BIN/cmdprobe.exe" errtext "$1" </dev/null)"; then
      printf '%s' "$text"
      return 0
    fi
    sleep 1
  done
  return 1
}

qz_failure_line() {
  printf '%s service <%s> failure! reason(%s): %s\n' "$1" "$2" "$3" "$(qz_errtext "$3")"
}

# qz_expect_command <exe> <service> <verb> <state>: -<verb> prints its
# success line, exits 0, and the service is then in <state>.
qz_expect_command() {
  qz_expect_run "-$3" "$3 service <$2> success!
" "$1" "-$3"
  qz_expect_state "in state $4 after -$3" "$2" "$4"
}

# qz_expect_run <what> <expected output> <exe> [args...]: the output is
# exactly the expected text and the program exits with QZ_EXIT (0 unless
# set, see qz_exit) without a crash.
qz_expect_run() {
  local what="$1" expected="$2"
  shift 2
  qz_run "$@"
  qz_expect_eq "$what" "$expected" "$OUT"
  qz_expect_eq "$what: exit code" "${QZ_EXIT:-0}" "$RC"
  case "$ERR" in
    *"Unhandled exception"* | *"Unhandled page fault"*) qz_fail "$what: crashed: $ERR" ;;
  esac
}

# One value of a registration: qz_config <service> <key>.
qz_config() {
  wine "$BIN/cmdprobe.exe" config "$1" </dev/null | sed 's/\r$//' | sed -n "s/^$2=//p"
}

# The first stored dependency of one kind:
# qz_depends <service> DependOnService|DependOnGroup.
qz_depends() {
  wine "$BIN/cmdprobe.exe" depends "$1" </dev/null | sed 's/\r$//' | sed -n "s/^$2=//p"
}

# The state number that `sc query` reports, empty when there is none.
qz_state() {
  wine sc query "$1" </dev/null 2>/dev/null | sed 's/\r$//' |
    sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'
}

# qz_wait_state <service> <state>: polls the SCM for up to about 60 s.
qz_wait_state() {
  local i
  for i in $(seq 1 200); do
    [ "$(qz_state "$1")" = "$2" ] && return 0
    sleep 0.3
  done
  return 1
}

# qz_expect_state <what> <service> <state>
qz_expect_state() {
  if qz_wait_state "$2" "$3"; then qz_pass "$1"; else
    qz_fail "$1: state is '$(qz_state "$2")', expected $3"; fi
}

# The Windows form of a Linux path, as GetModuleFileNameA reports it.
qz_winpath() { winepath -w "$1" 2>/dev/null; }

# The exit status a shell sees of a program that returns a Win32 code.
qz_exit() { echo $(($1 % 256)); }

# qz_registry_holds <text>: whether any of the prefix's registry files holds
# the text, as 8-bit or UTF-16 characters, in a text value (whose
# characters are UTF-16, so 8-bit bytes there show as pairs) or as the
# bytes of a hex value, or anywhere in the file's own bytes.
qz_registry_holds() {
  # Passed in the environment, so that no command line holds the text.
  QZ_TEXT="$1" perl -e '
    my $text = $ENV{QZ_TEXT};
    my @files = @ARGV;
    my @needles = ($text, join("", map { $_ . "\0" } split //, $text));
    my %escape = (a => 7, b => 8, t => 9, n => 10, v => 11, f => 12, r => 13, e => 27);
    for my $file (@files) {
      open(my $in, "<:raw", $file) or next;
      local $/;
      my $all = <$in>;
      $all =~ s/\\\r?\n\s*//g;  # continued lines
      my @blobs = ($all);
      while ($all =~ /=(?:str\([0-9]*\):)?"((?:[^"\\]|\\.)*)"/g) {
        my $value = $1;
        $value =~ s{\\(x[0-9a-fA-F]{1,4}|[0-7]{1,3}|.)}{
          my $e = $1;
          $e =~ /^x/ ? chr(hex(substr($e, 1))) : $e =~ /^[0-7]/ ? chr(oct($e))
            : exists $escape{$e} ? chr($escape{$e}) : $e }ge;
        push @blobs, join("", map { pack("v", ord) } split //, $value);
      }
      while ($all =~ /=hex(?:\([0-9a-f]+\))?:([0-9a-f,]*)/g) {
        push @blobs, join("", map { chr(hex) } grep { length } split /,/, $1);
      }
      for my $blob (@blobs) {
        for my $needle (@needles) { exit 0 if index($blob, $needle) >= 0 }
      }
    }
    exit 1' "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" "$WINEPREFIX/userdef.reg"
}
