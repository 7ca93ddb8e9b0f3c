#!/usr/bin/env bash
# sandbox: bare
# Signals against running tasks of the test module with the hxfd stand-in: pause
# and continue reach the archiver, SIGTERM ends a task with 17 after its clean-up,
# SIGINT ends a query with 17, two tasks on one resource exclude each other, and
# a killed archiver fails the task.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

RES="$W/res"
make_tree "$RES"
T="$W/T"
mkdir -p "$T"
run_module -b "$RES" -d "$T" -n db1 -m ms1 -T b1
assert_exit 0
keep_snap db1

# FIRST occurs in RUN_LINES before SECOND (whole lines).
assert_before() {
  local a b
  a="$(grep -nFx -m 1 -- "$1" <<<"$RUN_LINES" | cut -d: -f1 || true)"
  b="$(grep -nFx -m 1 -- "$2" <<<"$RUN_LINES" | cut -d: -f1 || true)"
  [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ] || hx_fail_run "expected '$1' before '$2'"
}

# Starts a slow task and waits until its archiver runs; sets HP (the archiver's PID).
start_slow() {
  HX_HXFD_SLOW="$1" run_bg "${@:2}"
  HP=""
  wait_for_text "$BG_OUT" "HXFD PID: " 20 && HP="$(hxfd_pid_of "$BG_OUT")" || fail "the archiver did not start"
}

# True when the process is gone or a zombie within five seconds.
wait_gone() {
  local i=0
  while [ "$i" -lt 100 ]; do
    case "$(proc_state "$1")" in "" | Z) return 0 ;; esac
    sleep 0.05
    i=$((i + 1))
  done
  return 1
}

case_name "SIGTSTP stops the archiver and holds the module; SIGCONT resumes both"
reset_logs
start_slow 2 -b "$RES" -d "$T" -n p1 -m ms1 -T p1
kill -TSTP "$BG_PID"
wait_for_state "$HP" T 10 || fail "the archiver was not stopped (state $(proc_state "$HP"))"
sleep 0.5
case "$(proc_state "$BG_PID")" in S | D | R) ;; *) fail "the module is in state $(proc_state "$BG_PID")" ;; esac
sleep 3 # longer than the archiver's work: nothing may move while paused
[ "$(proc_state "$HP")" = T ] || fail "the archiver went on during the pause"
grep -q '^Packed: ' "$BG_OUT" && fail "the archiver finished during the pause"
kill -CONT "$BG_PID"
wait_bg
assert_exit 0
# Pause: the archiver first, then the module; continue: the module first.
assert_before "sent signal 19 to the process: $HP" "Info: Module pid: $BG_PID put on pause"
assert_before "Info: Module pid: $BG_PID continue working" "sent signal 18 to the process: $HP"
assert_line "MAIN ARCHIVE FILENAME:$T/p1.snap"

case_name "SIGCONT without a pause only logs and forwards"
start_slow 2 -b "$RES" -d "$T" -n p2 -m ms1 -T p2
kill -CONT "$BG_PID"
wait_bg
assert_exit 0
assert_before "Info: Module pid: $BG_PID continue working" "sent signal 18 to the process: $HP"
assert_no_line "Info: Module pid: $BG_PID put on pause"

for pause in no yes; do
  case_name "SIGTERM during the archiver run of a backup (paused: $pause)"
  reset_logs
  start_slow 30 -b "$RES" -d "$T" -n k1 -m ms1 -T k1
  [ -n "$(lock_names)" ] || fail "no lock name while the backup runs"
  if [ "$pause" = yes ]; then
    kill -TSTP "$BG_PID"
    wait_for_state "$HP" T 10 || fail "the archiver was not stopped"
  fi
  kill -TERM "$BG_PID"
  wait_bg
  assert_exit 17
  assert_before "Info: Test module: release interrupted=1" "Info: Module was terminated. PID: $BG_PID"
  assert_eq "exists|prepare replica=0|release interrupted=1" "$(hooks)" "hooks"
  assert_eq "" "$(lock_names)" "lock names left"
  wait_gone "$HP" || fail "the archiver survived the module"
  assert_not_contains "MAIN ARCHIVE FILENAME:"
  [ -e "$HX_MEDIA_DIR/k1" ] && fail "an archive was written"
done

case_name "SIGTERM while the preparation works: the abort takes effect as it ends, before the archiver"
reset_logs
HX_TEST_PREPARE_BUSY=2 run_bg -b "$RES" -d "$T" -n k2 -m ms1 -T k2
wait_for_text "$HOOKS_LOG" "prepare" 10 || fail "the preparation did not begin"
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_eq "exists|prepare replica=0|release interrupted=1" "$(hooks)" "hooks"
assert_not_contains "hxfd command:"
assert_eq 0 "$(argv_count)" "archiver calls"

case_name "SIGTERM during the archiver run of a restore removes the restore directory"
mkdir -p "$W/R"
reset_logs
start_slow 30 -r db1 -M "$(snap db1)" -d "$W/R" -m ms1 -T k3
[ -d "$W/R/db1.rest" ] || fail "no restore directory while the restore runs"
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_before "Info: Remove temporary operation directory: $W/R/db1.rest" "Info: Module was terminated. PID: $BG_PID"
assert_eq "before_restore" "$(hooks)" "hooks"
[ -d "$W/R" ] && [ ! -e "$W/R/db1.rest" ] || fail "the restore directory is left or the client's directory went"
assert_eq "" "$(lock_names)" "lock names left"
wait_gone "$HP" || fail "the archiver survived the module"

case_name "SIGTERM during a restore into an archive to patch keeps that archive whole"
mkdir -p "$W/R5/old.rest"
printf 'earlier part\n' >"$W/R5/old.rest/part1"
start_slow 30 -r db1 -M "$(snap db1)" -d "$W/R5" -i old -m ms1 -T k5
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_no_line "Info: Remove temporary operation directory: $W/R5/old.rest"
[ -f "$W/R5/old.rest/part1" ] || fail "the archive to patch was removed"
assert_eq "" "$(lock_names)" "lock names left"

case_name "SIGTERM during a query ends its whole command pipeline, without ps on the PATH"
marker="$BASHPID$RANDOM"
HX_MODULE_BIN=/usr/bin/env run_bg PATH=/nonexistent HX_TEST_QUERY_COMMAND="/bin/sleep 900.$marker | /bin/cat" \
  "$HX_MODULE_BIN" -t
for _ in $(seq 100); do grep -qsaF "900.$marker" /proc/[0-9]*/cmdline && break; sleep 0.05; done
grep -qsaF "900.$marker" /proc/[0-9]*/cmdline || fail "the query's pipeline did not start"
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_line "Info: Module was terminated. PID: $BG_PID"
sleep 0.5
grep -qsaF "900.$marker" /proc/[0-9]*/cmdline && fail "a process of the query outlived it"

case_name "SIGTERM while applying a replica removes only the reference snapshot directory"
mkdir -p "$W/A"
printf 'kept\n' >"$W/A/existing"
start_slow 30 -R db1 -d "$W/A" -M "$(snap db1)" -m ms1 -T k4
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_line "Info: Remove obsolete snapshot directory: $W/A/db1.snap_dir"
[ -f "$W/A/existing" ] && [ ! -e "$W/A/db1.snap_dir" ] || fail "destination's files removed or reference directory left"

case_name "SIGINT in a query mode exits 17"
# The module blocks writing to a full pipe, so the interrupt meets it inside a write.
mkfifo "$W/fifo"
exec 3<>"$W/fifo"
head -c 65536 /dev/zero >&3
"$HX_MODULE_BIN" -t >&3 2>/dev/null </dev/null &
QPID=$!
sleep 1
if kill -0 "$QPID" 2>/dev/null; then
  kill -INT "$QPID"
  timeout 3 cat <&3 >"$W/query.out" || true
  rc=0
  wait "$QPID" || rc=$?
  assert_eq 17 "$rc" "exit code"
  grep -aq "Info: Module was terminated. PID: $QPID" "$W/query.out" || fail "no termination message on standard output"
  grep -q "Info: Module was terminated. PID: $QPID" "/opt/halvex/log/$(basename "$HX_MODULE_BIN").log" ||
    fail "no termination message in the log file"
else
  fail "the query ended before it could be interrupted"
fi
exec 3>&-
assert_eq "" "$(lock_names)" "lock names"

case_name "two tasks on one resource: the second is refused while the first runs"
reset_logs
start_slow 3 -b "$RES" -d "$T" -n c1 -m ms1 -T c1
run_module -b "$RES" -d "$T" -n c2 -m ms1 -T c2
assert_exit 2
assert_line "Info: Can't run more than one task on the resource: '$RES' at the same time"
assert_line_matches '^MODULE PID:[0-9]+$'
wait_bg
assert_exit 0
assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks (only the first task's)"
run_module -b "$RES" -d "$T" -n c3 -m ms1 -T c3
assert_exit 0

case_name "two restores of one record: the second is refused"
mkdir -p "$W/R2"
start_slow 3 -r db1 -M "$(snap db1)" -d "$W/R2" -m ms1 -T c4
cp "$W/snaps/db1.snap" "$W/in/db1-second.snap"
run_module -r db1 -M "$W/in/db1-second.snap" -d "$W" -m ms1 -T c5
assert_exit 2
assert_line "Info: Can't run more than one task on the resource: 'db1' at the same time"
[ -e "$W/db1.rest" ] && fail "the refused restore made a directory"
wait_bg
assert_exit 0

# A killed archiver fails the task; killing its shell too leaves the module's
# child ended by a signal, with no exit status.
for victim in archiver shell; do
  case_name "the $victim killed during a backup fails the backup"
  reset_logs
  start_slow 30 -b "$RES" -d "$T" -n "x$victim" -m ms1 -T x1
  SHELL_PID="$(awk '{print $4}' "/proc/$HP/stat" || true)"
  if [ "$victim" = shell ] && [ "$SHELL_PID" != "$BG_PID" ]; then kill -KILL "$SHELL_PID"; fi
  kill -KILL "$HP"
  wait_bg
  assert_exit 6
  assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
  assert_not_contains "MAIN ARCHIVE FILENAME:"
  [ -e "$HX_MEDIA_DIR/x$victim" ] && fail "an archive was written"
done

case_name "an archiver killed during a restore fails the restore"
mkdir -p "$W/R3"
reset_logs
start_slow 30 -r db1 -M "$(snap db1)" -d "$W/R3" -m ms1 -T x2
kill -KILL "$HP"
wait_bg
assert_exit 7
assert_eq "before_restore|after_restore" "$(hooks)" "hooks"
assert_no_line "Info: The archive 'db1' has been unpacked successfully"
[ -e "$W/R3/db1.rest" ] && fail "the restore directory is left"

finish
