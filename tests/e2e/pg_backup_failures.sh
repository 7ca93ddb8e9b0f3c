#!/usr/bin/env bash
# Backups of the test bed's cluster that must fail, and hosts that must not
# make them fail: each failure ends with its exit code and Error lines,
# prints no "MAIN " line, removes no archived WAL file and leaves nothing
# behind (snapshots, mounts, the module's session, the lock). A TERM that
# comes once the backup is reported is too late: the backup is made.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/backup.sh"
trap 'rm -f "$HX_VOLUME_DATA_MNT/filler" "$HX_PG_ARCHIVE_HOLD"' EXIT

archive_listing() { ls "$HX_PG_ARCHIVE"; }
# failed_backup CODE: the common marks of a backup that was not made.
failed_backup() {
  assert_exit "$1"
  assert_not_contains "MAIN "
  local before_file="$HX_SANDBOX_DIR/archive.before" name
  for name in $(cat "$before_file"); do
    [ -e "$HX_PG_ARCHIVE/$name" ] || fail "archived WAL file removed by a failed backup: $name"
  done
  nothing_left
}
# The listing of the archive before a backup, with the WAL file closed just
# now in it: a removal that the backup must not make would take that file.
remember_archive() {
  local last
  last="$(psql_value "SELECT pg_walfile_name(pg_switch_wal())")"
  for _ in $(seq 300); do [ -e "$HX_PG_ARCHIVE/$last" ] && break || sleep 0.1; done
  archive_listing >"$HX_SANDBOX_DIR/archive.before"
  grep -qx "$last" "$HX_SANDBOX_DIR/archive.before" || fail "$last was not archived"
}

markers_create
backup_run -1 -b cluster -n base
assert_exit 0
cp "$BK_TASK_DIR/base.snap" "$HX_SANDBOX_DIR/base.snap"
# Some WAL for the failing incrementals to keep.
"$PG" psql -q -c "INSERT INTO marker_data SELECT generate_series(1, 1000)" -c "SELECT pg_switch_wal()" >/dev/null

case_name "the archiver fails: full and incremental backups keep every archived WAL file"
remember_archive
export HX_HXFD_FAIL=backup
backup_run -1 -b cluster -n f1
failed_backup 6
assert_line_matches '^Error: bool HxModuleUniversal::make_backup_locally\(\): cd / && /opt/halvex/bin/hxfd '
cp "$HX_SANDBOX_DIR/base.snap" "$BK_TASK_DIR/ref.snap"
remember_archive
backup_run -2 -b cluster -n i1 -s "$BK_TASK_DIR/ref.snap"
failed_backup 6
unset HX_HXFD_FAIL

case_name "a snapshot fills up while the archiver reads it"
remember_archive
# The smallest snapshot (10 percent of the 512 MiB volume) and a slow
# archiver; meanwhile more than the snapshot's space is written to the origin.
OUT="$HX_SANDBOX_DIR/filled.out"
HX_HXFD_SLOW=4 "$HX_MODULE_BIN" -1 -b cluster -n f2 -d "$BK_TASK_DIR" -m media1 -T task1 \
  -e lvm_snapshot_size:5 >"$OUT" 2>&1 </dev/null &
BG=$!
wait_for_text "$OUT" "HXFD PID:" 60 || fail "the archiver did not start"
dd if=/dev/urandom of="$HX_VOLUME_DATA_MNT/filler" bs=1M count=80 conv=fsync status=none
RUN_RC=0
wait "$BG" || RUN_RC=$?
RUN_STDOUT="$(cat "$OUT")"
RUN_LINES="$(hx_log_strip_stamps <"$OUT")"
rm -f "$HX_VOLUME_DATA_MNT/filler"
failed_backup 6
assert_line "Info: Snapshot '/dev/mapper/hxvg-data.snap' was used for:   100.00%"
assert_line "Error: virtual bool HxModule_PG_Ostrel::release_resource_after_backup(): the snapshot \
/dev/mapper/hxvg-data.snap of /dev/mapper/hxvg-data filled up (100 percent) while the archiver read it; the \
backup is not usable. Raise the module parameter lvm_snapshot_size or the volume group's free space"
assert_not_contains "MODULE SETTING:"
[ ! -e "$BK_TASK_DIR/f2" ] || fail "the task directory stayed"

case_name "a tablespace off LVM: refused before backup mode starts"
mkdir -p "$HX_SANDBOX_DIR/plain_ts"
chown postgres:postgres "$HX_SANDBOX_DIR/plain_ts"
"$PG" psql -q -c "CREATE TABLESPACE plain LOCATION '$HX_SANDBOX_DIR/plain_ts'"
: >"$HX_STANDIN_LOG_DIR/lvm.argv"
remember_archive
backup_run -1 -b cluster -n f3
failed_backup 6
assert_line_matches '^Error: Device: /dev/[^ ]+ is not a LVM volume$'
assert_no_line "Info: Stop PostgreSQL base backup"
! grep -q lvcreate "$HX_STANDIN_LOG_DIR/lvm.argv" || fail "a snapshot was made"
"$PG" psql -q -c "DROP TABLESPACE plain"

case_name "the WAL archive directory does not belong to the server's account"
remember_archive
chown root "$HX_PG_ARCHIVE"
backup_run -1 -b cluster -n f4
chown postgres "$HX_PG_ARCHIVE"
failed_backup 6
assert_line "Error: virtual bool HxModule_PG_Ostrel::prepare_resource_before_backup(const bool&): wrong uid (0) \
of the directory \"$HX_PG_ARCHIVE\". Postgres admin uid ($(id -u postgres)) is expected"

case_name "an incremental whose reference holds no WAL snapshot file"
mkdir -p "$HX_SANDBOX_DIR/bare_meta"
tar xzf "$HX_SANDBOX_DIR/base.snap" -C "$HX_SANDBOX_DIR/bare_meta" ./base.meta
remember_archive
backup_run -2 -b cluster -n i2 -s "$HX_SANDBOX_DIR/bare_meta/base.meta"
failed_backup 6
assert_line "Error: Unable to open backup file: $HX_SANDBOX_DIR/bare_meta/pg_wal_snapshot"
assert_line "Error: Unable to find start wal file"
backup_run -2 -b cluster -n i3
failed_backup 6
assert_line "Error: bool HxModule_PG_Ostrel::prepare_to_archive_WAL_backup(): no reference snapshot (-s) names \
the backup this one follows"

case_name "the archive command fails: TERM while the stop waits for the WAL archive ends the task within 5 s"
remember_archive
touch "$HX_PG_ARCHIVE_HOLD"
backup_start -1 -b cluster -n t1
WAITING="SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'BackupWaitWalArchive'"
for _ in $(seq 600); do [ "$(psql_value "$WAITING")" = 1 ] && break || sleep 0.1; done
assert_eq 1 "$(psql_value "$WAITING")" "stops waiting for the WAL archive"
kill -TERM "$BK_PID"
backup_wait 5
rm -f "$HX_PG_ARCHIVE_HOLD"
failed_backup 17

case_name "the archive command fails: the backup fails once the server archived nothing for a minute"
remember_archive
touch "$HX_PG_ARCHIVE_HOLD"
backup_start -1 -b cluster -n t2
backup_wait 120
rm -f "$HX_PG_ARCHIVE_HOLD"
failed_backup 6
assert_line_matches "^Error: bool HxModule_PG_Ostrel::pg_stop_backup\(pqxx::result&\): the server's WAL archiving does \
not work: no WAL file was archived for 60 seconds while the stop of backup mode waited for the WAL archive \
\(pg_stat_archiver: [0-9]+ failures while the stop waited, [0-9]+ in all; the last failed WAL file [0-9A-F]{24}[^ ]* at \
[0-9]{4}-.*\)\. Check the server's archive_command and the WAL archive directory '$HX_PG_ARCHIVE'$"
[ ! -e "$BK_TASK_DIR/t2" ] || fail "the task directory stayed"

case_name "TERM while the release removes the snapshots: the release ends first, then the abort"
remember_archive
: >"$HX_STANDIN_LOG_DIR/lvm.argv"
HX_LVM_SLOW=lvremove:2 backup_start -1 -b cluster -n t3
wait_for_text "$HX_STANDIN_LOG_DIR/lvm.argv" "/sbin/lvremove " 60 || fail "no snapshot was removed"
kill -TERM "$BK_PID"
backup_wait 30
failed_backup 17

case_name "TERM as the client reads MAIN ARCHIVE FILENAME: too late, the backup is made and its WAL files go"
remember_archive
# The client stops reading at that line: the module is held writing the
# completion line, longer than the pipe holds (its resource name is long),
# when the signal comes, before the WAL files are removed.
FIFO="$HX_SANDBOX_DIR/main.fifo"
LOG="/opt/halvex/log/$(basename "$HX_MODULE_BIN").log"
LOG_MARK="$(stat -c %s "$LOG")"
rm -f "$FIFO" && mkfifo "$FIFO"
"$HX_MODULE_BIN" -1 -b "cluster$(head -c 70000 /dev/zero | tr '\0' x)" -n t4 -d "$BK_TASK_DIR" -m media1 -T task1 \
  -e lvm_snapshot_size:50 >"$FIFO" 2>/dev/null </dev/null &
BG=$!
exec 5<"$FIFO"
while IFS= read -r line <&5 && [[ "$line" != "MAIN ARCHIVE FILENAME:"* ]]; do :; done
kill -TERM "$BG"
# The module writes the Warning into its log file first, then to the client.
for _ in $(seq 600); do grep -q "signal too late" <<<"$(tail -c +"$((LOG_MARK + 1))" "$LOG")" && break; sleep 0.05; done
RUN_STDOUT="$(cat <&5)"
exec 5<&-
wait_ended "$BG" 30 || fail "the module did not end"
RUN_LINES="$(hx_log_strip_stamps <<<"$RUN_STDOUT")"
assert_exit 0
assert_line "Warning: Module pid: $BG received a termination signal too late to stop the task: the backup is made \
and is being reported to the client; the task goes on to its end and reports its result"
STOP="$(tar -xzOf "$BK_TASK_DIR/t4.snap" ./pg_wal_snapshot | sed -n 's/^STOP WAL LOCATION: .*(file \(.*\))$/\1/p')"
for name in $(cat "$HX_SANDBOX_DIR/archive.before"); do
  [[ "$name" > "$STOP" ]] || [ ! -e "$HX_PG_ARCHIVE/$name" ] || [[ "$name" == *.history ]] ||
    fail "archived WAL file kept by a backup that was made: $name"
done
nothing_left

case_name "a snapshot that stays open: the backup is made and names the snapshot left behind"
HX_LVM_BUSY=hxvg-ts.snap backup_run -1 -b cluster -n held
assert_exit 0
assert_line "Error: void HxModule_PG_Ostrel::umount_and_remove_snapshots(): the snapshot /dev/mapper/hxvg-ts.snap \
of the volume /dev/mapper/hxvg-ts could not be removed and is left behind; the next full backup removes it"
"$HX_TESTBED_DIR/lvm" release

case_name "LVM tools that warn on standard error and a host without udev make no difference; a leftover goes"
export HX_LVM_WARN="lvs lvcreate lvremove" HX_LVM_NO_FSTYPE=1
backup_run -1 -b cluster -n warned
unset HX_LVM_WARN HX_LVM_NO_FSTYPE
assert_exit 0
assert_line "MAIN SNAPSHOT FILENAME:$BK_TASK_DIR/warned.snap"
assert_line "Info: Snapshot: /dev/mapper/hxvg-ts.snap exists. Try to remove it"
assert_line_matches "^Info: Snapshot '/dev/mapper/hxvg-ts.snap' was used for: +[0-9.]+%$"
nothing_left

finish
