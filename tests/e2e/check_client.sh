#!/usr/bin/env bash
# The client check (-t) and the listings (-c, -l, -L) of the real program
# against the test bed's server on stand-in LVM volumes, and the check's
# refusals with their exact Error texts and exit code 2.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
PG="$HX_TESTBED_DIR/pg"

ARCHIVE_SIG="bool hx_postgresql_common::check_archive_mode(std::shared_ptr<pqxx::basic_connection_base<pqxx::connect_direct> >)"
INFO_SIG="bool HxModule_PG_Ostrel::get_lvm_info_of_mountpoint(std::string, std::string&, std::string&, std::string&)"
server_text="$("$PG" psql -At -c 'SHOW server_version')"
version_num="$("$PG" psql -At -c 'SHOW server_version_num')"
short_version="$((version_num / 10000)).$((version_num % 100))"
config_file="$("$PG" psql -At -c 'SHOW config_file')"
data_dir="$("$PG" psql -At -c 'SHOW data_directory')"
HEAD="Module version: 2.0
LVM version: 2.03.16(2)
PostgreSQL version: $server_text"
DATA_LINES="Info: Checking the database placement:
Info: PostgreSQL data directory: $data_dir used LVM volume '/dev/mapper/hxvg-data' in the volume group: 'hxvg'"
TS_LINE="Info: Tablespace: $HX_PG_TBLSPC used LVM volume '/dev/mapper/hxvg-ts' in the volume group: 'hxvg'"
ARCHIVE_OFF="Error: $ARCHIVE_SIG: archive_mode must be set to \"on\" or \"always\"
Error: You must turn PostgreSQL archive mode on"

# expect RC STDOUT ARGS...: runs the program and checks its exit code and whole output.
expect() {
  local rc="$1" out="$2"
  shift 2
  run_module "$@"
  assert_exit "$rc"
  assert_stdout "$out"
}

# not_lvm PATH: the three Error lines of a path whose device is no logical volume.
not_lvm() {
  local dev
  dev="$(LANG=C df "$1" | grep ^/dev | awk '{print $1}')"
  [ -n "$dev" ] || fail "$1 lies on no /dev file system"
  printf '%s\n' "Error: Device: $dev is not a LVM volume" \
    "Error: $INFO_SIG: command: LANG=C /sbin/lvs $dev --nosuffix --units B -o vg_name --noheadings" \
    "Error:   \"$dev\": Invalid path for Logical Volume."
}

case_name "-t, -l and -L on a good host"
expect 0 "$HEAD
$DATA_LINES
$TS_LINE" -t
grep -Fxq "/sbin/lvscan --version" "$HX_STANDIN_LOG_DIR/lvm.argv" || fail "lvscan --version not run"
expect 0 "PostgreSQL $short_version" -l
case "$short_version" in 15.*) ;; *) fail "major version is not 15: $short_version" ;; esac
expect 0 "Database
----
PostgreSQL $short_version" -L

case_name "archive_mode off; with -L the header comes first"
"$PG" restart -c archive_mode=off || fail "restart failed"
expect 2 "Module version: 2.0
$ARCHIVE_OFF" -t
expect 2 "Database
----
$ARCHIVE_OFF" -L

case_name "wal_level minimal"
"$PG" restart -c wal_level=minimal -c max_wal_senders=0 -c archive_mode=off || fail "restart failed"
expect 2 "Module version: 2.0
Error: $ARCHIVE_SIG: wal_level must be set to replica or logical
Error: You must turn PostgreSQL archive mode on" -t

case_name "archive_mode always with an empty archive_command passes"
"$PG" restart -c archive_mode=always -c archive_command= || fail "restart failed"
run_module -t
assert_exit 0

# The server's version decides, through a proxy that reports the version
# given to it: VERSION|EXIT CODE|the Error line after the head ("" when the
# check passes). Below 9.0 libpqxx itself refuses the connection.
# with_version VERSION: the module's connections from now on see VERSION.
with_version() { printf '%s\n' "$1" >"$HX_SANDBOX_DIR/proxy.version"; }
with_version 15.0
"$HX_TESTBED_DIR/pg-version-proxy" "$HX_PG_PORT_TCP" "$HX_SANDBOX_DIR/proxy.version" >"$HX_SANDBOX_DIR/proxy.out" &
proxy_pid=$!
wait_for_text "$HX_SANDBOX_DIR/proxy.out" ready 20 || fail "the version proxy did not start"
"$PG" conf port "$(sed -n 's/^ready //p' "$HX_SANDBOX_DIR/proxy.out")"
case_name "server version 8.4.22"
with_version 8.4.22
expect 2 "Error: virtual int HxModule_PG_Ostrel::check_client(const bool&): Database error: Unsupported server version; 9.0 is the minimum." -t
for row in "9.5.25|2|Error: Unsupported major PostgreSQL version: 9.5" "9.6.24|0|" "10.23|0|" "15.4|0|" \
  "16.1|2|Error: Unsupported PostgreSQL version: 16.1" "16devel|2|Error: Unsupported PostgreSQL version: 16.0"; do
  IFS='|' read -r version code error <<<"$row"
  case_name "server version $version"
  with_version "$version"
  head="Module version: 2.0
LVM version: 2.03.16(2)
PostgreSQL version: $version"
  if [ "$code" = 0 ]; then
    expect 0 "$head
$DATA_LINES
$TS_LINE" -t
    expect 0 "PostgreSQL $(python3 -c 'import sys; print(".".join((sys.argv[1].split(".") + ["0"])[:2]))' "$version")" -l
  else
    expect 2 "$head
$error" -t
  fi
done

case_name "empty restore_command: needed from version 12 on"
"$PG" restart -c restore_command= || fail "restart failed"
with_version 11.22
expect 0 "Module version: 2.0
LVM version: 2.03.16(2)
PostgreSQL version: 11.22
$DATA_LINES
$TS_LINE" -t
with_version 12.0
expect 2 "Module version: 2.0
LVM version: 2.03.16(2)
PostgreSQL version: 12.0
Error: You MUST define restore_command in the $config_file" -t
kill "$proxy_pid"
wait "$proxy_pid" || true
"$PG" conf port "$HX_PG_PORT_TCP"
expect 2 "$HEAD
Error: You MUST define restore_command in the $config_file" -t
expect 2 "Error: You MUST define restore_command in the $config_file" -l
"$PG" restart || fail "restart failed"

case_name "a tablespace on a plain directory"
plain_ts="$HX_SANDBOX_DIR/zz-plain-ts"
mkdir -p "$plain_ts"
chown postgres:postgres "$plain_ts"
"$PG" psql -q -c "CREATE TABLESPACE ts_plain LOCATION '$plain_ts'" || fail "CREATE TABLESPACE failed"
# The tablespaces are examined in sorted order: ts1 first, then the plain one.
expect 2 "$HEAD
$DATA_LINES
$TS_LINE
$(not_lvm "$plain_ts")" -t
run_module -l
assert_exit 2
assert_not_contains "PostgreSQL 15"
"$PG" psql -q -c "DROP TABLESPACE ts_plain" || fail "DROP TABLESPACE failed"

case_name "a data directory that is not on LVM"
# A copy of the data directory in a plain directory, started on another port.
"$PG" stop
plain_data="$HX_SANDBOX_DIR/plain-pgdata"
cp -a "$HX_PG_DATA" "$plain_data"
rm -f "$plain_data/postmaster.pid"
copy_port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
copy_ctl=(setpriv --reuid=postgres --regid=postgres --init-groups "$HX_PG_BIN/pg_ctl" -D "$plain_data" -w)
(cd / && "${copy_ctl[@]}" -l "$plain_data/copy.log" -o "-c port=$copy_port -c unix_socket_directories=/tmp \
  -c archive_command=/bin/true" start >/dev/null) || fail "the copy did not start: $(tail -5 "$plain_data/copy.log")"
"$PG" conf port "$copy_port"
expect 2 "$HEAD
Info: Checking the database placement:
$(not_lvm "$plain_data")" -t
(cd / && "${copy_ctl[@]}" -m fast stop >/dev/null) || fail "the copy did not stop"
"$PG" conf port "$HX_PG_PORT_TCP"
"$PG" start || fail "the server did not start again"

case_name "no /sbin/lvscan, and one that cannot be examined"
# An overlay puts a whiteout, or a link to itself, in place of the stand-in.
hide="$HX_SANDBOX_DIR/hide-lvscan"
for kind in whiteout loop; do
  rm -rf "$hide"
  mkdir -p "$hide/upper" "$hide/work"
  if [ "$kind" = whiteout ]; then
    mknod "$hide/upper/lvscan" c 0 0
    error="can't find /sbin/lvscan"
  else
    ln -s lvscan "$hide/upper/lvscan"
    error="boost::filesystem::status: Too many levels of symbolic links: \"/sbin/lvscan\""
  fi
  mount -t overlay hx-hide -o "lowerdir=/usr/sbin,upperdir=$hide/upper,workdir=$hide/work" /usr/sbin ||
    fail "could not hide /sbin/lvscan"
  expect 2 "Module version: 2.0
Error: virtual int HxModule_PG_Ostrel::check_client(const bool&): $error" -t
  umount /usr/sbin || fail "could not remove the hiding overlay"
done

case_name "a failing lvscan fails the check"
HX_LVM_FAIL=lvscan expect 2 "Module version: 2.0
Error: virtual int HxModule_PG_Ostrel::check_client(const bool&): command: LANG=C /sbin/lvscan --version
Error:   lvscan: failure requested by the test bed" -t

case_name "a refused login is reported with the server's reason and not tried again"
"$PG" conf password "wrong one"
pg_log_mark
expect 2 "Error: virtual int HxModule_PG_Ostrel::check_client(const bool&): can't connect to the database: connection to server at \"127.0.0.1\", port $HX_PG_PORT_TCP failed: FATAL:  password authentication failed for user \"$HX_PG_USER\"
Error: Can't connect to the database" -t
assert_eq 1 "$(tail -c +"$((HX_PG_LOG_MARK + 1))" "$HX_PG_LOG" | grep -c 'password authentication failed')" "failed logins"
"$PG" conf password "$HX_PG_PASSWORD"

case_name "a role that may not read the server's file locations"
"$PG" psql -q -c "CREATE ROLE hx_plain LOGIN PASSWORD 'plain'"
"$PG" conf username hx_plain
"$PG" conf password plain
run_module -t
"$PG" conf username "$HX_PG_USER"
"$PG" conf password "$HX_PG_PASSWORD"
assert_exit 2
assert_line "Error: bool hx_postgresql_common::show_config_file(std::shared_ptr<pqxx::basic_connection_base<\
pqxx::connect_direct> >, std::string&): ERROR:  must be superuser or have privileges of pg_read_all_settings to \
examine \"config_file\""
assert_line "Error: Unable to determine PostgreSQL config_file"

case_name "started with standard output closed"
# The connection would take descriptor 1 and the answers would go into it.
log="/opt/halvex/log/$(basename "$HX_MODULE_BIN").log"
: >"$log"
rc=0
"$HX_MODULE_BIN" -t >&- 2>/dev/null </dev/null || rc=$?
assert_eq 0 "$rc" "exit code"
grep -Fq "Info: Tablespace: $HX_PG_TBLSPC used LVM volume" "$log" || fail "the check did not run to its end"

case_name "-c needs no server"
"$PG" stop
expect 0 "Database" -c
"$PG" start || fail "the server did not start again"

finish
