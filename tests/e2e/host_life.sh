#!/bin/bash
# qzhost on Wine's SCM, copied and renamed beside its .ini file with a test
# program of our own: -check, install and start from the configuration, the
# program's output stamped in the log with its environment and folder, a
# graceful stop through the close message, a program that ignores every
# request ended with its child after the time-outs, crashes restarted with
# the doubling delay until the host gives up with 1066 and the program's
# code, and a host ended by force taking its program and child with it.
. "$QZ_SOURCE_DIR/tests/e2e/commands_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/runtime_lib.sh"
. "$QZ_SOURCE_DIR/tests/e2e/host_lib.sh"
qz_cmd_begin

qz_host_setup "$QZ_TMP/host" myhost
NAME=QzHostTest
qz_cleanup_service $NAME
W="$(qz_winpath "$HOST_DIR")"

qz_host_ini "[service]
name = $NAME
display-name = Host test
start-type = demand
[program]
executable = hostprog.exe
arguments = --out \"hello world\" --err oops --env GREETING --cwd --window
folder = C:\\windows
[environment]
GREETING = hi there
[stop]
ctrl-break = 2
close = 3
terminate = 3"

qz_expect_run "-check prints what would run" "check <$W\\myhost.ini> success!
  service: $NAME (Host test), start demand
  run: \"$W\\hostprog.exe\" --out \"hello world\" --err oops --env GREETING --cwd --window
  folder: C:\\windows
  environment: GREETING=hi there
  restart: on-failure, delay 1 s doubling to 60 s, reset after a run of 60 s, give up after 5 failures in 300 s
  stop: Ctrl+Break 2 s, close windows 3 s, end 3 s
  log: $W\\myhost.log, 10240 KiB, 5 kept
" "$HOST" -check

qz_expect_run "install from the configuration" "install service <$NAME> success!
" "$HOST" -install
qz_expect_eq "registered as the host with the service switch" \
  "$W\\myhost.exe /service" "$(qz_config $NAME path)"
qz_expect_eq "start type from the configuration" 3 "$(qz_config $NAME start)"
qz_expect_eq "display name from the configuration" "Host test" "$(qz_config $NAME display)"

qz_expect_command "$HOST" $NAME start 4
qz_host_wait_log 'stdout: cwd=' || qz_fail "the program's output reached the log"
qz_host_expect_line "started line with the process id" \
  '\] program started, process id [0-9]+: "'"$(qz_host_re "$W")"'\\hostprog.exe" --out'
qz_host_expect_line "standard output, stamped" '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[[0-9]+\] stdout: hello world$'
qz_host_expect_line "standard error, stamped" '^[0-9-]{10} [0-9:.]{12} \[[0-9]+\] stderr: oops$'
qz_host_expect_line "environment addition" 'stdout: GREETING=hi there$'
qz_host_expect_line "working folder" 'stdout: cwd=C:\\windows$'
qz_run "$HOST" -status
qz_expect_eq "-status while running" "  state: 4 RUNNING" "$(printf '%s\n' "$OUT" | sed -n 2p)"

# Wine refuses console control events between processes (error 6), so the
# close message is the way that ends this program gracefully here.
qz_expect_command "$HOST" $NAME stop 1
qz_host_expect_line "Ctrl+Break tried first" 'stop: Ctrl\+Break (sent, waiting up to 2 s|not delivered: .* \([0-9]+\))$'
qz_host_expect_line "the program took the close message" 'stdout: got close, ending$'
qz_host_expect_line "ended gracefully" 'stop: the program ended after (Ctrl\+Break|the close message)$'
qz_host_expect_line "exit code 0" 'program exited with code 0 after'
qz_expect_eq "no program left" 0 "$(qz_rt_wait_processes hostprog.exe 0)"

# A program that ignores Ctrl+Break and the close message, with a child;
# the server is traced to see the stop's progress reports.
qz_rt_traced_server "$QZ_TMP/trace"
qz_host_ini "[service]
name = $NAME
start-type = demand
[program]
executable = hostprog.exe
arguments = --break ignore --window --child
[stop]
ctrl-break = 2
close = 2
terminate = 3"
: >"$HOST_LOG"
qz_expect_command "$HOST" $NAME start 4
qz_host_wait_log 'stdout: child [0-9]+' || qz_fail "the program started its child"
qz_expect_eq "program and child run" 2 "$(qz_rt_pids hostprog.exe | wc -l)"
qz_expect_command "$HOST" $NAME stop 1
qz_host_expect_line "close message ignored" 'stdout: ignored close$'
qz_host_expect_line "ended last" 'stop: ending the program and every process it started, waiting up to 3 s$'
close_at="$(qz_host_time 'stop: close sent to')"
end_at="$(qz_host_time 'stop: ending the program')"
[ -n "$close_at" ] && [ -n "$end_at" ] && [ $((end_at - close_at)) -ge 1900 ] &&
  qz_pass "the close message was given its 2 s" ||
  qz_fail "the close message was given its 2 s: $close_at -> $end_at"
qz_expect_eq "program and child ended" 0 "$(qz_rt_wait_processes hostprog.exe 0)"
progress="$(qz_rt_reports "$QZ_TMP/trace" $NAME |
  awk 'function hex(t,  v, i) { v = 0; t = tolower(substr(t, 3))
                                 for (i = 1; i <= length(t); i++) v = v * 16 + index("0123456789abcdef", substr(t, i, 1)) - 1
                                 return v }
       $2 == "0x3" && $7 == "0xbb8" { n++; if (hex($6) <= last) bad = 1; last = hex($6) }
       END { print (n >= 2 && !bad) ? "advancing" : "n=" n " bad=" bad }')"
qz_expect_eq "the stop reported progress with advancing check points" advancing "$progress"

# Crashes: restarted after 1 s, then 2 s; the third failure within the
# window ends the service with 1066 and the program's code.
qz_host_ini "[service]
name = $NAME
start-type = demand
[program]
executable = hostprog.exe
arguments = --out run --exit 3 --after 300
[restart]
max-failures = 3
failure-window = 60"
: >"$HOST_LOG"
qz_expect_command "$HOST" $NAME start 4
qz_expect_state "stopped once the host gave up" $NAME 1
qz_expect_eq "the host's lines of the crashes, in order" "program started
program exited with code 3
restarting in 1 s
program started
program exited with code 3
restarting in 2 s
program started
program exited with code 3
giving up after 3 failure(s) within 60 s: the service stops with 1066 and the program's exit code 3" \
  "$(qz_host_lines | sed -n 's/^[^]]*\] //p' | grep -E '^(program|restarting|giving up)' |
     sed 's/^\(program started\).*/\1/; s/^\(program exited with code [0-9]*\).*/\1/')"
first_exit="$(qz_host_time 'exited with code 3' 1)"
second_start="$(qz_host_time 'program started' 2)"
second_exit="$(qz_host_time 'exited with code 3' 2)"
third_start="$(qz_host_time 'program started' 3)"
[ $((second_start - first_exit)) -ge 950 ] && [ $((third_start - second_exit)) -ge 1950 ] &&
  qz_pass "the delays doubled: 1 s, then 2 s" ||
  qz_fail "the delays doubled: $first_exit -> $second_start, $second_exit -> $third_start"
qz_expect_run "-status shows 1066 and the program's code" "status service <$NAME> success!
  state: 1 STOPPED
  process: 0
  exit code: 1066, service-specific 3
" "$HOST" -status
query="$(wine sc query $NAME </dev/null 2>/dev/null | tr -d '\r')"
qz_expect_eq "sc query: WIN32_EXIT_CODE 1066" 1066 \
  "$(printf '%s\n' "$query" | awk -F: '/WIN32_EXIT_CODE/ { split($2, v, " "); print v[1] }')"
qz_expect_eq "sc query: the program's exit code" 3 \
  "$(printf '%s\n' "$query" | awk -F: '/SERVICE_EXIT_CODE/ { split($2, v, " "); print v[1] }')"

# A stop during a restart's delay ends the service without another run.
qz_host_ini "[service]
name = $NAME
start-type = demand
[program]
executable = hostprog.exe
arguments = --exit 4 --after 200
[restart]
max-failures = 0
delay-limit = 30"
: >"$HOST_LOG"
qz_expect_command "$HOST" $NAME start 4
qz_host_wait_log 'restarting in 4 s$' || qz_fail "the delays reached 4 s"
qz_expect_command "$HOST" $NAME stop 1
qz_expect_eq "no run after the stop" 3 "$(qz_host_lines | grep -c 'program started')"
# The commands write their result lines to the log file too.
qz_expect_eq "the host's last line" "host stopped" \
  "$(qz_host_lines | grep -v ' service <[^>]*> \(success\|failure\)' | tail -1 | sed 's/^[^]]*\] //')"
qz_host_expect_line "the stop command's result line" '\] stop service <'"$NAME"'> success!$'
qz_run "$HOST" -status
qz_expect_eq "a stop during the delay is a clean stop" "  exit code: 0, service-specific 0" \
  "$(printf '%s\n' "$OUT" | sed -n 4p)"

# policy never: a clean end of the program ends the service cleanly.
qz_host_ini "[service]
name = $NAME
start-type = demand
[program]
executable = hostprog.exe
arguments = --exit 0 --after 3000
[restart]
policy = never"
: >"$HOST_LOG"
qz_expect_run "-start of a program that ends soon" "start service <$NAME> success!
" "$HOST" -start
qz_expect_state "stopped after the program's clean end" $NAME 1
qz_host_expect_line "not restarted" 'the program ended cleanly and is not restarted; the service stops$'
qz_run "$HOST" -status
qz_expect_eq "exit code 0 after a clean end" "  exit code: 0, service-specific 0" \
  "$(printf '%s\n' "$OUT" | sed -n 4p)"

# The job ends the program and its child however the host ends.
qz_host_ini "[service]
name = $NAME
start-type = demand
[program]
executable = hostprog.exe
arguments = --break ignore --child"
: >"$HOST_LOG"
qz_expect_command "$HOST" $NAME start 4
qz_host_wait_log 'stdout: child [0-9]+' || qz_fail "the program started its child"
qz_expect_eq "program and child run" 2 "$(qz_rt_pids hostprog.exe | wc -l)"
host_pid="$(wine "$HOST" -status </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/^  process: //p')"
wine taskkill /f /pid "$host_pid" >/dev/null 2>&1
qz_expect_eq "the host was ended" 0 "$(qz_rt_wait_processes myhost.exe 0)"
qz_expect_eq "program and child ended with the host" 0 "$(qz_rt_wait_processes hostprog.exe 0)"
# Wine's SCM keeps the last state a service reported when its process is
# killed, so the service is stopped through the SCM before its removal.
wine sc stop $NAME >/dev/null 2>&1

qz_expect_run "uninstall" "uninstall service <$NAME> success!
" "$HOST" -uninstall
qz_done
