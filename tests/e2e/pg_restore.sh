#!/usr/bin/env bash
# Restores into the test bed's running server through the real program and
# the archiver stand-in, from records that hold a cold copy of the cluster
# (data directory with tablespace_map, tablespace ts1, WAL archive): deployment
# into the running and into a stopped server, a second restore of the same
# record, a destination data directory that does not exist, restore without
# deployment, apply of a replica, a pg_wal that is a symbolic link, a server
# that does not start, the refusals that leave the server as it was, and
# aborts and kills during a deployment.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/restore.sh"

W="$RS_WORK"
D="$W/client"
mkdir -p "$D"
SETTINGS_OUT="$W/outside.conf"
printf 'site setting\n' >"$SETTINGS_OUT"
cp "$HX_PG_CONF" "$W/module.conf"

rs_mark before
# A WAL segment in the record's archive, which a small file system cannot hold.
rs_psql "SELECT pg_switch_wal()" >/dev/null
rs_ts_mark rec1
rs_cold_archive rec1
rs_ts_mark live
rs_mark after

# deployed: exit 0, the server runs out of recovery with exactly the rows of
# the record (its tablespace too), the restore directory is gone, files outside are untouched.
deployed() {
  assert_exit 0
  rs_recovered
  assert_eq "$1|$1" "$(rs_labels)" "marker rows"
  rs_ts_restored rec1
  rs_ts_mark live
  [ -e "$D/rec1.rest/postgresql_$RS_VERSION" ] && fail "the restore root is left"
  assert_eq "site setting" "$(cat "$SETTINGS_OUT")" "a file outside the server's directories"
}

case_name "restore into the running server: flushed before the stop, durable before the records say it is in place"
log_before="$(cat "$HX_PG_LOG")"
# The order of the calls that flush, stop, move and record, as strace sees
# them (LeakSanitizer can't look at a traced process).
real_module="$HX_MODULE_BIN"
printf '#!/bin/sh\nASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" exec strace -f --detach-on=execve -qq -o %s -e trace=syncfs,fsync,execve,renameat,renameat2 %s "$@"\n' \
  "$W/deploy.trace" "$real_module" >"$W/traced-module" && chmod 755 "$W/traced-module"
HX_MODULE_BIN="$W/traced-module"
rs_restore rec1 "$D" last:true
HX_MODULE_BIN="$real_module"
line_of() { grep -n "$1" "$W/deploy.trace" | sed -n "${2:-1}p" | cut -d: -f1; }
stop_at="$(line_of 'execve(.*"stop"')" start_at="$(line_of 'execve(.*"start"')"
complete_at="$(grep -n 'renameat(.*"deployment.new".*"deployment"' "$W/deploy.trace" | tail -n 1 | cut -d: -f1)"
last_move_at="$(grep -n 'renameat2(' "$W/deploy.trace" | awk -F: -v s="$start_at" '$1 < s' | tail -n 1 | cut -d: -f1)"
flush_at="$(grep -n '^[0-9]* *fsync(' "$W/deploy.trace" | awk -F: -v m="${last_move_at:-0}" '$1 > m' | head -n 1 | cut -d: -f1)"
[ -n "$stop_at" ] && [ -n "$(line_of 'syncfs(')" ] && [ "$(line_of 'syncfs(')" -lt "$stop_at" ] ||
  fail "the file systems were not flushed before the server was stopped"
[ -n "$last_move_at" ] && [ -n "$flush_at" ] && [ -n "$complete_at" ] && [ -n "$start_at" ] &&
  [ "$last_move_at" -lt "$flush_at" ] && [ "$flush_at" -lt "$complete_at" ] && [ "$complete_at" -lt "$start_at" ] ||
  fail "the moves were not flushed before the records said complete and the server started"
deployed before
assert_line "Direct restore PostgreSQL database cluster: $HX_PG_DATA..."
assert_line "Found PostgreSQL DB data_directory in the restored archive: $D/rec1.rest/postgresql_$RS_VERSION$HX_PG_DATA"
assert_line "Info: Found tablespace catalog in restored archive: $D/rec1.rest/postgresql_$RS_VERSION$HX_PG_TBLSPC"
assert_line_before "^Info: PostgreSQL is up now. Shutdown required$" "^Info: PostgreSQL shutted down$"
assert_line_before "^Info: PostgreSQL shutted down$" "^Info:    remove PostgreSQL path: \"$HX_PG_DATA\"$"
assert_line_before "^Info: Move all files from: .* to \"$HX_PG_TBLSPC\"$" "^Info: PostgreSQL started$"
assert_line "Info: Remove obsoleted: $D/rec1.rest/postgresql_$RS_VERSION"
assert_no_line "Error: Can't start PostgreSQL"
case "$(cat "$HX_PG_LOG")" in "$log_before"*) ;; *) fail "the server's log file was rewritten" ;; esac

case_name "a second restore of the same record, without pg_version"
rs_mark later
run_module -r rec1 -M "$W/rec1.meta" -m media1 -T again -d "$D" \
  -e "config_file:$HX_PG_DATA/postgresql.conf,data_directory:$HX_PG_DATA,last:true"
deployed before
assert_line "Found PostgreSQL DB data_directory in the restored archive: $D/rec1.rest/postgresql_$HX_PG_DATA"

case_name "restore into a stopped server whose data directory does not exist"
"$PG" stop
rm -rf "$HX_PG_DATA"
rs_restore rec1 "$D" last:true
deployed before
assert_line "Info: PostgreSQL is down now"
assert_line "Info: Move: \"$D/rec1.rest/postgresql_$RS_VERSION$HX_PG_DATA\" to \"$(dirname "$HX_PG_DATA")\""
assert_eq "700 postgres" "$(stat -c '%a %U' "$HX_PG_DATA")" "mode and owner of the data directory"

case_name "restore without deployment"
rs_mark after
pid="$(rs_server_pid)"
rs_restore rec1 "$D" last:true,without_deployment_restore:yes
assert_exit 0
R="$D/rec1.rest/postgresql_$RS_VERSION"
assert_line "Info: The archive was restored without deployment: $R"
assert_line "Info: Archive WALs: \"$R$HX_PG_ARCHIVE\""
assert_eq "$pid|after before|after before" "$(rs_server_pid)|$(rs_labels)" "server and rows"
[ -f "$R$HX_PG_DATA/recovery.signal" ] && [ -d "$R$HX_PG_TBLSPC/PG_15_"* ] ||
  fail "the restored tree is not complete"
assert_eq "postgres" "$(stat -c %U "$R")" "owner of the restore root"
rm -rf "$D/rec1.rest"

case_name "apply of a replica"
mkdir -p "$W/replica"
run_module -R rec1 -d "$W/replica" -M "$W/rec1.meta" -m media1 -T apply1 \
  -e "config_file:$HX_PG_DATA/postgresql.conf,data_directory:$HX_PG_DATA,pg_version:$RS_VERSION"
assert_exit 0
rs_recovered
assert_eq "before|before" "$(rs_labels)" "marker rows"
rs_ts_mark live
assert_eq "" "$(ls -A "$W/replica")" "what the replica left in its directory"

# A record whose tablespace_map names, besides ts1, a directory of root's (a
# pg_tblspc link of the server's account can name any directory).
install -d -m 700 "$W/root-ts" && echo secret >"$W/root-ts/secret"
install -d -o postgres -g postgres "$W/account-ts" && echo planted >"$W/account-ts/planted"
printf '%s %s\n99999 %s\n' "$RS_TS1_OID" "$HX_PG_TBLSPC" "$W/root-ts" >"$W/root-ts.map"
rs_cold_archive rootts "$W/root-ts.map:${HX_PG_DATA#/}/tablespace_map" "$W/account-ts:${W#/}/root-ts"

# Each refusal: exit 7 with its Error line; the server keeps running with
# its rows and its tablespace; the WAL archive keeps its files.
rs_mark after
unchanged() {
  assert_eq "$pid|after before|after before" "$(rs_server_pid)|$(rs_labels)" "server and rows"
  rs_ts_restored live
  [ -z "$(comm -23 <(printf '%s\n' "$archive_before") <(ls "$HX_PG_ARCHIVE"))" ] || fail "archived files went"
}
refused() {
  assert_exit 7
  assert_line "$1"
  unchanged
}
pid="$(rs_server_pid)"
archive_before="$(ls "$HX_PG_ARCHIVE")"
S="bool hx_postgresql_common::deployment(const hx_pg_conf&, const pg_version&, const string&, const string&, const string&)"
rs_use_pg_ctl_wrapper

case_name "refused: a task directory inside the WAL archive, which the server's account owns"
mkdir -p "$HX_PG_ARCHIVE/restore-here"
rs_restore rec1 "$HX_PG_ARCHIVE/restore-here" last:true
refused "Error: virtual int HxModuleUniversal::define_restore_directory(): the directory -d \"$HX_PG_ARCHIVE/restore-here\" can't hold a restore: \"$HX_PG_ARCHIVE\": it is owned by uid $(id -u postgres); use a directory that only root can change"
rm -r "$HX_PG_ARCHIVE/restore-here"

case_name "refused: a tablespace location that root owns"
rs_restore rootts "$D" last:true
refused "Error: $S: the destination \"$W/root-ts\" is owned by uid 0, not by the server's account postgres (uid $(id -u postgres)); nothing was changed"
assert_eq "secret secret" "$(ls "$W/root-ts") $(cat "$W/root-ts/secret")" "root's directory"

case_name "refused: a set-aside directory that the server's account planted, with records of its own"
install -d -m 700 "$W/root-only" && echo secret >"$W/root-only/file"
install -d -o postgres -g postgres "$W/account"
runuser -u postgres -- sh -c 'printf %s "$1" >"$2/source" && printf %s "$3" >"$2/root" && : >"$2/filling" &&
  ln -s "$2" "$4/.hx_restore_deployment"' - "$W/root-only" "$W/account" "$D/rec1.rest/postgresql_$RS_VERSION" "$HX_PG_DATA"
rs_restore rec1 "$D" last:true
refused "Error: $S: the destination \"$HX_PG_DATA\" holds \"$HX_PG_DATA/.hx_restore_deployment\", which no deployment of this module recorded (it was not read); remove it and run the restore again; nothing was changed"
assert_eq "file secret" "$(ls "$W/root-only") $(cat "$W/root-only/file")" "the root-only directory"
rm "$HX_PG_DATA/.hx_restore_deployment"

case_name "refused: the status check fails (sudo refusing, played by pg_ctl)"
echo "sudo: sorry, you must have a tty to run sudo" >"$RS_CTL/status.fail"
rs_restore rec1 "$D" last:true
rm "$RS_CTL/status.fail"
refused "Error: $S: can't tell whether PostgreSQL is running (exit status 1); nothing was changed"
assert_line "Error: $S: command: /usr/bin/sudo -iu postgres $W/pg_ctl status -D $HX_PG_DATA"
assert_line "Error: sudo: sorry, you must have a tty to run sudo"

case_name "refused: the server does not stop"
echo "pg_ctl: stop refused by the test" >"$RS_CTL/stop.fail"
rs_restore rec1 "$D" last:true
rm "$RS_CTL/stop.fail"
refused "Error: Can't shutdown PostgreSQL"
assert_line "Error: pg_ctl: stop refused by the test"

case_name "refused: the WAL archive's file system has no room for the restored one"
mount -t tmpfs -o "size=1m,mode=750,uid=$(id -u postgres),gid=$(id -g postgres)" hx-small "$HX_PG_ARCHIVE"
rs_restore rec1 "$D" last:true
umount "$HX_PG_ARCHIVE"
assert_exit 7
assert_line_starts "Error: $S: not enough free space on the file system of \"$HX_PG_ARCHIVE\" for the restored files: "
unchanged

case_name "refused: the record lacks the tablespace"
printf 'HXFD file list:\n   %s : %s\n   %s : %s/tablespace_map\n' "$HX_PG_DATA" "${HX_PG_DATA#/}" \
  "$W/tablespace_map" "${HX_PG_DATA#/}" >"$W/nots.list"
/opt/halvex/bin/hxfd -a sha2 -2 -b 16384 -c "$W/nots.list" -M media1 -N nots -T cold \
  -s /opt/halvex/var/tasks//task_secret_cold -m "$W/nots.meta" >/dev/null || fail "the record was not made"
rs_restore nots "$D" last:true
refused "Error: Tablespace catalog not found in archive: $D/nots.rest/postgresql_$RS_VERSION$HX_PG_TBLSPC"

case_name "one deployment into a cluster at a time; an abort before the server is stopped"
touch "$RS_CTL/status.hold"
rs_restore_bg rec1 "$D" last:true
rs_held status
rs_restore nots "$D" last:true
assert_exit 2
assert_line "Error: Can't run the task: the cluster of the data directory '$HX_PG_DATA' is in use by another task of this module (PID $RS_PID, a restore of the record 'rec1'). Run it again when that task has ended"
kill -TERM "$RS_PID"
rs_bg_end
rs_release status
assert_exit 17
assert_eq "Info: Module was terminated. PID: $RS_PID" "$(tail -n 1 <<<"$RUN_LINES")" "last line"
unchanged

# Killed once the server has stopped (then started by hand on its own
# files), once while the data directory is copied in, once the restored
# cluster runs (then stopped by hand); each time run again. A run that
# resolves the interrupted deployment has passed its point of no return:
# terminated while it puts the server's files back (at the stop) or while
# it completes the deployment (at the start), it goes on to its end.
case_name "a deployment killed at three moments, and runs that resolve it terminated too late to stop them"
rs_mark later
late() {
  assert_line "Warning: Module pid: $RS_PID received a termination signal too late to stop the task: the deployment \
into the server has begun; the task goes on to its end and reports its result"
}
for step in KILL:stop TERM:stop KILL:cp KILL:start TERM:start; do
  touch "$RS_CTL/${step#*:}.hold"
  rs_restore_bg rec1 "$D" last:true
  rs_held "${step#*:}"
  kill -"${step%:*}" "$RS_PID"
  [ "${step%:*}" != TERM ] || wait_for_text "$RS_WORK/bg.out" "too late to stop the task" || fail "no late abort"
  rs_release "${step#*:}"
  rs_bg_end
  case $step in
    KILL:stop) "$PG" start || fail "the server did not start on its own files" ;;
    TERM:stop)
      deployed before
      assert_line "Info: Found the files of an interrupted deployment of this restore: putting the server's own files back"
      late ;;
    KILL:cp)
      [ -f "$HX_PG_DATA/.hx_restore_deployment/old/PG_VERSION" ] || fail "the old data directory is not set aside whole"
      rs_ts_restored rec1
      # Another restore does not take the interrupted deployment over.
      rs_restore nots "$D" last:true
      assert_exit 7
      assert_line "Error: $S: the cluster holds an interrupted deployment of the restore root \"$D/rec1.rest/postgresql_$RS_VERSION\": run that restore again to complete it; nothing was changed"
      [ -f "$HX_PG_DATA/.hx_restore_deployment/old/PG_VERSION" ] || fail "another restore touched the deployment" ;;
    KILL:start) "$PG" stop || fail "the restored cluster did not stop" ;;
    TERM:start)
      deployed before
      assert_line "Info: Found the files of an interrupted deployment of this restore: completing it"
      late ;;
  esac
done

case_name "the data volume runs full half way through the copy: everything back, the old rows served"
R="$D/rec1.rest/postgresql_$RS_VERSION"
rs_tree() { (cd "$R" && find . -printf '%p %y %m %u %g\n' && find . -type f -printf '%p %s\n') | sort; }
rs_mark after
expected="$(rs_labels)"
touch "$RS_CTL/stop.hold" "$RS_CTL/cp.hold" "$RS_CTL/cp.go"
rs_restore_bg rec1 "$D" last:true
rs_held stop
tree="$(rs_tree)"
rs_release stop
rs_held cp
# Meanwhile a file of the server's account fills the data volume (no blocks
# kept for root) but for 2 MiB. The restored WAL archive, on the restore
# root's file system, was renamed into place, within the server account's
# reach: it is removed, and the restore root with it.
volume="$(findmnt -n -o SOURCE --target "$HX_PG_DATA")"
tune2fs -r 0 "$volume" >/dev/null
size="$(($(stat -f -c '%a * %S' "$HX_PG_DATA") - 16777216))"
runuser -u postgres -- fallocate -l "$size" "$HX_PG_DATA/filler"
runuser -u postgres -- fallocate -o "$size" -l 14680064 "$HX_PG_DATA/filler"
rs_release cp
rs_bg_end
rm "$RS_CTL/cp.go"
assert_exit 7
assert_line_matches "No space left on device"
assert_line "Warning: \"$HX_PG_DATA/filler\" stays where it is: neither the server's own files nor the restored ones held it"
assert_line "Error: $S: the restored cluster was not deployed: the server's own files are back in place"
assert_line "Error: $S: restored entries that had been moved into the server's directories were removed, and the restore root \"$R\" with them: run the whole restore again"
[ -f "$HX_PG_DATA/filler" ] && rm "$HX_PG_DATA/filler" || fail "the account's file is gone"
tune2fs -m 5 "$volume" >/dev/null
rs_recovered
assert_eq "$expected" "$(rs_labels)" "marker rows"
rs_ts_restored live
[ -e "$R" ] && fail "the restore root is left"

case_name "a kept restore root that the server's account could change is refused; then the same restore deploys"
rs_restore rec1 "$D"
assert_exit 0
assert_eq "700 root" "$(stat -c '%a %U' "$R")" "mode and owner of the restore root a part before the last leaves"
chown postgres "$R"
rs_restore rec1 "$D" last:true
assert_exit 7
assert_line "Error: virtual bool HxModule_PG_Ostrel::before_restore(): the restore root \"$R\" can't be used (it is owned by uid $(id -u postgres)): remove it and run the restore again"
chown root "$R"
rs_restore rec1 "$D" last:true
deployed before

case_name "paths with a quote, a blank and \$(...): nothing runs"
Q="$W/it's a \$(touch $W/pwned) \`touch $W/pwned\`"
mkdir -p "$Q/client" "$Q/wal archive"
printf 'archived\n' >"$Q/wal archive/000000010000000000000001"
chown -R postgres:postgres "$Q/wal archive"
"$PG" conf archive_catalog "$Q/wal archive"
rs_cold_archive quoted "$Q/wal archive:${Q#/}/wal archive"
rm -f "$Q/wal archive/000000010000000000000001"
run_module -r quoted -M "$W/quoted.meta" -m media1 -T "r;x'q" -d "$Q/client" \
  -e "config_file:$HX_PG_DATA/postgresql.conf,data_directory:$HX_PG_DATA,pg_version:$RS_VERSION,last:true"
assert_exit 0
rs_recovered
assert_eq "archived" "$(cat "$Q/wal archive/000000010000000000000001")" "restored archive directory"
[ -e "$W/pwned" ] && fail "a path ran as a command"
cp "$W/module.conf" "$HX_PG_CONF"

case_name "a server that does not start: exit 0, the data in place, how to start it"
{ cat "$HX_PG_DATA/postgresql.conf" && printf "shared_buffers = 'lots'\n"; } >"$W/broken.conf"
rs_cold_archive broken "$W/broken.conf:${HX_PG_DATA#/}/postgresql.conf"
expected="$(rs_labels)"
rs_mark after
rs_restore broken "$D" last:true
assert_exit 0
assert_line "Error: Can't start PostgreSQL. The restored cluster is in place; start it by hand: /usr/bin/sudo -iu postgres $HX_PG_BIN/pg_ctl start -D $HX_PG_DATA"
[ -e "$D/broken.rest/postgresql_$RS_VERSION" ] && fail "the restore root is left"
grep -q "^shared_buffers = 'lots'" "$HX_PG_DATA/postgresql.conf" || fail "the restored configuration is not in place"
sed -i "/^shared_buffers = 'lots'/d" "$HX_PG_DATA/postgresql.conf" && chown postgres:postgres "$HX_PG_DATA/postgresql.conf"
"$PG" start
rs_recovered
assert_eq "$expected" "$(rs_labels)" "marker rows"

case_name "pg_wal is a symbolic link"
"$PG" stop
WAL="$HX_SANDBOX_DIR/pg/wal-home/wal-target"
install -d -o postgres -g postgres "${WAL%/*}"
mv "$HX_PG_DATA/pg_wal" "$WAL" && runuser -u postgres -- ln -s "$WAL" "$HX_PG_DATA/pg_wal" && "$PG" start ||
  fail "pg_wal was not moved"
rs_mark linked
# The record's WAL reaches the restore through the WAL archive.
RS_WAL_FROM="$WAL" rs_cold_archive linked
expected="$(rs_labels)"
rs_mark after
rs_restore linked "$D" last:true
assert_exit 0
rs_recovered
assert_eq "$expected" "$(rs_labels)" "marker rows"
[ -L "$HX_PG_DATA/pg_wal" ] || fail "pg_wal is no longer a link"

case_name "pg_wal links to a directory that does not exist: made only in a directory of the server's account"
"$PG" stop
rm -rf "$WAL"
chown root "${WAL%/*}"
rs_restore linked "$D" last:true
assert_exit 7
assert_line "Error: $S: the destination \"$WAL\" does not exist, and \"${WAL%/*}\", where it would be made, is owned by uid 0, not by the server's account postgres (uid $(id -u postgres)): make it for that account and run the restore again; nothing was changed"
[ -e "$WAL" ] && fail "the WAL directory was made in root's directory"
chown postgres "${WAL%/*}"
rs_restore linked "$D" last:true
assert_exit 0
rs_recovered
assert_eq "$expected" "$(rs_labels)" "marker rows"
assert_eq "postgres" "$(stat -c %U "$WAL")" "owner of the created WAL directory"

finish
