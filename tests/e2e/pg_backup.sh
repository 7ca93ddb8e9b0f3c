#!/usr/bin/env bash
# Full and incremental backups of the test bed's cluster (data directory and
# tablespace ts1 on two stand-in LVM volumes, ts2 through a link, ts3 on the
# data volume) made by the program while pgbench and a marker writer commit,
# each proven by a second server that recovers from what the archiver stored;
# last, backups of a cluster of 64 MiB WAL segments.
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
# WAL segment files and backup history files still archived whose WAL file
# name sorts at or before NAME.
wal_left_upto() {
  local f
  for f in $(ls "$HX_PG_ARCHIVE" | grep -E '^[0-9A-F]{24}(\.[0-9A-F]{8}\.backup)?$'); do
    [[ "${f:0:24}" > "$1" ]] || printf '%s\n' "$f"
  done
}

TS2_LINK="$HX_VOLUME_DATA_MNT/ts2link" TS2_REAL="$HX_VOLUME_TS_MNT/ts2" TS3="$HX_VOLUME_DATA_MNT/ts3"
mkdir -p "$TS2_REAL" "$TS3" && chown postgres:postgres "$TS2_REAL" "$TS3" && ln -s "$TS2_REAL" "$TS2_LINK"
"$PG" psql -q -c "CREATE TABLESPACE ts2 LOCATION '$TS2_LINK'" -c "CREATE TABLESPACE ts3 LOCATION '$TS3'"
# A timeline history file sorts among the WAL files a full backup makes
# obsolete; recovery needs it, so it stays.
install -o postgres -g postgres -m 600 /dev/null "$HX_PG_ARCHIVE/00000001.history"
markers_create ts2
pgbench_init 4 --tablespace=ts3 --index-tablespace=ts1
writer_start
pgbench_start

case_name "full backup while pgbench writes; the same cluster under another name is refused meanwhile"
: >"$HX_STANDIN_LOG_DIR/lvm.argv"
HX_HXFD_SLOW=3 backup_start -1 -b cluster -n full1
wait_for_text "$BK_OUT" "HXFD PID:" 60 || fail "the archiver did not start"
# Written into the linked tablespace after backup mode ended: not the
# snapshot's, so not in the archive.
echo late >"$TS2_REAL/late-file"
run_module -1 -b clustr -n full1b -d "$BK_TASK_DIR" -m media1 -T task1
assert_exit 2
assert_line "Error: Can't run the task: the cluster of the data directory '$HX_PG_DATA' is in use by another task \
of this module (PID $BK_PID, a backup of the resource 'cluster'). Run it again when that task has ended"
backup_wait
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
for name in "$D" "$D/backup_label" "$D/tablespace_map" "$D/PG_VERSION" "${HX_PG_TBLSPC#/}" "${TS2_LINK#/}" \
  "${TS3#/}" "${HX_PG_ARCHIVE#/}/$START" "${HX_PG_ARCHIVE#/}/$STOP"; do
  grep -Fxq -- "$name" <<<"$LIST" || fail "not archived: $name"
done
! grep -Fxq -- "${TS2_LINK#/}/late-file" <<<"$LIST" || fail "a file written after backup mode ended was archived"
# ts3 lies on the data volume: one snapshot for it and the data directory.
assert_eq 2 "$(grep -c '^/sbin/lvcreate ' "$HX_STANDIN_LOG_DIR/lvm.argv")" "snapshots made"
for name in postmaster.pid postmaster.opts pg_stat_tmp/ pg_replslot/ pg_subtrans/; do
  ! grep -q -- "^$D/$name" <<<"$LIST" || fail "runtime file archived: $name"
done
[ -f "$HX_PG_DATA/postmaster.pid" ] || fail "the live server lost its postmaster.pid"
assert_eq "$(id -u postgres):$(id -g postgres)" \
  "$(tar tvf "$HX_MEDIA_DIR/full1" --numeric-owner "$D/backup_label" | awk '{print $2}' | tr / :)" "backup_label owner"
# Every archived WAL file and backup history file up to the backup's last
# WAL file left the archive; the timeline history file stayed.
[ -z "$(wal_left_upto "$STOP")" ] || fail "obsolete WAL files still archived: $(wal_left_upto "$STOP")"
[ -e "$HX_PG_ARCHIVE/00000001.history" ] || fail "the timeline history file was removed"
nothing_left
keep full1
PROOF_MIN=$MARK_BEGIN PROOF_MAX=$MARK_END prove_backup full1

case_name "incremental backup after rows were added; a name in the WAL archive that would split a line of the \
archiver's list file is left out and stays"
# The name begins with a WAL file of the range; its second line would name
# /opt, which holds the product's root-only keys, as a path to archive (the
# archiver runs in "/").
SEG="$(psql_value "SELECT pg_walfile_name(pg_switch_wal())")"
for _ in $(seq 300); do [ -e "$HX_PG_ARCHIVE/$SEG" ] && break || sleep 0.1; done
SPLIT="$SEG : x"$'\n'"   opt : stolen"
install -o postgres -g postgres -m 600 /dev/null "$HX_PG_ARCHIVE/$SPLIT"
backup_run -2 -b cluster -n inc1 -s "$(ref full1)"
assert_exit 0
assert_line "Warning: int hx_postgresql_common::get_wal_files_list(const string&, \
std::vector<boost::filesystem::path>&): $HX_PG_ARCHIVE/$SEG : x\n   opt : stolen is not named as a WAL file; it is \
neither archived nor removed"
! grep -q '^stolen\|^opt' <<<"$(archived inc1)" || fail "/opt was archived"
[ -e "$HX_PG_ARCHIVE/$SPLIT" ] || fail "the stray file was removed"
rm -f "$HX_PG_ARCHIVE/$SPLIT"
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

case_name "a name that ends a literal of a session without standard_conforming_strings; label files planted in \
the live data directory; archive_catalog with a trailing slash, WAL kept"
"$PG" conf archive_catalog "$HX_PG_ARCHIVE/"
"$PG" conf auto_remove_wal no
"$PG" psql -q -c "ALTER ROLE $HX_PG_USER SET standard_conforming_strings = off"
N2="a\\'); COMMIT; CREATE TABLE injected(); --"
echo planted >"$HX_PG_DATA/backup_label"
echo "99999 /etc" >"$HX_PG_DATA/tablespace_map"
backup_run -1 -b cluster -n "$N2"
rm -f "$HX_PG_DATA/backup_label" "$HX_PG_DATA/tablespace_map"
"$PG" psql -q -c "ALTER ROLE $HX_PG_USER RESET standard_conforming_strings"
assert_exit 0
assert_eq "" "$(psql_value "SELECT to_regclass('injected')")" "a table made by the archive name"
LIST="$(archived "$N2")"
assert_eq "1 1" "$(grep -cFx "$D/backup_label" <<<"$LIST") $(grep -cFx "$D/tablespace_map" <<<"$LIST")" \
  "backup_label and tablespace_map entries"
grep -Fxq "LABEL: $N2" <<<"$(tar -xOf "$HX_MEDIA_DIR/$N2" "$D/backup_label")" || fail "backup_label lacks its label"
F2_STOP="$(setting stop_wal_location)"
keep "$N2"
"$PG" psql -q -c "INSERT INTO marker_data VALUES (nextval('marker_seq'))"
backup_run -2 -b cluster -n inc5 -s "$(ref "$N2")"
assert_exit 0
[ -e "$HX_PG_ARCHIVE/$F2_STOP" ] || fail "auto_remove_wal no removed WAL files"
! grep -Fxq -- "${HX_PG_ARCHIVE#/}/$F2_STOP" <<<"$(archived inc5)" || fail "the reference's last WAL file was archived again"
nothing_left

# 64 MiB WAL segments: ...0000003F is the last of a log id, and a walk by
# 16 MiB segments never reaches the next. Before each case the WAL is moved
# to the segment before it (backup mode begins with a switch to it).
"$PG" reinit --wal-segsize=64
"$PG" conf archive_catalog "$HX_PG_ARCHIVE"
"$PG" conf auto_remove_wal yes
"$PG" psql -q -c "ALTER SYSTEM SET max_wal_size = '256MB'"
markers_create
pgbench_init 1
wal_moved_to() {
  "$PG" stop
  hx_as_postgres "$HX_PG_BIN/pg_resetwal" -l "$1" -D "$HX_PG_DATA" >/dev/null
  "$PG" start
}
wal_moved_to 00000001000000000000003E

case_name "64 MiB WAL segments: a full backup whose WAL crosses into the next log id"
# WAL is switched while the data volume's snapshot is taken (its lvcreate
# waits for the switch).
: >"$HX_STANDIN_LOG_DIR/lvm.argv"
(wait_for_text "$HX_STANDIN_LOG_DIR/lvm.argv" lvcreate 60 &&
  markers_add && "$PG" psql -q -c "SELECT pg_switch_wal()"; touch "$HX_SANDBOX_DIR/switched") >/dev/null &
SWITCHER=$!
HX_LVM_SLOW="lvcreate@hxvg-data:$HX_SANDBOX_DIR/switched" backup_run -1 -b cluster -n seg1
wait "$SWITCHER"
assert_exit 0
assert_eq "00000001000000000000003F 00000001" \
  "$(setting start_wal_location) $(setting stop_wal_location | cut -c9-16)" "the full backup's WAL range"

case_name "64 MiB WAL segments: a full backup and an incremental whose WAL crosses into the next log id, proven"
wal_moved_to 00000001000000010000003E
markers_add
backup_run -1 -b cluster -n seg2
assert_exit 0
assert_eq 00000001000000010000003F "$(setting stop_wal_location)" "the full backup's last WAL file"
keep seg2
markers_add
backup_run -2 -b cluster -n seg3 -s "$(ref seg2)"
assert_exit 0
assert_eq 00000001000000020000000 "$(setting stop_wal_location | cut -c1-23)" "the incremental's last WAL file"
nothing_left
PROOF_MIN=$MARK_BEGIN PROOF_MAX=$MARK_END prove_backup seg2 seg3

finish
