#!/usr/bin/env bash
# sandbox: bare
# Backups whose archiver runs on a second host over ssh (the test module with a
# remote host, the host of testbed/remote-host): the whole road, the refusals
# before any remote command, a failure at each remote step with what is left
# on the remote host, quoting of values that reach the remote shell, and
# pause, continue and abort of the remote archiver (which outlives its ssh
# session: only its PID ends it), bounded when the remote host does not answer.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

REMOTE="$HX_TESTBED_DIR/remote-host"
"$REMOTE" up
KEYS="-x /opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem"
HEAD="/opt/halvex/bin/hxfd -a sha2 -2 -b 16384"
HEAD_CMD="cd / && /opt/halvex/bin/hxfd -a sha2 -2  -b 16384"
SECRETS=/opt/halvex/var/tasks
SSH="/usr/bin/ssh -q -l root hx-remote"
SIG="bool HxModuleUniversal::make_backup_remotely()"
CLEAN_SIG="bool HxModuleUniversal::cleanup_remote_host(const string&)"
RES="$HX_REMOTE_SHARED/res"
make_tree "$RES"
T="$W/T"
mkdir -p "$T" "$W/local"
"$REMOTE" exec mkdir -p "$T"
for t in t1 t2; do echo "secret $t" >"$SECRETS/task_secret_$t"; done
cp "$HX_REMOTE_DIR/opt/halvex/bin/hxfd" "$W/hxfd.standin"
cd "$W"

run_remote() { HX_TEST_REMOTE_HOST="$HX_REMOTE_HOST" run_module "$@"; }
# Starts a backup NAME in the background whose remote archiver works SECONDS
# before it writes; waits for its PID line and sets RPID (a remote PID).
start_slow() {
  "$REMOTE" env HX_HXFD_SLOW="$1"
  HX_TEST_REMOTE_HOST="$HX_REMOTE_HOST" run_bg -b "$RES" -d "$T" -n "$2" -m ms1 -T t1
  wait_for_text "$BG_OUT" "HXFD PID: " 60 || fail "no PID line from the remote archiver"
  RPID="$(hxfd_pid_of "$BG_OUT")"
}
finish_slow() {
  wait_bg
  "$REMOTE" env
}
sessions() { grep -c '^Starting session: ' "$HX_REMOTE_SSHD_LOG" || true; }
# What the remote host holds of the task: its /tmp and its task secret files.
remote_state() { (cd "$HX_REMOTE_DIR" && find tmp opt/halvex/var/tasks | sort); }
remote_argv() { tail -n 1 "$HX_REMOTE_HXFD_ARGV" 2>/dev/null; }
remote_proc_state() { "$REMOTE" exec sed -E 's/^[0-9]+ \(.*\) ([A-Za-z]) .*/\1/' "/proc/$1/stat" 2>/dev/null; }
# Waits up to 20 s until the remote process PID is in STATE ("" once it is gone).
wait_remote_state() {
  local i=0
  until [ "$(remote_proc_state "$1")" = "$2" ] || [ "$i" -ge 400 ]; do
    sleep 0.05
    i=$((i + 1))
  done
}
# The remote archiver becomes a wrapper: the stand-in runs, then SNIPPET with
# $meta and $list set to the values of -m and -c.
remote_wrapper() {
  cat >"$HX_REMOTE_DIR/opt/halvex/bin/hxfd" <<EOF
#!/bin/sh
meta= list= prev=
for a in "\$@"; do
  [ "\$prev" = -m ] && meta="\$a"
  [ "\$prev" = -c ] && list="\$a"
  prev="\$a"
done
/opt/halvex/bin/hxfd.standin "\$@"
rc=\$?
$1
exit \$rc
EOF
  cp "$W/hxfd.standin" "$HX_REMOTE_DIR/opt/halvex/bin/hxfd.standin"
}
standin_back() { install -m 755 "$W/hxfd.standin" "$HX_REMOTE_DIR/opt/halvex/bin/hxfd"; }
# A cleaned remote host holds the task directory and nothing of the task.
assert_remote_cleaned() { assert_eq "$clean_state" "$(remote_state)" "remote host after the task"; }

clean_state="$(remote_state)"

case_name "the whole road: copy, remote archiver, meta file back, remote host cleaned"
reset_logs
before="$(sessions)"
run_remote -b "$RES" -d "$T" -n db1 -m ms1 -T t1
assert_exit 0
assert_eq "$HEAD -c $T/db1.hxfd.list $KEYS -z None -M ms1 -N db1 -T t1 -s $SECRETS//task_secret_t1 -m $T/db1.snap_dir/db1.meta" \
  "$(remote_argv)" "remote archiver argv"
assert_eq 0 "$(argv_count)" "local archiver calls"
order="$(printf '%s\n' "$RUN_LINES" | { grep -E '^(Info: (Testing|Creating|Coping|Starting|Remote|Cleaning|Test module: release)|HXFD PID: |Packed: |MAIN ARCHIVE FILENAME:)' || true; } | sed -E 's/^(Info: [A-Za-z]+ [A-Za-z]+|HXFD PID|Packed|MAIN ARCHIVE FILENAME).*/\1/' | paste -sd'|')"
assert_eq "Info: Testing connection|Info: Creating directories|Info: Coping files|Info: Starting remote|HXFD PID|Packed|Info: Remote HXFD|Info: Coping resulting|Info: Cleaning remote|Info: Test module|MAIN ARCHIVE FILENAME" \
  "$order" "order of the steps"
assert_line "Info: Testing connection to remote host: hx-remote"
assert_line "MAIN ARCHIVE FILENAME:$T/db1.snap"
# Connection test, test -d, mkdir, two copies, archiver, test -f, fetch, two removals.
assert_eq 10 "$(($(sessions) - before))" "ssh sessions"
assert_remote_cleaned
# The archive reached the media server and holds the resource.
mkdir -p "$W/check1" "$W/meta1"
tar xzf "$T/db1.snap" -C "$W/meta1"
$HEAD -R db1 -M ms1 -T t1 -s x -m "$W/meta1/db1.meta" -d "$W/check1" >/dev/null || fail "restore of db1 failed"
assert_same_tree "$RES" "$W/check1/${RES#/}"
# The local task directory holds what a local run of the same task leaves.
run_module -b "$RES" -d "$W/local" -n db1 -m ms0 -T t1
assert_exit 0
assert_eq "$(ls "$W/local")" "$(ls "$T")" "task directory"
assert_eq "$(tar tzf "$W/local/db1.snap" | sort)" "$(tar tzf "$T/db1.snap" | sort)" "snapshot file members"

case_name "local restrictions: the list goes to the remote host for -X and is removed there"
printf '/srv/other\n' >"$RESTRICTION_LIST"
run_remote -b "$RES" -d "$T" -n db7 -m ms1 -T t1 -j
rm -f "$RESTRICTION_LIST"
assert_exit 0
assert_eq "$HEAD -c $T/db7.hxfd.list $KEYS,/srv/other -z None -M ms1 -N db7 -T t1 -s $SECRETS//task_secret_t1 -m $T/db7.snap_dir/db7.meta -X $T/db7.snap_dir/${RESTRICTION_LIST##*/}" \
  "$(remote_argv)" "remote archiver argv"
assert_remote_cleaned

case_name "refusals happen before any remote command"
before="$(sessions)"
HX_TEST_CAPABILITIES=AutonomousMode=1 run_remote -b "$RES" -d "$T" -n r1 --autonomous
assert_exit 6
assert_line "Error: $SIG: Autonomous mode is not supported for remote backup hxfd mode"
run_remote -b "$RES" -d "$T" -n r2 -m ms1 -T t1 --dgst
assert_exit 6
assert_line "Error: $SIG: Digital signature is not supported for remote backup hxfd mode"
echo key >"$W/key"
run_remote -b "$RES" -d "$T" -n r3 -m ms1 -T t1 -C kuznyechik -k "$W/key"
assert_exit 6
assert_line "Error: $SIG: Encrytping signature is not supported for remote backup hxfd mode"
HX_TEST_REMOTE_HOST="-oProxyCommand=touch $W/proxy" run_module -b "$RES" -d "$T" -n r4 -m ms1 -T t1
assert_exit 6
assert_line "Error: $SIG: invalid remote user or host: 'root@-oProxyCommand=touch $W/proxy'"
[ ! -e "$W/proxy" ] || fail "a host value ran a local command"
assert_eq "$before" "$(sessions)" "ssh sessions"
assert_remote_cleaned

case_name "host down: no connection, the remote host untouched"
"$REMOTE" link down
run_remote -b "$RES" -d "$T" -n f6 -m ms1 -T t1
"$REMOTE" link up
assert_exit 6
# A log message is one line on standard output: its inner line ends show as \n.
assert_line_matches "^Error: $(printf '%s' "$SIG" | sed 's/[()]/\\&/g'): the ssh unable to connect\. command output: .*\\\\nssh connection failed to: hx-remote$"
assert_remote_cleaned

case_name "task directory missing on the remote host"
mkdir -p "$W/only-local"
run_remote -b "$RES" -d "$W/only-local" -n f7 -m ms1 -T t1
assert_exit 6
assert_line "Error: $SIG: command output: \\nfolder: $W/only-local does not exist on remote host: hx-remote"
assert_remote_cleaned

case_name "directories cannot be made on the remote host: untouched"
"$REMOTE" exec touch "$T/f8.snap_dir"
state="$(remote_state)"
run_remote -b "$RES" -d "$T" -n f8 -m ms1 -T t1
assert_exit 6
assert_line "Error: $SIG: the following command produced an error: $SSH 'mkdir -p $T/f8.snap_dir /opt/halvex/var/tasks/'\\ncommand output: mkdir: cannot create directory '$T/f8.snap_dir': File exists"
assert_eq "$state" "$(remote_state)" "remote host"
"$REMOTE" exec rm "$T/f8.snap_dir"

case_name "a copy fails: the remote host is cleaned"
run_remote -b "$RES" -d "$T" -n f9 -m ms1 -T t9
assert_exit 6
assert_line_starts "Error: $SIG: the following command produced an error: /usr/bin/scp $SECRETS//task_secret_t9 root@hx-remote:$SECRETS//task_secret_t9\\ncommand output: "
assert_line "Info: Cleaning remote host"
assert_remote_cleaned

case_name "the remote archiver fails: cleaned"
"$REMOTE" env HX_HXFD_FAIL=backup
run_remote -b "$RES" -d "$T" -n f10 -m ms1 -T t1
"$REMOTE" env
assert_exit 6
assert_line "Error: $SIG: remote HXFD command $SSH '$HEAD_CMD -c $T/f10.hxfd.list $KEYS -z None -M ms1 -N f10 -T t1 -s $SECRETS//task_secret_t1 -m $T/f10.snap_dir/f10.meta 2>&1'\\n produced an error, hxfd out: hxfd: error: backup failed on request (HX_HXFD_FAIL)"
assert_remote_cleaned

case_name "the remote archiver is killed: cleaned"
start_slow 600 f10k
"$REMOTE" exec kill -KILL "$RPID"
finish_slow
assert_exit 6
assert_line_matches "\\\\n produced an error, hxfd out: hxfd: working slowly for 600 s$"
assert_remote_cleaned

case_name "the meta file is missing on the remote host: cleaned"
remote_wrapper 'rm -f "$meta"'
run_remote -b "$RES" -d "$T" -n f11 -m ms1 -T t1
standin_back
assert_exit 6
assert_line_starts "Error: $SIG: the following command produced an error: $SSH 'test -f $T/f11.snap_dir/f11.meta'\\ncommand output: "
assert_line_matches "\\\\nmetafile: $T/f11.snap_dir/f11.meta does not exist on remote host: hx-remote$"
assert_remote_cleaned

case_name "fetching the meta file fails: cleaned"
mkdir -p "$T/f12.snap_dir"
ln -s /nonexistent/dir/f12.meta "$T/f12.snap_dir/f12.meta"
run_remote -b "$RES" -d "$T" -n f12 -m ms1 -T t1
assert_exit 6
assert_line_starts "Error: $SIG: the following command produced an error: /usr/bin/scp root@hx-remote:$T/f12.snap_dir/f12.meta $T/f12.snap_dir/f12.meta\\ncommand output: "
assert_remote_cleaned

case_name "a failed clean-up after a successful run only warns"
remote_wrapper 'rm -f "$list"'
run_remote -b "$RES" -d "$T" -n c1 -m ms1 -T t1
standin_back
assert_exit 0
assert_line_starts "Warning: $CLEAN_SIG: the following command produced an error: $SSH 'rm $T/c1.hxfd.list $SECRETS//task_secret_t1 $T/c1.snap_dir/c1.meta'\\ncommand output: "
assert_line "Warning: $SIG: unable to cleanup remote host: hx-remote"
assert_line "MAIN ARCHIVE FILENAME:$T/c1.snap"
assert_remote_cleaned

case_name "values reaching the remote shell run nothing there"
name="q'\$(touch hx-pwned)' x"
run_remote -b "$RES" -d "$T" -n "$name" -m ms1 -T t1
assert_exit 0
assert_eq "$(argv_text $HEAD -c "$T/$name.hxfd.list" $KEYS -z None -M ms1 -N "$name" -T t1 -s $SECRETS//task_secret_t1 -m "$T/$name.snap_dir/$name.meta")" \
  "$(remote_argv)" "remote archiver argv"
assert_line "Info: Cleaning remote host"
[ -f "$HX_MEDIA_DIR/$name" ] || fail "no archive with the quoted name"
[ -f "$T/$name.snap" ] || fail "no snapshot file with the quoted name"
for f in /hx-pwned "$HX_REMOTE_DIR/home/hx-pwned" "$W/hx-pwned"; do
  [ ! -e "$f" ] || fail "a command ran: $f"
done
assert_remote_cleaned

case_name "pause and continue reach the remote archiver, never a local process of its number"
start_slow 8 p1
kill -TSTP "$BG_PID"
wait_remote_state "$RPID" T
assert_eq T "$(remote_proc_state "$RPID")" "state of the paused remote archiver"
helper="$({ grep -o '^sent signal 20 to the process: [0-9]*' "$BG_OUT" || true; } | sed 's/.*: //')"
assert_eq "$BG_PID" "$(cut -d' ' -f4 "/proc/$helper/stat" 2>/dev/null)" "parent of the process the pause was sent to"
kill -CONT "$BG_PID"
finish_slow
assert_exit 0
assert_line "Info: Module pid: $BG_PID continue working"
assert_remote_cleaned

case_name "a pause before the remote archiver's PID line stops it as soon as the PID arrives"
"$REMOTE" env HX_HXFD_PID_DELAY=2 HX_HXFD_SLOW=2
HX_TEST_REMOTE_HOST="$HX_REMOTE_HOST" run_bg -b "$RES" -d "$T" -n "p2-$$" -m ms1 -T t1
# The archiver's ssh runs (its command line names the archive): pause now.
for _ in $(seq 400); do grep -qsaF -- "-N p2-$$ " /proc/[0-9]*/cmdline && break; sleep 0.05; done
kill -TSTP "$BG_PID"
wait_for_text "$BG_OUT" "HXFD PID: " 60 || fail "no PID line from the remote archiver"
RPID="$(hxfd_pid_of "$BG_OUT")"
wait_remote_state "$RPID" T
assert_eq T "$(remote_proc_state "$RPID")" "state of the remote archiver paused before its PID line"
kill -CONT "$BG_PID"
finish_slow
assert_exit 0
assert_remote_cleaned

# The remote archiver outlives its ssh session: only its PID ends it.
for paused in no yes; do
  case_name "an abort ends the remote archiver by its PID and cleans the remote host (paused: $paused)"
  start_slow 600 "a1$paused"
  if [ "$paused" = yes ]; then
    kill -TSTP "$BG_PID"
    wait_remote_state "$RPID" T
  fi
  kill -TERM "$BG_PID"
  finish_slow
  assert_exit 17
  wait_remote_state "$RPID" ""
  assert_eq "" "$(remote_proc_state "$RPID")" "remote archiver after the abort"
  [ ! -e "$HX_MEDIA_DIR/a1$paused" ] || fail "the aborted archive reached the media server"
  assert_remote_cleaned
done

case_name "a module killed outright: its helper ends the remote archiver"
start_slow 600 a2
kill -KILL "$BG_PID"
finish_slow
wait_remote_state "$RPID" ""
assert_eq "" "$(remote_proc_state "$RPID")" "remote archiver after the module was killed"
"$REMOTE" exec rm -rf "$T/a2.hxfd.list" "$T/a2.snap_dir" "$SECRETS/task_secret_t1"
assert_remote_cleaned

case_name "an abort whose clean-up the remote host does not answer ends within its bound, with a Warning"
start_slow 600 a3
# From now on every ssh session of the host hangs after its login.
echo 'sleep 60' >"$HX_REMOTE_DIR/home/.ssh/rc"
began=$SECONDS
kill -TERM "$BG_PID"
wait_ended "$BG_PID" 30 || fail "the abort hung"
rm "$HX_REMOTE_DIR/home/.ssh/rc"
RUN_LINES="$(hx_log_strip_stamps <"$BG_OUT")"
assert_exit 17
[ $((SECONDS - began)) -le 15 ] || fail "the abort took $((SECONDS - began)) s"
assert_line_starts "Warning: $CLEAN_SIG: the following command produced an error: /usr/bin/ssh -q -o BatchMode=yes \
-o ConnectTimeout=5 -l root hx-remote "
assert_line "Warning: $SIG: unable to cleanup remote host: hx-remote"
"$REMOTE" exec sh -c "kill -KILL $RPID; pkill -KILL -f '^sleep 60\$'; rm -rf $T/a3.hxfd.list $T/a3.snap_dir $SECRETS/task_secret_t1"
assert_remote_cleaned

finish
