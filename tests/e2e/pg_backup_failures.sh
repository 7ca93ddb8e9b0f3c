#!/usr/bin/env bash
# Backups of the test bed's cluster that must fail, and hosts that must not
# make them fail: each failure ends with its exit code and Error lines,
# prints no "MAIN " line, removes no archived WAL file and leaves nothing
# behind (snapshots, mounts, the module's session, the lock).
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/backup.sh"
trap 'rm -f "$HX_VOLUME_DATA_MNT/filler"' EXIT

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
remember_archive() { archive_listing >"$HX_SANDBOX_DIR/archive.before"; }

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
chown root "$HX_PG_ARCHIVE"
remember_archive
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

case_name "LVM tools that warn on standard error and a host without udev make no difference"
export HX_LVM_WARN="lvs lvcreate lvremove" HX_LVM_NO_FSTYPE=1
backup_run -1 -b cluster -n warned
unset HX_LVM_WARN HX_LVM_NO_FSTYPE
assert_exit 0
assert_line "MAIN SNAPSHOT FILENAME:$BK_TASK_DIR/warned.snap"
assert_line_matches "^Info: Snapshot '/dev/mapper/hxvg-ts.snap' was used for: +[0-9.]+%$"
nothing_left

finish
