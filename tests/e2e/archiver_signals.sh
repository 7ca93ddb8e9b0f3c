#!/usr/bin/env bash
# sandbox: bare
# Signals against running tasks of the test module with the hxfd stand-in:
# pause and continue reach the archiver, terminate ends a backup or restore
# with exit code 17 after its clean-up, interrupt ends a query mode with 17,
# two tasks on one resource exclude each other, and an archiver that is
# killed makes the task fail.
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

RES="$W/res"
make_tree "$RES"
T="$W/T"
mkdir -p "$T" "$W/snaps"

run_module -b "$RES" -d "$T" -n db1 -m ms1 -T b1
assert_exit 0
cp "$T/db1.snap" "$W/snaps/db1.snap"

snap() {
  mkdir -p "$W/in"
  cp "$W/snaps/$1.snap" "$W/in/$1.snap"
  printf '%s' "$W/in/$1.snap"
}

# Line number of the first line of $RUN_LINES equal to TEXT (empty when none).
line_no() { printf '%s\n' "$RUN_LINES" | grep -nFx -- "$1" | head -n 1 | cut -d: -f1; }

assert_before() {
  local a b
  a="$(line_no "$1")"
  b="$(line_no "$2")"
  if [ -z "$a" ] || [ -z "$b" ] || [ "$a" -ge "$b" ]; then
    fail "expected '$1' before '$2'"
    hx_dump_run
  fi
}

# Starts a slow task and waits until its archiver runs; sets HP (the archiver's PID).
start_slow() {
  local seconds="$1"
  shift
  HX_HXFD_SLOW="$seconds" run_bg "$@"
  HP=""
  if wait_for_text "$BG_OUT" "HXFD PID: " 20; then
    HP="$(hxfd_pid_of "$BG_OUT")"
  else
    fail "the archiver did not start"
  fi
}

wait_gone() {
  local i=0
  while [ -n "$(proc_state "$1")" ] && [ "$(proc_state "$1")" != Z ] && [ "$i" -lt 100 ]; do
    sleep 0.05
    i=$((i + 1))
  done
  [ -z "$(proc_state "$1")" ] || [ "$(proc_state "$1")" = Z ]
}

# ---------------------------------------------------------------------------
case_name "SIGTSTP stops the archiver and holds the module; SIGCONT resumes both"
reset_logs
start_slow 2 -b "$RES" -d "$T" -n p1 -m ms1 -T p1
kill -TSTP "$BG_PID"
wait_for_state "$HP" T 10 || fail "the archiver was not stopped (state $(proc_state "$HP"))"
sleep 0.5
case "$(proc_state "$BG_PID")" in
  S | D | R) ;;
  *) fail "the module itself is not running but in state $(proc_state "$BG_PID")" ;;
esac
sleep 3 # longer than the archiver's work: nothing may move while paused
[ "$(proc_state "$HP")" = T ] || fail "the archiver went on during the pause"
kill -0 "$BG_PID" 2>/dev/null || fail "the module ended during the pause"
grep -q '^Packed: ' "$BG_OUT" && fail "the archiver finished during the pause"
kill -CONT "$BG_PID"
wait_bg
assert_exit 0
assert_line "sent signal 20 to the process: $HP"
assert_line "Info: Module pid: $BG_PID put on pause"
assert_line "Info: Module pid: $BG_PID continue working"
assert_line "sent signal 18 to the process: $HP"
# Pause: the archiver first, then the module; continue: the module first.
assert_before "sent signal 20 to the process: $HP" "Info: Module pid: $BG_PID put on pause"
assert_before "Info: Module pid: $BG_PID continue working" "sent signal 18 to the process: $HP"
assert_line "MAIN ARCHIVE FILENAME:$T/p1.snap"

case_name "SIGCONT without a pause only logs and forwards"
start_slow 2 -b "$RES" -d "$T" -n p2 -m ms1 -T p2
kill -CONT "$BG_PID"
wait_bg
assert_exit 0
assert_line "Info: Module pid: $BG_PID continue working"
assert_line "sent signal 18 to the process: $HP"
assert_no_line "Info: Module pid: $BG_PID put on pause"

# ---------------------------------------------------------------------------
case_name "SIGTERM during the archiver run of a backup"
reset_logs
start_slow 30 -b "$RES" -d "$T" -n k1 -m ms1 -T k1
[ -n "$(lock_names)" ] || fail "no lock name while the backup runs"
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_line "Info: Module was terminated. PID: $BG_PID"
assert_before "Info: Test module: release interrupted=1" "Info: Module was terminated. PID: $BG_PID"
assert_eq "exists|prepare replica=0|release interrupted=1" "$(hooks)" "hooks"
assert_eq "" "$(lock_names)" "lock names left"
wait_gone "$HP" || fail "the archiver survived the module"
assert_not_contains "MAIN ARCHIVE FILENAME:"
[ -e "$HX_MEDIA_DIR/k1" ] && fail "an archive was written"

case_name "SIGTERM during a pause"
reset_logs
start_slow 30 -b "$RES" -d "$T" -n k2 -m ms1 -T k2
kill -TSTP "$BG_PID"
wait_for_state "$HP" T 10 || fail "the archiver was not stopped"
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_eq "exists|prepare replica=0|release interrupted=1" "$(hooks)" "hooks"
assert_eq "" "$(lock_names)" "lock names left"
wait_gone "$HP" || fail "the stopped archiver survived the module"

case_name "SIGTERM during the archiver run of a restore removes the restore directory"
R="$W/R"
mkdir -p "$R"
reset_logs
start_slow 30 -r db1 -M "$(snap db1)" -d "$R" -m ms1 -T k3
[ -d "$R/db1.rest" ] || fail "no restore directory while the restore runs"
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_line "Info: Remove temporary operation directory: $R/db1.rest"
assert_before "Info: Remove temporary operation directory: $R/db1.rest" "Info: Module was terminated. PID: $BG_PID"
assert_eq "before_restore" "$(hooks)" "hooks"
[ -e "$R/db1.rest" ] && fail "the restore directory is left"
[ -d "$R" ] || fail "the client's directory was removed"
assert_eq "" "$(lock_names)" "lock names left"
wait_gone "$HP" || fail "the archiver survived the module"

case_name "SIGTERM while applying a replica removes only the reference snapshot directory"
A="$W/A"
mkdir -p "$A"
printf 'kept\n' >"$A/existing"
reset_logs
start_slow 30 -R db1 -d "$A" -M "$(snap db1)" -m ms1 -T k4
kill -TERM "$BG_PID"
wait_bg
assert_exit 17
assert_line "Info: Remove obsolete snapshot directory: $A/db1.snap_dir"
[ -f "$A/existing" ] || fail "the destination's files were removed"
[ -e "$A/db1.snap_dir" ] && fail "the reference snapshot directory is left"

# ---------------------------------------------------------------------------
case_name "SIGINT in a query mode exits 17"
# The module blocks writing to a full pipe, so the interrupt meets it while
# it runs (inside a stream write).
mkfifo "$W/fifo"
exec 3<>"$W/fifo"
head -c 65536 /dev/zero >&3
"$HX_MODULE_BIN" -t >&3 2>"$W/query.err" </dev/null &
QPID=$!
sleep 1
if kill -0 "$QPID" 2>/dev/null; then
  kill -INT "$QPID"
  timeout 3 cat <&3 >"$W/query.out"
  wait "$QPID"
  rc=$?
  assert_eq 17 "$rc" "exit code"
  grep -aq "Info: Module was terminated. PID: $QPID" "$W/query.out" || fail "no termination message on standard output"
  grep -q "Info: Module was terminated. PID: $QPID" "/opt/halvex/log/$(basename "$HX_MODULE_BIN").log" ||
    fail "no termination message in the log file"
else
  fail "the query ended before it could be interrupted"
fi
exec 3>&-
assert_eq "" "$(lock_names)" "lock names"

# ---------------------------------------------------------------------------
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
R2="$W/R2"
mkdir -p "$R2"
start_slow 3 -r db1 -M "$(snap db1)" -d "$R2" -m ms1 -T c4
cp "$W/snaps/db1.snap" "$W/in/db1-second.snap"
run_module -r db1 -M "$W/in/db1-second.snap" -d "$W" -m ms1 -T c5
assert_exit 2
assert_line "Info: Can't run more than one task on the resource: 'db1' at the same time"
[ -e "$W/db1.rest" ] && fail "the refused restore made a directory"
wait_bg
assert_exit 0

# ---------------------------------------------------------------------------
case_name "an archiver killed during a backup fails the backup"
reset_logs
start_slow 30 -b "$RES" -d "$T" -n x1 -m ms1 -T x1
kill -KILL "$HP"
wait_bg
assert_exit 6
assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
assert_line_matches "^Error: bool HxModuleUniversal::make_backup_locally\(\): cd / && /opt/halvex/bin/hxfd .* -N x1 .*"
assert_not_contains "MAIN ARCHIVE FILENAME:"
[ -e "$HX_MEDIA_DIR/x1" ] && fail "an archive was written"

case_name "an archiver killed together with its shell fails the backup"
# The module's child is then itself ended by a signal, with no exit status.
reset_logs
start_slow 30 -b "$RES" -d "$T" -n x3 -m ms1 -T x3
SHELL_PID="$(awk '{print $4}' "/proc/$HP/stat")"
if [ "$SHELL_PID" = "$BG_PID" ]; then
  kill -KILL "$HP"
else
  kill -KILL "$SHELL_PID" "$HP"
fi
wait_bg
assert_exit 6
assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
assert_not_contains "MAIN ARCHIVE FILENAME:"

case_name "an archiver killed during a restore fails the restore"
R3="$W/R3"
mkdir -p "$R3"
reset_logs
start_slow 30 -r db1 -M "$(snap db1)" -d "$R3" -m ms1 -T x2
kill -KILL "$HP"
wait_bg
assert_exit 7
assert_eq "before_restore|after_restore" "$(hooks)" "hooks"
assert_no_line "Info: The archive 'db1' has been unpacked successfully"
[ -e "$R3/db1.rest" ] && fail "the restore directory is left"

finish
