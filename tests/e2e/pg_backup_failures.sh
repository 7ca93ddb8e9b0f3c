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
# Tenths of a second to wait for the server to archive a WAL file: after a
# case that left its archive command failing, the server's archiver retries
# only after up to a minute (or when new WAL wakes it).
ARCHIVE_WAIT=1200
PREPARE_SIG="virtual bool HxModule_PG_Ostrel::prepare_resource_before_backup(const bool&)"
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
  for _ in $(seq "$ARCHIVE_WAIT"); do [ -e "$HX_PG_ARCHIVE/$last" ] && break || sleep 0.1; done
  archive_listing >"$HX_SANDBOX_DIR/archive.before"
  grep -qx "$last" "$HX_SANDBOX_DIR/archive.before" || fail "$last was not archived"
}

# hostile_archive [GLOB]: the server's archive command leaves, as the server's
# account may, a FIFO at the name of each file it archives whose name matches
# GLOB, the file set aside; without GLOB the usual command and the set-aside
# files are back. It returns once the server archived a WAL file with it.
ASIDE="$HX_SANDBOX_DIR/aside" ARCHIVED_LOG="$HX_SANDBOX_DIR/archived.log"
mkdir -p "$ASIDE" && chown postgres "$ASIDE" && install -o postgres /dev/null "$ARCHIVED_LOG"
printf '#!/bin/sh\n"%s" "$1" "$2" || exit 1\necho "$2" >>"%s"\ncase "$2" in $3) mv "%s/$2" "%s/" && mkfifo "%s/$2" ;; esac\n' \
  "$HX_SANDBOX_DIR/pg/bin/archive_wal" "$ARCHIVED_LOG" "$HX_PG_ARCHIVE" "$ASIDE" "$HX_PG_ARCHIVE" >"$ASIDE.sh"
chmod 755 "$ASIDE.sh"
hostile_archive() {
  local name setting="RESET archive_command" f
  [ -z "${1:-}" ] || setting="SET archive_command = '$ASIDE.sh %p %f ''$1'''"
  "$PG" psql -q -c "ALTER SYSTEM $setting" -c "SELECT pg_reload_conf()" >/dev/null
  name="$(psql_value "CREATE TEMP TABLE probe (); SELECT pg_walfile_name(pg_switch_wal())")"
  for _ in $(seq "$ARCHIVE_WAIT"); do
    [ -e "$HX_PG_ARCHIVE/$name" ] && [ "$(grep -cx "$name" "$ARCHIVED_LOG")" = "$([ -n "${1:-}" ] && echo 1 || echo 0)" ] &&
      break || sleep 0.1
  done
  [ -e "$HX_PG_ARCHIVE/$name" ] || fail "$name was not archived"
  [ -n "${1:-}" ] || for f in $(ls "$ASIDE"); do rm -f "$HX_PG_ARCHIVE/$f" && mv "$ASIDE/$f" "$HX_PG_ARCHIVE/"; done
}

markers_create
backup_run -1 -b cluster -n base
assert_exit 0
BASE_STOP="$(setting stop_wal_location)"
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

case_name "the server's account points a tablespace's link at a directory of root's: refused before backup mode"
OID="$(psql_value "SELECT oid FROM pg_tablespace WHERE spcname = 'ts1'")"
ROOT_ONLY="$HX_VOLUME_TS_MNT/root_only"
mkdir -m 700 "$ROOT_ONLY"
: >"$HX_STANDIN_LOG_DIR/lvm.argv"
remember_archive
hx_as_postgres ln -sfn "$ROOT_ONLY" "$HX_PG_DATA/pg_tblspc/$OID"
backup_run -1 -b cluster -n f3b
hx_as_postgres ln -sfn "$HX_PG_TBLSPC" "$HX_PG_DATA/pg_tblspc/$OID"
failed_backup 6
assert_line "Error: bool HxModule_PG_Ostrel::prepare_to_base_backup(): the tablespace at '$ROOT_ONLY' is $ROOT_ONLY: \
a directory owned by uid 0, not the server account's; only a directory of the server's account is backed up as its \
location"
! grep -q lvcreate "$HX_STANDIN_LOG_DIR/lvm.argv" || fail "a snapshot was made"
# A link text with ".." that leads back to the tablespace: the archive would
# name the tablespace by it, and a restore would put it elsewhere.
DOTTED="$HX_PG_TBLSPC/../$(basename "$HX_PG_TBLSPC")"
hx_as_postgres ln -sfn "$DOTTED" "$HX_PG_DATA/pg_tblspc/$OID"
backup_run -1 -b cluster -n f3c
hx_as_postgres ln -sfn "$HX_PG_TBLSPC" "$HX_PG_DATA/pg_tblspc/$OID"
failed_backup 6
assert_line "Error: bool HxModule_PG_Ostrel::prepare_to_base_backup(): the tablespace at '$DOTTED' is no plain \
absolute path (it has \".\", \"..\" or empty elements); the archive names a tablespace by its location"
! grep -q lvcreate "$HX_STANDIN_LOG_DIR/lvm.argv" || fail "a snapshot was made"

case_name "the WAL archive directory does not belong to the server's account"
remember_archive
chown root "$HX_PG_ARCHIVE"
backup_run -1 -b cluster -n f4
chown postgres "$HX_PG_ARCHIVE"
failed_backup 6
assert_line "Error: virtual bool HxModule_PG_Ostrel::prepare_resource_before_backup(const bool&): wrong uid (0) \
of the directory \"$HX_PG_ARCHIVE\". Postgres admin uid ($(id -u postgres)) is expected"

case_name "a -d that another account may change is refused; in a sticky one, what another account planted at a \
backup's names is refused before backup mode, neither used nor removed"
PGUID="$(id -u postgres)"
SHARED="$HX_SANDBOX_DIR/shared"
mkdir -p "$SHARED" && chown postgres "$SHARED"
: >"$HX_STANDIN_LOG_DIR/lvm.argv"
remember_archive
run_module -1 -b cluster -n s1 -d "$SHARED" -m media1 -T task1
failed_backup 4
assert_line "Error: Backup module: the temporary operation directory (-d) $SHARED can't be used: \"$SHARED\": it is \
owned by uid $PGUID. It must be a directory in which no other account can rename, replace or remove what the task \
makes there: every element from / a directory (not a link) owned by root, and writable by group or others only when \
sticky (as /tmp)"
chown root "$SHARED" && chmod 1777 "$SHARED"
SECRET="$HX_SANDBOX_DIR/secret"
printf 'root only\n' >"$SECRET" && chmod 600 "$SECRET"
# -n, what the server's account plants in -d, the exit code and the start of the line that refuses it
while IFS='|' read -r name plant code refused; do
  (cd "$SHARED" && hx_as_postgres sh -c "cd '$SHARED' && $plant")
  run_module -1 -b cluster -n "$name" -d "$SHARED" -m media1 -T task1 --dgst
  failed_backup "$code"
  assert_line "Error: $refused, which another account could have placed; it is neither used nor removed"
  assert_eq "root 600 root only" "$(stat -c '%U %a' "$SECRET") $(cat "$SECRET")" "the root-only file"
done <<PLANTED
n1|mkdir n1 && ln -s $SECRET n1/backup_label|6|$PREPARE_SIG: can't use $SHARED/n1: a directory owned by uid $PGUID
n2|ln -s $SECRET n2.hxfd.list|6|$PREPARE_SIG: can't use $SHARED/n2.hxfd.list: a symbolic link owned by uid $PGUID
n3|ln -s $SECRET n3.snap|4|Backup module: can't use $SHARED/n3.snap: a symbolic link owned by uid $PGUID
n4|mkdir n4.snap_dir|4|Backup module: can't use $SHARED/n4.snap_dir: a directory owned by uid $PGUID
n5|ln -s $SECRET n5.signature|4|Backup module: can't use $SHARED/n5.signature: a symbolic link owned by uid $PGUID
n6|echo planted >n6.signature|4|Backup module: can't use $SHARED/n6.signature: a regular file owned by uid $PGUID
PLANTED
! grep -q lvcreate "$HX_STANDIN_LOG_DIR/lvm.argv" || fail "a snapshot was made"
assert_eq "n1 n1/backup_label n2.hxfd.list n3.snap n4.snap_dir n5.signature n6.signature" \
  "$(cd "$SHARED" && find n* | sort | xargs)" "what was planted"
assert_eq "planted" "$(cat "$SHARED/n6.signature")" "the planted signature file"

case_name "a reference (-s) that another account could change is refused before anything is done, and never removed"
UNPACK_SIG="int HxModuleUniversal::unpack_snapshot_file(const string&)"
RULE="A snapshot or meta file, and what is read beside it, must be a regular file owned by root with a single name \
that group or others may not write, in a directory in which no other account can rename, replace or remove it: every \
element from / a directory (not a link) owned by root, and writable by group or others only when sticky (as /tmp)"
NOBODY="$(id -u nobody)"
# The full backup's snapshot with its stop moved two segments on: taken, the
# incremental would begin past WAL files it must hold.
TAMPERED="$HX_SANDBOX_DIR/tampered"
mkdir -p "$TAMPERED" && tar xzf "$HX_SANDBOX_DIR/base.snap" -C "$TAMPERED"
MOVED="$(printf '%s%08X' "${BASE_STOP:0:16}" $((16#${BASE_STOP:16} + 2)))"
sed -i "/^STOP WAL LOCATION/s/(file $BASE_STOP)/(file $MOVED)/" "$TAMPERED/pg_wal_snapshot"
grep -q "(file $MOVED)" "$TAMPERED/pg_wal_snapshot" || fail "the stop was not moved"
tar czf "$SHARED/ref.snap" -C "$TAMPERED" . && chown nobody "$SHARED/ref.snap"
: >"$HX_STANDIN_LOG_DIR/hxfd.argv"
remember_archive
backup_run -2 -b cluster -n r1 -s "$SHARED/ref.snap"
failed_backup 2
assert_line "Error: $UNPACK_SIG: can't use $SHARED/ref.snap: it is a regular file owned by uid $NOBODY; it is neither \
read nor removed. $RULE"
assert_line "Error: Backup module: Unable to unpack reference snapshot file: $SHARED/ref.snap"
assert_eq "nobody" "$(stat -c %U "$SHARED/ref.snap")" "owner of the refused snapshot file, which stays"
# Root's meta file in root's directory, the WAL snapshot file beside it
# another account's.
mkdir "$HX_SANDBOX_DIR/nb_wal" && cp "$TAMPERED/base.meta" "$TAMPERED/pg_wal_snapshot" "$HX_SANDBOX_DIR/nb_wal/"
chown nobody "$HX_SANDBOX_DIR/nb_wal/pg_wal_snapshot"
backup_run -2 -b cluster -n r4 -s "$HX_SANDBOX_DIR/nb_wal/base.meta"
failed_backup 2
assert_line "Error: virtual bool HxModule_PG_Ostrel::read_reference_snapshot(): can't use \
$HX_SANDBOX_DIR/nb_wal/pg_wal_snapshot: it is a regular file owned by uid $NOBODY; it is not read. $RULE"
[ ! -e "$BK_TASK_DIR/r1" ] && [ ! -e "$BK_TASK_DIR/r4" ] &&
  [ ! -e "$BK_TASK_DIR/ref.snap_dir" ] || fail "a task or reference directory was made"
assert_eq "0" "$(wc -l <"$HX_STANDIN_LOG_DIR/hxfd.argv")" "archiver runs"
# A reference directory another account planted in a sticky -d is neither
# used nor removed; the root-only snapshot file is not used up.
cp "$HX_SANDBOX_DIR/base.snap" "$HX_SANDBOX_DIR/mine.snap"
hx_as_postgres mkdir "$SHARED/mine.snap_dir"
run_module -2 -b cluster -n r3 -d "$SHARED" -s "$HX_SANDBOX_DIR/mine.snap" -m media1 -T task1
failed_backup 2
assert_line "Error: $UNPACK_SIG: can't use $SHARED/mine.snap_dir: a directory owned by uid $PGUID, which another \
account could have placed; it is neither used nor removed"
[ -d "$SHARED/mine.snap_dir" ] && [ -f "$HX_SANDBOX_DIR/mine.snap" ] || fail "the planted directory or the file went"

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

case_name "a FIFO at the name of the backup history file: the full backup fails at once, naming it"
remember_archive
hostile_archive '*.backup'
backup_start -1 -b cluster -n h1
backup_wait 60
hostile_archive
failed_backup 6
HISTORY="$(grep -xE '[0-9A-F]{24}\.[0-9A-F]{8}\.backup' "$ARCHIVED_LOG" | tail -n 1)"
assert_line "Error: bool HxModule_PG_Ostrel::prepare_to_base_backup(): can't read $HX_PG_ARCHIVE/$HISTORY: a FIFO, not \
a regular file"
assert_line "Error: bool HxModule_PG_Ostrel::prepare_to_base_backup(): Unable to copy backup_file \
$HX_PG_ARCHIVE/$HISTORY to snapshot $BK_TASK_DIR/h1.snap_dir/pg_wal_snapshot"

case_name "a FIFO at the name of the incremental's last WAL file: the incremental fails at once, naming it"
remember_archive
hostile_archive '????????????????????????'
cp "$HX_SANDBOX_DIR/base.snap" "$BK_TASK_DIR/ref.snap"
backup_start -2 -b cluster -n i4 -s "$BK_TASK_DIR/ref.snap"
backup_wait 30
hostile_archive
failed_backup 6
INC_STOP="$(printf '%s\n' "$RUN_LINES" | grep -xE '[0-9A-F]{24}')"
assert_line "Error: int hx_postgresql_common::wait_until_file_archiving_finished(const string&, \
std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >, long int, long int): $HX_PG_ARCHIVE/$INC_STOP is \
a FIFO, not a regular file"
assert_line "Error: Last WAL file is absent in archive directory: $INC_STOP"

case_name "a WAL file of the incremental's range of which only a backup history file or a .partial is left, or in \
whose place lies a file of another account, of root's (with one name or two) or of another size: the incremental \
fails, naming it"
remember_archive
GONE="$(archive_listing | grep -xE '[0-9A-F]{24}' | awk -v after="$BASE_STOP" '$0 > after' | head -n 1)"
mv "$HX_PG_ARCHIVE/$GONE" "$ASIDE/"
for stand_in in "$GONE.00000028.backup" "$GONE.partial"; do
  install -o postgres -g postgres -m 600 "$ASIDE/$GONE" "$HX_PG_ARCHIVE/$stand_in"
  cp "$HX_SANDBOX_DIR/base.snap" "$BK_TASK_DIR/ref.snap"
  backup_run -2 -b cluster -n i5 -s "$BK_TASK_DIR/ref.snap"
  assert_exit 6
  INC_STOP="$(printf '%s\n' "$RUN_LINES" | grep -xE '[0-9A-F]{24}')"
  assert_line "Error: int hx_postgresql_common::get_wal_files_sequence(const string&, const string&, const string&, \
std::vector<std::__cxx11::basic_string<char> >&, bool, bool): the WAL archive lacks the WAL file $GONE, which the run \
from $BASE_STOP to $INC_STOP needs"
  [ -e "$HX_PG_ARCHIVE/$stand_in" ] || fail "$stand_in was removed"
  rm -f "$HX_PG_ARCHIVE/$stand_in"
done
# At its name instead of the server's file: a file of another account, one of
# root's with a second name, one of the server's account of another size
# than a WAL segment (sparse), and one of root's with a single name that the
# server's account renamed in from a directory of its own.
LIST_WAL_SIG="bool HxModule_PG_Ostrel::list_wal_files(const std::vector<std::__cxx11::basic_string<char> >&, \
std::map<std::__cxx11::basic_string<char>, std::__cxx11::basic_string<char> >&)"
while IFS='|' read -r put what; do
  rm -f "$ASIDE/second" "$HX_PG_ARCHIVE/$GONE"
  eval "$put"
  cp "$HX_SANDBOX_DIR/base.snap" "$BK_TASK_DIR/ref.snap"
  backup_run -2 -b cluster -n i5 -s "$BK_TASK_DIR/ref.snap"
  assert_line "Error: $LIST_WAL_SIG: can't hand the WAL file $HX_PG_ARCHIVE/$GONE to the archiver: $what"
  failed_backup 6
done <<VARIANTS
install -o nobody -m 600 "\$ASIDE/\$GONE" "\$HX_PG_ARCHIVE/\$GONE"|a regular file owned by uid $(id -u nobody), not a \
file of the server's account
install -o root -m 600 "\$ASIDE/\$GONE" "\$HX_PG_ARCHIVE/\$GONE" && ln "\$HX_PG_ARCHIVE/\$GONE" "\$ASIDE/second"|a \
regular file owned by uid 0 with 2 names, not a file of the server's account
install -o postgres -m 600 /dev/null "\$HX_PG_ARCHIVE/\$GONE" && truncate -s 32M "\$HX_PG_ARCHIVE/\$GONE"|a regular \
file of 33554432 bytes, not of the server's WAL segment size ($(stat -c %s "$ASIDE/$GONE") bytes)
install -o root -m 600 "\$ASIDE/\$GONE" "\$ASIDE/second" && hx_as_postgres mv "\$ASIDE/second" "\$HX_PG_ARCHIVE/\$GONE"|a \
regular file owned by uid 0, not a file of the server's account
VARIANTS
rm -f "$ASIDE/second" "$HX_PG_ARCHIVE/$GONE"
mv "$ASIDE/$GONE" "$HX_PG_ARCHIVE/"

case_name "a WAL file of the incremental that cannot be hard-linked for the archiver fails the backup, naming it; \
none is skipped"
remember_archive
# The first link the module makes fails, as on a file with the most links
# its file system allows (leak checks do not work under ptrace).
cat >"$HX_SANDBOX_DIR/linkat_fails" <<EOF
#!/bin/sh
ASAN_OPTIONS="\${ASAN_OPTIONS:-}:detect_leaks=0" exec strace -f -qq -o /dev/null -e trace=linkat \\
  -e inject=linkat:error=EMLINK:when=1 "$HX_MODULE_BIN" "\$@"
EOF
chmod 755 "$HX_SANDBOX_DIR/linkat_fails"
cp "$HX_SANDBOX_DIR/base.snap" "$BK_TASK_DIR/ref.snap"
HX_MODULE_BIN="$HX_SANDBOX_DIR/linkat_fails" backup_run -2 -b cluster -n i6 -s "$BK_TASK_DIR/ref.snap"
assert_line_matches "^Error: bool HxModule_PG_Ostrel::list_wal_files\\(.*\\): can't hand the WAL file \
$HX_PG_ARCHIVE/[0-9A-F]{24}(\\.[0-9A-F]{8}\\.backup)? to the archiver: can't link it into \
$HX_PG_ARCHIVE/\\.hx_backup_wal: Too many links$"
failed_backup 6

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

case_name "the watcher of the archiving cannot connect: said so, after a wal_wait_timeout above a minute"
remember_archive
touch "$HX_PG_ARCHIVE_HOLD"
# A role with no more than what the README grants (a superuser would not be
# held to a connection limit).
"$PG" psql -q -c "CREATE ROLE hx_granted LOGIN PASSWORD 'granted'; GRANT pg_read_all_settings TO hx_granted;
  GRANT EXECUTE ON FUNCTION pg_backup_start(text, boolean), pg_backup_stop(boolean), pg_switch_wal() TO hx_granted"
cp "$HX_PG_CONF" "$HX_SANDBOX_DIR/conf.saved"
"$PG" conf username hx_granted
"$PG" conf password granted
"$PG" conf wal_wait_timeout 62
: >"$HX_STANDIN_LOG_DIR/lvm.argv"
start=$(date +%s)
HX_LVM_SLOW="lvcreate:$HX_SANDBOX_DIR/limited" backup_start -1 -b cluster -n t5
# While the snapshots are made the module holds its two sessions: the role
# gets no third one, which the watcher of the stop would open.
wait_for_text "$HX_STANDIN_LOG_DIR/lvm.argv" "/sbin/lvcreate " 60 || fail "no snapshot was made"
"$PG" psql -q -c "ALTER ROLE hx_granted CONNECTION LIMIT 2"
touch "$HX_SANDBOX_DIR/limited"
backup_wait 150
elapsed=$(($(date +%s) - start))
cp "$HX_SANDBOX_DIR/conf.saved" "$HX_PG_CONF"
rm -f "$HX_PG_ARCHIVE_HOLD"
HX_PG_USER=hx_granted failed_backup 6
assert_line "Error: bool HxModule_PG_Ostrel::pg_stop_backup(pqxx::result&): the stop of backup mode waited 62 seconds \
for the WAL archive and is ended: the module could not watch the server's WAL archiving meanwhile, its connection for \
reading pg_stat_archiver failed (connection to server at \"127.0.0.1\", port $HX_PG_PORT_TCP failed: FATAL:  too many \
connections for role \"hx_granted\"). Allow the module's role one more connection (its CONNECTION LIMIT, the \
server's max_connections)"
[ "$elapsed" -ge 62 ] || fail "the stop was ended after ${elapsed} s, before wal_wait_timeout"

case_name "TERM while the release removes the snapshots: the release ends first, then the abort"
remember_archive
: >"$HX_STANDIN_LOG_DIR/lvm.argv"
HX_LVM_SLOW=lvremove:2 backup_start -1 -b cluster -n t3
wait_for_text "$HX_STANDIN_LOG_DIR/lvm.argv" "/sbin/lvremove " 60 || fail "no snapshot was removed"
kill -TERM "$BK_PID"
backup_wait 30
failed_backup 17

case_name "TERM as the client reads MAIN ARCHIVE FILENAME: too late, the backup is made and its WAL files go, but \
root's file that the server's account renamed to an obsolete WAL file's name"
remember_archive
install -d -o postgres "$HX_SANDBOX_DIR/account" && install -m 600 /dev/null "$HX_SANDBOX_DIR/account/root-owned"
echo "root's" >"$HX_SANDBOX_DIR/account/root-owned"
PLANTED="$HX_PG_ARCHIVE/000000010000000000000000"
hx_as_postgres mv "$HX_SANDBOX_DIR/account/root-owned" "$PLANTED"
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
assert_line "Error: Can't delete $PLANTED: a regular file owned by uid 0, not a file of the server's account"
assert_eq "root's" "$(cat "$PLANTED")" "root's file in the archive"
rm "$PLANTED"
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

case_name "while the archiver runs, the server's account turns the WAL archive's path into a link to another \
directory and a WAL file of the backup into a FIFO: the archiver reads the files checked, nothing else is touched"
PGHOME="$HX_SANDBOX_DIR/pg_home" OTHER="$HX_SANDBOX_DIR/other_archive"
mkdir -p "$PGHOME" && chown postgres "$PGHOME" && mkdir -m 700 "$OTHER"
hx_as_postgres ln -s "$HX_PG_ARCHIVE" "$PGHOME/wal_archive"
"$PG" conf archive_catalog "$PGHOME/wal_archive"
HX_HXFD_SLOW=3 backup_start -1 -b cluster -n swapped
wait_for_text "$BK_OUT" "HXFD PID:" 60 || fail "the archiver did not start"
SEG="$(grep -o '[0-9A-F]\{24\}$' "$BK_TASK_DIR/swapped.hxfd.list" | tail -n 1)"
cp "$HX_PG_ARCHIVE/$SEG" "$HX_SANDBOX_DIR/segment"
for f in $(ls "$HX_PG_ARCHIVE"); do install -m 600 /dev/null "$OTHER/$f" && echo other >"$OTHER/$f"; done
OTHER_BEFORE="$(cd "$OTHER" && sha256sum *)"
hx_as_postgres sh -c "mv '$HX_PG_ARCHIVE/$SEG' '$HX_PG_ARCHIVE/aside' && mkfifo '$HX_PG_ARCHIVE/$SEG' && \
ln -sfn '$OTHER' '$PGHOME/wal_archive'"
backup_wait
"$PG" conf archive_catalog "$HX_PG_ARCHIVE"
rm -f "$HX_PG_ARCHIVE/$SEG" "$HX_PG_ARCHIVE/aside"
assert_exit 0
tar -xOf "$HX_MEDIA_DIR/swapped" "${PGHOME#/}/wal_archive/$SEG" | cmp -s - "$HX_SANDBOX_DIR/segment" ||
  fail "the archive does not hold the WAL file $SEG as it was checked"
assert_eq "$OTHER_BEFORE" "$(cd "$OTHER" && sha256sum *)" "the other directory"
assert_line "Error: Can't delete $PGHOME/wal_archive/$SEG: a FIFO, not a regular file"
nothing_left

case_name "while the archiver runs, the server's account grows a WAL file of the backup through its own name: the \
backup is not reported as made"
"$PG" psql -q -c "CREATE TEMP TABLE probe ()"  # WAL since the last backup, for remember_archive to switch
remember_archive
HX_HXFD_SLOW=3 backup_start -1 -b cluster -n grown
wait_for_text "$BK_OUT" "HXFD PID:" 60 || fail "the archiver did not start"
SEG="$(grep -o '[0-9A-F]\{24\}$' "$BK_TASK_DIR/grown.hxfd.list" | tail -n 1)"
size="$(stat -c %s "$HX_PG_ARCHIVE/$SEG")"
hx_as_postgres truncate -s 20M "$HX_PG_ARCHIVE/$SEG"
backup_wait
hx_as_postgres truncate -s "$size" "$HX_PG_ARCHIVE/$SEG"
failed_backup 6
assert_line "Error: virtual bool HxModule_PG_Ostrel::release_resource_after_backup(): the WAL file $HX_PG_ARCHIVE/$SEG \
changed while the archiver read it: it has 20971520 bytes, not the $size bytes it was checked with; the backup is not usable"
nothing_left

case_name "a link the server's account put at the name of the archiver's links directory refuses the backup and \
stays; root's own leftover there is emptied and goes"
hx_as_postgres ln -s /opt "$HX_PG_ARCHIVE/.hx_backup_wal"
"$PG" psql -q -c "CREATE TEMP TABLE probe ()"  # WAL since the last backup, for remember_archive to switch
remember_archive
backup_run -1 -b cluster -n planted
[ -L "$HX_PG_ARCHIVE/.hx_backup_wal" ] || fail "the link was removed"
rm "$HX_PG_ARCHIVE/.hx_backup_wal"
failed_backup 6
assert_line_matches "^Error: bool HxModule_PG_Ostrel::list_wal_files\\(.*\\): can't hand the WAL file \
$HX_PG_ARCHIVE/[0-9A-F]{24} to the archiver: can't use $HX_PG_ARCHIVE/\\.hx_backup_wal: a symbolic link owned by uid \
$PGUID, which another account could have placed; it is neither used nor removed$"
# A killed task's links are the server's WAL files under a second name.
mkdir -m 700 "$HX_PG_ARCHIVE/.hx_backup_wal" &&
  install -o postgres /dev/null "$HX_PG_ARCHIVE/.hx_backup_wal/000000010000000000000001"
backup_run -1 -b cluster -n leftover
assert_exit 0
nothing_left

case_name "what another account plants in /dev/shm refuses no backup with a wrong reason"
# The mutex name of the resource 'cluster', and the names the snapshots'
# locks would have in /dev/shm.
SEM=/dev/shm/sem.Halvex_MOD_mutex_hx_module_pg_ostrel_c1122d8dce5c6b40
SNAP_LOCKS="/dev/shm/Halvex_MOD_snapshot_2d4d1649e4f71651.owner /dev/shm/Halvex_MOD_snapshot_e791d6b02c7ea6f0.owner"
hx_as_postgres mkdir $SEM $SNAP_LOCKS
backup_run -1 -b cluster -n p1
rmdir $SEM
assert_exit 2
assert_not_contains "MAIN "
assert_line "Error: Can't run the task on the resource 'cluster': the lock name $SEM is taken by a directory owned \
by uid $PGUID, which is not this module's lock; remove it, then run the task again"
# In the sticky -d: the backup's own files are root's.
run_module -1 -b cluster -n p2 -d "$SHARED" -m media1 -T task1 -e lvm_snapshot_size:50 --dgst
rmdir $SNAP_LOCKS
assert_exit 0
assert_eq "root 600" "$(stat -c '%U %a' "$SHARED/p2.snap")" "the snapshot file"
assert_eq "root 644" "$(stat -c '%U %a' "$SHARED/p2.signature")" "the signature file"
grep -q "^sha256: $(sha256sum "$HX_MEDIA_DIR/p2" | cut -d' ' -f1)$" "$SHARED/p2.signature" ||
  fail "the signature file does not sign the archive"
! grep -q "$SHARED" /proc/self/mountinfo && [ ! -e "$SHARED/p2" ] || fail "the task directory or a mount stayed"
nothing_left

finish
