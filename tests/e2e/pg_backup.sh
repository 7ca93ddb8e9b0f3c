#!/usr/bin/env bash
# Full and incremental backups of the test bed's cluster (data directory and
# tablespace ts1 on two stand-in LVM volumes) made by the program while
# pgbench and a marker writer commit, each proven by a second server that
# recovers from what the archiver stored.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/backup.sh"
trap 'writer_stop; pgbench_stop; proof_stop' EXIT

SNAPS="$HX_SANDBOX_DIR/snaps"
mkdir -p "$SNAPS"
# keep NAME: the snapshot file of backup NAME, kept as the client keeps it.
keep() { cp "$BK_TASK_DIR/$1.snap" "$SNAPS/$1.snap"; }
# ref NAME: a fresh copy for -s (unpacking consumes the file it is given).
ref() { cp "$SNAPS/$1.snap" "$BK_TASK_DIR/ref-$1.snap" && printf '%s' "$BK_TASK_DIR/ref-$1.snap"; }
archived() { python3 -c 'import sys, tarfile
print("\n".join(m.name for m in tarfile.open(sys.argv[1]) if m.name != ".hxfd-archive.json"))' "$HX_MEDIA_DIR/$1"; }
# WAL segment files still archived that sort at or before NAME.
wal_left_upto() {
  local f
  for f in $(ls "$HX_PG_ARCHIVE" | grep -E '^[0-9A-F]{24}$'); do
    [[ "$f" > "$1" ]] || printf '%s\n' "$f"
  done
}

markers_create
pgbench_init 4
writer_start
pgbench_start

case_name "full backup while pgbench writes"
backup_run -1 -b cluster -n full1
assert_exit 0
D="${HX_PG_DATA#/}"
START="$(setting start_wal_location)"
STOP="$(setting stop_wal_location)"
assert_eq "$HX_PG_DATA" "$(setting data_directory)" "data_directory setting"
assert_eq "$HX_PG_DATA/postgresql.conf" "$(setting config_file)" "config_file setting"
assert_line_matches '^MODULE SETTING:pg_version:15\.[0-9]+$'
assert_line "MAIN SNAPSHOT FILENAME:$BK_TASK_DIR/full1.snap"
assert_line_before '^MAIN ARCHIVE FILENAME:' '^Info: Remove obsoleted WAL files:$'
assert_eq "./
./full1.meta
./pg_wal_snapshot" "$(tar tzf "$BK_TASK_DIR/full1.snap" | sort)" "snapshot file"
LIST="$(archived full1)"
for name in "$D" "$D/backup_label" "$D/tablespace_map" "$D/PG_VERSION" "${HX_PG_TBLSPC#/}" \
  "${HX_PG_ARCHIVE#/}/$START" "${HX_PG_ARCHIVE#/}/$STOP"; do
  grep -Fxq -- "$name" <<<"$LIST" || fail "not archived: $name"
done
for name in postmaster.pid postmaster.opts pg_stat_tmp/ pg_replslot/ pg_subtrans/; do
  ! grep -q -- "^$D/$name" <<<"$LIST" || fail "runtime file archived: $name"
done
[ -f "$HX_PG_DATA/postmaster.pid" ] || fail "the live server lost its postmaster.pid"
assert_eq "$(id -u postgres):$(id -g postgres)" \
  "$(tar tvf "$HX_MEDIA_DIR/full1" --numeric-owner "$D/backup_label" | awk '{print $2}' | tr / :)" "backup_label owner"
# Every archived WAL file up to the backup's last one left the archive.
[ -z "$(wal_left_upto "$STOP")" ] || fail "obsolete WAL files still archived: $(wal_left_upto "$STOP")"
nothing_left
keep full1
PROOF_MIN=$MARK_BEGIN PROOF_MAX=$MARK_END prove_backup full1

case_name "incremental backup after rows were added"
backup_run -2 -b cluster -n inc1 -s "$(ref full1)"
assert_exit 0
assert_eq "$STOP" "$(setting start_wal_location)" "incremental start"
INC1_STOP="$(setting stop_wal_location)"
assert_eq "$INC1_STOP" "$(printf '%s\n' "$RUN_LINES" | grep -E '^[0-9A-F]{24}$')" "stop file line"
grep -Fxq -- "${HX_PG_ARCHIVE#/}/$INC1_STOP" <<<"$(archived inc1)" || fail "stop file not archived"
! grep -Fxq -- "${HX_PG_ARCHIVE#/}/$STOP" <<<"$(archived inc1)" || fail "the reference's last WAL file was archived again"
nothing_left
keep inc1

case_name "second incremental: its start file already left the archive"
[ ! -e "$HX_PG_ARCHIVE/$INC1_STOP" ] || fail "the first incremental did not remove its WAL files"
backup_run -2 -b cluster -n inc2 -s "$(ref inc1)"
assert_exit 0
assert_eq "$INC1_STOP" "$(setting start_wal_location)" "second incremental start"
nothing_left
keep inc2

case_name "incremental with no WAL written since the last one, from a meta file"
writer_stop
pgbench_stop
"$PG" psql -q -c "ALTER SYSTEM SET autovacuum = off" -c "SELECT pg_reload_conf()" >/dev/null
backup_run -2 -b cluster -n inc3 -s "$(ref inc2)"
assert_exit 0
keep inc3
# The first incremental from a meta file that the client unpacked itself;
# background writers of the server (a standby snapshot record) may still
# add WAL, so up to three tries find an incremental with nothing to archive.
CHAIN=(full1 inc1 inc2 inc3)
PREVIOUS=inc3
IDLE=""
for n in 4 5 6; do
  mkdir -p "$HX_SANDBOX_DIR/meta$n"
  tar xzf "$SNAPS/$PREVIOUS.snap" -C "$HX_SANDBOX_DIR/meta$n"
  backup_run -2 -b cluster -n "inc$n" -s "$HX_SANDBOX_DIR/meta$n/$PREVIOUS.meta"
  assert_exit 0
  assert_eq "$(sed -n 's/^STOP WAL LOCATION: 0 (file \(.*\))$/\1/p' "$HX_SANDBOX_DIR/meta$n/pg_wal_snapshot")" \
    "$(setting start_wal_location)" "start read beside the meta file"
  keep "inc$n"
  CHAIN+=("inc$n")
  PREVIOUS="inc$n"
  if [ "$(setting start_wal_location)" = "$(setting stop_wal_location)" ]; then
    IDLE="inc$n"
    assert_line "Info: No WAL written since the reference backup"
    assert_eq "" "$(archived "inc$n")" "archived by an empty incremental"
    break
  fi
done
[ -n "$IDLE" ] || fail "no incremental found the WAL unchanged"
nothing_left
"$PG" psql -q -c "ALTER SYSTEM RESET autovacuum" -c "SELECT pg_reload_conf()" >/dev/null

case_name "the chain of the full backup and its incrementals recovers to the last one"
PROOF_MIN=$MARK_BEGIN PROOF_MAX=$MARK_END prove_backup "${CHAIN[@]}"

case_name "archive_catalog with a trailing slash, WAL kept: the start file is not archived again"
"$PG" conf archive_catalog "$HX_PG_ARCHIVE/"
"$PG" conf auto_remove_wal no
backup_run -1 -b cluster -n full2
assert_exit 0
F2_STOP="$(setting stop_wal_location)"
keep full2
"$PG" psql -q -c "INSERT INTO marker_data VALUES (nextval('marker_seq'))"
backup_run -2 -b cluster -n inc5 -s "$(ref full2)"
assert_exit 0
[ -e "$HX_PG_ARCHIVE/$F2_STOP" ] || fail "auto_remove_wal no removed WAL files"
! grep -Fxq -- "${HX_PG_ARCHIVE#/}/$F2_STOP" <<<"$(archived inc5)" || fail "the reference's last WAL file was archived again"
nothing_left

finish
