#!/usr/bin/env bash
# The client check (-t) and the listings (-c, -l, -L) of the real program
# against the test bed's server on stand-in LVM volumes, and the check's
# refusals, each with its exact Error text and exit code 2: archiving off,
# wal_level minimal, no restore_command, a tablespace that is not on a
# logical volume, and a data directory that is not (a server started from a
# copy of the data directory in a plain directory).
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
HX_MODULE_BIN="$HX_BUILD_DIR/postgresql/hx_module_pg_ostrel"
PG="$HX_TESTBED_DIR/pg"

ARCHIVE_SIG="bool hx_postgresql_common::check_archive_mode(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >)"
INFO_SIG="bool HxModule_PG_Ostrel::get_lvm_info_of_mountpoint(std::string, std::string&, std::string&, std::string&)"

server_text="$("$PG" psql -At -c 'SHOW server_version')"
version_num="$("$PG" psql -At -c 'SHOW server_version_num')"
short_version="$((version_num / 10000)).$((version_num % 100))"
config_file="$("$PG" psql -At -c 'SHOW config_file')"
data_dir="$("$PG" psql -At -c 'SHOW data_directory')"

placement_lines() {
  cat <<EOF
Info: Checking the database placement:
Info: PostgreSQL data directory: $data_dir used LVM volume '/dev/mapper/hxvg-data' in the volume group: 'hxvg'
Info: Tablespace: $HX_PG_TBLSPC used LVM volume '/dev/mapper/hxvg-ts' in the volume group: 'hxvg'
EOF
}

case_name "-t on a good host"
run_module -t
assert_exit 0
assert_stdout "Module version: 2.0
LVM version: 2.03.16(2)
PostgreSQL version: $server_text
$(placement_lines)"
grep -Fxq "/sbin/lvs /dev/mapper/hxvg-data --nosuffix --units B -o vg_name --noheadings" \
  "$HX_STANDIN_LOG_DIR/lvm.argv" || fail "lvs vg_name query of the data volume not run"
grep -Fxq "/sbin/lvscan --version" "$HX_STANDIN_LOG_DIR/lvm.argv" || fail "lvscan --version not run"

case_name "-l prints the one resource"
run_module -l
assert_exit 0
assert_stdout "PostgreSQL $short_version"
case "$short_version" in 15.*) ;; *) fail "major version is not 15: $short_version" ;; esac

case_name "-L prints header, dashes and the resource"
run_module -L
assert_exit 0
assert_stdout "Database
----
PostgreSQL $short_version"

case_name "archive_mode off"
"$PG" restart -c archive_mode=off || fail "restart failed"
run_module -t
assert_exit 2
assert_stdout "Module version: 2.0
Error: $ARCHIVE_SIG: archive_mode must be set to \"on\" or \"always\"
Error: You must turn PostgreSQL archive mode on"
case_name "archive_mode off with -L: the header comes first, nothing after"
run_module -L
assert_exit 2
assert_stdout "Database
----
Error: $ARCHIVE_SIG: archive_mode must be set to \"on\" or \"always\"
Error: You must turn PostgreSQL archive mode on"

case_name "wal_level minimal"
"$PG" restart -c wal_level=minimal -c max_wal_senders=0 -c archive_mode=off || fail "restart failed"
run_module -t
assert_exit 2
assert_stdout "Module version: 2.0
Error: $ARCHIVE_SIG: wal_level must be set to replica or logical
Error: You must turn PostgreSQL archive mode on"

case_name "archive_mode always with an empty archive_command passes"
"$PG" restart -c archive_mode=always -c archive_command= || fail "restart failed"
run_module -t
assert_exit 0

case_name "empty restore_command"
"$PG" restart -c restore_command= || fail "restart failed"
run_module -t
assert_exit 2
assert_stdout "Module version: 2.0
LVM version: 2.03.16(2)
PostgreSQL version: $server_text
Error: You MUST define restore_command in the $config_file"
run_module -l
assert_exit 2
assert_stdout "Error: You MUST define restore_command in the $config_file"
"$PG" restart || fail "restart failed"

case_name "a tablespace on a plain directory"
plain_ts="$HX_SANDBOX_DIR/zz-plain-ts"
mkdir -p "$plain_ts"
chown postgres:postgres "$plain_ts"
"$PG" psql -q -c "CREATE TABLESPACE ts_plain LOCATION '$plain_ts'" || fail "CREATE TABLESPACE failed"
plain_dev="$(LANG=C df "$plain_ts" | grep ^/dev | awk '{print $1}')"
run_module -t
assert_exit 2
if [ -n "$plain_dev" ]; then
  # The tablespaces are examined in sorted order: ts1 first, then the plain one.
  assert_stdout "Module version: 2.0
LVM version: 2.03.16(2)
PostgreSQL version: $server_text
$(placement_lines)
Error: Device: $plain_dev is not a LVM volume
Error: $INFO_SIG: command: LANG=C /sbin/lvs $plain_dev --nosuffix --units B -o vg_name --noheadings
Error:   \"$plain_dev\": Invalid path for Logical Volume."
else
  assert_line "Error: $INFO_SIG: command: LANG=C df $plain_ts | grep ^/dev"
fi
run_module -l
assert_exit 2
assert_not_contains "PostgreSQL 15"
"$PG" psql -q -c "DROP TABLESPACE ts_plain" || fail "DROP TABLESPACE failed"

case_name "a data directory that is not on LVM"
# The server is stopped and a copy of its data directory, in a plain
# directory, is started on another port; the module is pointed at it.
"$PG" stop
plain_data="$HX_SANDBOX_DIR/plain-pgdata"
cp -a "$HX_PG_DATA" "$plain_data"
rm -f "$plain_data/postmaster.pid"
copy_port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
copy_sock="$HX_SANDBOX_DIR/plain-sock"
mkdir -p "$copy_sock"
chown postgres:postgres "$copy_sock"
(cd / && setpriv --reuid=postgres --regid=postgres --init-groups "$HX_PG_BIN/pg_ctl" -D "$plain_data" \
  -l "$copy_sock/server.log" -w -t 60 \
  -o "-c port=$copy_port -c unix_socket_directories=$copy_sock -c archive_command=/bin/true" start >/dev/null) ||
  fail "the copy did not start: $(tail -5 "$copy_sock/server.log")"
"$PG" conf port "$copy_port"
plain_dev="$(LANG=C df "$plain_data" | grep ^/dev | awk '{print $1}')"
run_module -t
assert_exit 2
if [ -n "$plain_dev" ]; then
  assert_stdout "Module version: 2.0
LVM version: 2.03.16(2)
PostgreSQL version: $server_text
Info: Checking the database placement:
Error: Device: $plain_dev is not a LVM volume
Error: $INFO_SIG: command: LANG=C /sbin/lvs $plain_dev --nosuffix --units B -o vg_name --noheadings
Error:   \"$plain_dev\": Invalid path for Logical Volume."
else
  assert_line "Error: $INFO_SIG: command: LANG=C df $plain_data | grep ^/dev"
fi
(cd / && setpriv --reuid=postgres --regid=postgres --init-groups "$HX_PG_BIN/pg_ctl" -D "$plain_data" \
  -m fast -w stop >/dev/null) || fail "the copy did not stop"
"$PG" conf port "$HX_PG_PORT_TCP"
"$PG" start || fail "the server did not start again"

case_name "no /sbin/lvscan"
# An overlay with a whiteout hides the stand-in for this case.
hide="$HX_SANDBOX_DIR/hide-lvscan"
mkdir -p "$hide/upper" "$hide/work"
mknod "$hide/upper/lvscan" c 0 0
if mount -t overlay hx-hide -o "lowerdir=/usr/sbin,upperdir=$hide/upper,workdir=$hide/work" /usr/sbin; then
  [ ! -e /sbin/lvscan ] || fail "/sbin/lvscan still visible"
  run_module -t
  assert_exit 2
  assert_stdout "Module version: 2.0
Error: virtual int HxModule_PG_Ostrel::check_client(const bool&): can't find /sbin/lvscan"
  umount /usr/sbin || fail "could not remove the hiding overlay"
else
  fail "could not hide /sbin/lvscan"
fi
[ -x /sbin/lvscan ] || fail "/sbin/lvscan did not come back"

case_name "-c needs no server"
"$PG" stop
run_module -c
assert_exit 0
assert_stdout "Database"
"$PG" start || fail "the server did not start again"

case_name "the good host again after the refusals"
run_module -t
assert_exit 0

finish
