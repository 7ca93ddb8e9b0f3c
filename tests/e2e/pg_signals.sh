#!/usr/bin/env bash
# The program under a shutdown signal at a random moment of full backups,
# incremental backups and restores of the test bed's cluster: it ends with 17
# and no "MAIN " line, or, once a backup is made, with 0 and a Warning that
# the signal came too late (a restore likewise once its tree is being handed
# to the server's account; a signal that came after the task is sent again,
# at once, to a new run); it leaves no snapshot, mount, session of the
# module, lock name or process of the task behind, no restore directory after
# an aborted restore; a backup made afterwards succeeds. In the first round
# the archiver outlasts the signal, which must end the task. A task blocked on
# its configuration file ends within 5 s, interrupted where the call allows
# it. SIGTERM at each removal of an obsolete WAL file comes too late.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/backup.sh"

markers_create
"$PG" conf auto_remove_wal no  # every incremental refers to the same full backup
SNAPS="$HX_SANDBOX_DIR/snaps"
R="$HX_SANDBOX_DIR/restore"
mkdir -p "$SNAPS" "$R"
ref() { cp "$SNAPS/$1.snap" "$BK_TASK_DIR/ref-$1.snap" && printf '%s' "$BK_TASK_DIR/ref-$1.snap"; }

backup_run -1 -b cluster -n base
[ "$RUN_RC" = 0 ] || hx_fail_run "the full backup the tasks refer to failed"
cp "$BK_TASK_DIR/base.snap" "$SNAPS/base.snap"
SETTINGS="$(printf '%s\n' "$RUN_STDOUT" | sed -n 's/^MODULE SETTING://p' | paste -sd,)"
set +e  # every run is checked below

TOO_LATE="received a termination signal too late to stop the task"
for round in 1 2 3; do
  for kind in full incremental restore; do
    sig=$([ $((RANDOM % 2)) = 0 ] && echo TERM || echo INT)
    # A signal that comes after the task has done its work (its last answer
    # written, no abort reported) aborts nothing: the task runs again and
    # gets the signal at once.
    for try in 1 2; do
      case_name "$kind under SIG$sig, round $round$([ "$try" = 1 ] || echo ", again with the signal at once")"
      marker="HX_PG_SIGNALS_RUN=$$-$round-$kind"
      case $kind in
        full) args=(-1 -b cluster -n "f$round" -d "$BK_TASK_DIR" -m media1 -T t1 -e lvm_snapshot_size:50)
          done_line="MAIN ARCHIVE SIGN FILENAME:$BK_TASK_DIR/f$round.signature" ;;
        incremental) args=(-2 -b cluster -n "i$round" -s "$(ref base)" -d "$BK_TASK_DIR" -m media1 -T t1)
          done_line="MAIN ARCHIVE SIGN FILENAME:$BK_TASK_DIR/i$round.signature" ;;
        restore) args=(-r base -M "$(ref base)" -d "$R" -m media1 -T "r$round"
          -e "$SETTINGS,last:true,without_deployment_restore:yes")
          done_line="Info: The archive 'base' has been unpacked successfully" ;;
      esac
      rm -f "$HX_SANDBOX_DIR/run.out"
      env "$marker" HX_HXFD_SLOW="$([ "$round" = 1 ] && echo 4 || echo 0)" \
        "$HX_MODULE_BIN" "${args[@]}" >"$HX_SANDBOX_DIR/run.out" 2>&1 </dev/null &
      pid=$!
      wait_handled "$pid" || fail "no handler of SIGTERM in place"
      [ "$try" = 2 ] || sleep "$((RANDOM % 3)).$((RANDOM % 10))"
      kill -"$sig" "$pid" 2>/dev/null
      wait_ended "$pid" 120 || fail "the task hung"
      echo "$kind, round $round: SIG$sig, exit $RUN_RC"
      RUN_STDOUT="$(cat "$HX_SANDBOX_DIR/run.out")"
      RUN_LINES="$(hx_log_strip_stamps <<<"$RUN_STDOUT")"
      [ "$round" != 1 ] || assert_exit 17
      late=no
      if [ "$RUN_RC" != 17 ] && grep -Fxq -- "$done_line" <<<"$RUN_LINES" && ! grep -qF "$TOO_LATE" <<<"$RUN_LINES"; then
        late=yes
        [ "$try" = 1 ] || hx_fail_run "the signal sent at once came after the task"
      else
        case $RUN_RC in
          17) assert_eq "Info: Module was terminated. PID: $pid" "$(tail -n 1 <<<"$RUN_LINES")" "last line"
            assert_not_contains "MAIN " ;;
          # Past the point of no return: the backup is made, or the restored
          # tree is the server account's, and the task says so.
          0) assert_line "$done_line"
            if [ "$kind" = restore ]; then
              assert_line "Warning: Module pid: $pid $TOO_LATE: the restored tree is being handed to the server's \
account; the task goes on to its end and reports its result"
            else
              assert_line "Warning: Module pid: $pid $TOO_LATE: the backup is made and is being reported to the \
client; the task goes on to its end and reports its result"
            fi ;;
          *) hx_fail_run "exit code $RUN_RC: the abort did not happen" ;;
        esac
      fi
      sleep 0.5
      assert_eq "" "$(grep -lsaF "$marker" /proc/[0-9]*/environ)" "processes of the task left"
      nothing_left
      [ "$kind" = restore ] && [ "$RUN_RC" = 17 ] && [ -e "$R/base.rest" ] && fail "the restore directory is left"
      rm -rf "$R/base.rest" "$BK_TASK_DIR/f$round"* "$BK_TASK_DIR/i$round"* "$BK_TASK_DIR"/ref-*
      [ "$late" = yes ] || break
    done
  done
done

case_name "SIGTERM while the archiver unpacks a restore below the restore root"
rm -f "$HX_SANDBOX_DIR/run.out"
HX_HXFD_SLOW=30 "$HX_MODULE_BIN" -r base -M "$(ref base)" -d "$R" -m media1 -T r9 \
  -e "$SETTINGS,last:true,without_deployment_restore:yes" >"$HX_SANDBOX_DIR/run.out" 2>&1 </dev/null &
pid=$!
wait_for_text "$HX_SANDBOX_DIR/run.out" "HXFD PID: " 30 || fail "the archiver did not start"
kill -TERM "$pid"
wait_ended "$pid" 120 || fail "the task hung"
RUN_STDOUT="$(cat "$HX_SANDBOX_DIR/run.out")"
assert_exit 17
[ -e "$R/base.rest" ] && fail "the restore directory is left"
nothing_left

case_name "SIGTERM while the restored tree is handed to the server's account: too late, exit 0"
# Every fchown of the task waits 3 s; the signal comes while the restore
# root's waits (its Info lines are written just before).
rm -f "$HX_SANDBOX_DIR/run.out"
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" strace -f -qq -o /dev/null -e trace=fchown -e inject=fchown:delay_enter=3000000 \
  "$HX_MODULE_BIN" -r base -M "$(ref base)" -d "$R" -m media1 -T r8 \
  -e "$SETTINGS,last:true,without_deployment_restore:yes" >"$HX_SANDBOX_DIR/run.out" 2>&1 </dev/null &
tracer=$!
pid=""
for _ in $(seq 6000); do
  pid="$(pgrep -P "$tracer" | head -n 1 || true)"
  [ -n "$pid" ] && grep -qF "Archive WALs: " "$HX_SANDBOX_DIR/run.out" &&
    cat /proc/"$pid"/task/*/syscall 2>/dev/null | grep -q '^93 ' && break
  sleep 0.01
done
kill -TERM "$pid"
wait_ended "$tracer" 120 || fail "the task hung"
RUN_STDOUT="$(cat "$HX_SANDBOX_DIR/run.out")"
RUN_LINES="$(hx_log_strip_stamps <<<"$RUN_STDOUT")"
assert_exit 0
assert_line "Warning: Module pid: $pid $TOO_LATE: the restored tree is being handed to the server's account; the \
task goes on to its end and reports its result"
assert_eq "postgres" "$(stat -c %U "$R/base.rest/postgresql_$(sed -n 's/.*pg_version:\([^,]*\).*/\1/p' <<<"$SETTINGS")")" \
  "owner of the restored tree"
rm -rf "$R/base.rest"
nothing_left

# A configuration file that does not answer: a FIFO without a writer blocks
# the open (of a query), one with a writer that never writes the read (of a
# backup), which the library repeats after an interruption.
CONF="/opt/halvex/etc/$(basename "$HX_MODULE_BIN").conf"
mv "$CONF" "$CONF.kept"
mkfifo -m 600 "$CONF"
for blocked in open read; do
  case_name "SIGTERM while the configuration file blocks the $blocked"
  args=(-t) call=257  # openat
  [ "$blocked" = read ] && exec 7<>"$CONF" && args=(-1 -b cluster -n conf -d "$BK_TASK_DIR" -m media1 -T t1) && call=0
  rm -f "$HX_SANDBOX_DIR/run.out"
  "$HX_MODULE_BIN" "${args[@]}" >"$HX_SANDBOX_DIR/run.out" 2>&1 </dev/null &
  pid=$!
  for _ in $(seq 1000); do [ "$(cut -d' ' -f1 "/proc/$pid/syscall" 2>/dev/null)" = "$call" ] && break; sleep 0.005; done
  assert_eq "$call" "$(cut -d' ' -f1 "/proc/$pid/syscall" 2>/dev/null)" "system call the task is blocked in"
  kill -TERM "$pid"
  wait_ended "$pid" 5 || fail "the task did not end within 5 s"
  RUN_STDOUT="$(cat "$HX_SANDBOX_DIR/run.out")"
  RUN_LINES="$(hx_log_strip_stamps <<<"$RUN_STDOUT")"
  assert_exit 17
  # The interruption ends the open (no call is restarted after it); the read
  # the library repeats leaves the work behind.
  frozen="Warning: Module pid: $pid: the task's work is blocked in a system call that does not end; the task ends without it"
  if [ "$blocked" = open ]; then assert_no_line "$frozen"; else assert_line "$frozen"; fi
  nothing_left
done
exec 7<&-
rm -f "$CONF"
mv "$CONF.kept" "$CONF"

case_name "a full backup after the aborts"
"$PG" conf auto_remove_wal yes
backup_run -1 -b cluster -n after
assert_exit 0
nothing_left

# SIGTERM at each removal of an archived WAL file that a completed backup
# made obsolete: strace holds every removal in the WAL archive for a second
# and the signal comes meanwhile. The backup was reported as made, so the
# task is past its point of no return: it warns once, removes every file it
# selected and exits 0.
TRACE="$HX_SANDBOX_DIR/unlink.trace"
for kind in full incremental; do
  case_name "$kind backup, SIGTERM at each removal of an obsolete WAL file: too late, all removed, exit 0"
  for _ in 1 2 3; do
    "$PG" psql -q -c "INSERT INTO marker_data VALUES (nextval('marker_seq'))" -c "SELECT pg_switch_wal()" >/dev/null
  done
  args=(-1 -b cluster -n late)
  [ "$kind" = full ] || args=(-2 -b cluster -n late2 -s "$(ref late)")
  # LeakSanitizer cannot look at a process that a tracer holds.
  ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" HX_HXFD_SLOW=3 "$HX_MODULE_BIN" "${args[@]}" -d "$BK_TASK_DIR" \
    -m media1 -T t1 >"$HX_SANDBOX_DIR/run.out" 2>&1 </dev/null &
  pid=$!
  wait_for_text "$HX_SANDBOX_DIR/run.out" "HXFD PID: " 60 || fail "the archiver did not start"
  # Every file the backup may remove is in the archive by now.
  paths=(-P "$HX_PG_ARCHIVE")
  for f in "$HX_PG_ARCHIVE"/*; do paths+=(-P "$f"); done
  # Each file goes out of the archive by a rename (into the links directory,
  # where it is judged and unlinked).
  strace -p "$pid" -y -o "$TRACE" -e trace=renameat2 -e inject=renameat2:delay_enter=1s "${paths[@]}" \
    2>/dev/null &
  tracer=$!
  for _ in $(seq 100); do [ "$(awk '/^TracerPid:/ {print $2}' "/proc/$pid/status")" != 0 ] && break; sleep 0.05; done
  grep -q '^Packed: ' "$HX_SANDBOX_DIR/run.out" && fail "the archiver ended before the tracer was in place"
  signalled=0
  while case "$(proc_state "$pid")" in "" | Z) false ;; *) true ;; esac do
    while [ "$signalled" -lt "$(grep -c '^renameat2.*hx_backup_wal.*"removing\.' "$TRACE")" ]; do
      kill -TERM "$pid"
      signalled=$((signalled + 1))
    done
    sleep 0.05
  done
  wait_ended "$pid" 60 || fail "the task hung"
  wait "$tracer" || true
  RUN_STDOUT="$(cat "$HX_SANDBOX_DIR/run.out")"
  RUN_LINES="$(hx_log_strip_stamps <<<"$RUN_STDOUT")"
  assert_exit 0
  removed="$(sed -n 's/^Info: Remove: //p' <<<"$RUN_LINES")"
  assert_eq "$(wc -l <<<"$removed")" "$signalled" "signals, one at each removal"
  [ "$signalled" -ge 2 ] || fail "only $signalled removals"
  assert_line_count "Warning: Module pid: $pid received a termination signal too late to stop the task: the backup \
is made and is being reported to the client; the task goes on to its end and reports its result" 1
  # Every WAL file of the backup's range has left the archive (of an
  # incremental, all but its first, which its reference holds).
  low="$([ "$kind" = full ] || sed -n 's/^MODULE SETTING:start_wal_location://p' <<<"$RUN_LINES")"
  assert_eq "" "$(ls "$HX_PG_ARCHIVE" | awk -v low="$low" -v stop="$(sed -n 's/^MODULE SETTING:stop_wal_location://p' \
    <<<"$RUN_LINES")" '/^[0-9A-F]{24}$/ && $0 > low && $0 <= stop')" "WAL files of the backup left in the archive"
  assert_line "Info: The task to make $([ "$kind" = full ] && echo a || echo an) $kind backup of resource 'cluster' \
completed successfully"
  [ "$kind" = incremental ] || cp "$BK_TASK_DIR/late.snap" "$SNAPS/late.snap"
  nothing_left
done

finish
