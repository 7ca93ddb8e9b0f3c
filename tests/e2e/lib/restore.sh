# Helpers of the end-to-end scripts that restore into the test bed's server;
# source it after common.sh and pg.sh.
#
#   rs_psql SQL                 one value from the test bed's server
#   rs_mark LABEL               commits one row of LABEL into marker_data (default
#                               tablespace) and marker_ts (tablespace ts1), creating
#                               the tables the first time
#   rs_labels                   the labels in both marker tables, "data|ts" form
#   rs_server_pid               the postmaster's pid ("" when it does not run)
#   rs_recovered                waits (bounded) until the server accepts
#                               connections and has left recovery; fails otherwise
#   rs_cold_archive NAME [SRC:NAME...]  stops the server and lets the archiver
#                               stand-in store its data directory (with a
#                               tablespace_map), tablespace ts1, the WAL archive
#                               and the extra entries under NAME, as a full
#                               backup would; writes $RS_WORK/NAME.meta; starts
#                               the server again; with RS_WAL_FROM set, the WAL
#                               files of that directory go into the record's
#                               WAL archive too
#   rs_restore NAME DIR [ITEMS] runs the program's restore of NAME into DIR (-r,
#                               -M, -m, -T, -d) with the settings a backup reports
#                               and the further -e ITEMS (last:true, ...)
#   rs_ts_mark VALUE            writes VALUE into the file "proof" of tablespace
#                               ts1's location; rs_ts_restored VALUE asserts it
# Controls of the deployment (files in $RS_CTL): with COMMAND.fail the module's
# pg_ctl (after rs_use_pg_ctl_wrapper) prints that file and exits 1 for COMMAND
# (status, stop, start); with COMMAND.hold it holds after running COMMAND; with
# cp.hold, $RS_WORK/bin/cp (first in rs_restore_bg's PATH) holds at a copy into
# the data directory, then exits 1 without copying (with cp.go: copies).
#   rs_restore_bg NAME DIR [ITEMS]  rs_restore in the background: RS_PID
#   rs_held WHAT, rs_release WHAT   waits (bounded) until WHAT holds; lets it go
#   rs_bg_end                   waits (bounded) for the background restore; sets
#                               RUN_RC, RUN_STDOUT and RUN_LINES

PG="$HX_TESTBED_DIR/pg"
# The wrappers below are written into RS_WORK: it must lie in the sandbox's
# own work directory, never anywhere of the host.
RS_WORK="${HX_SANDBOX_DIR:?run inside testbed/sandbox}/restore-work"
[[ "$RS_WORK" == /tmp/hx-sandbox.*/restore-work ]] || { echo "restore.sh: unexpected work directory $RS_WORK" >&2; exit 2; }
mkdir -p "$RS_WORK"

rs_psql() { "$PG" psql -qAt -c "$1"; }

rs_mark() {
  "$PG" psql -q -c "SET client_min_messages = warning; CREATE TABLE IF NOT EXISTS marker_data (label text);
    CREATE TABLE IF NOT EXISTS marker_ts (label text) TABLESPACE ts1;
    BEGIN; INSERT INTO marker_data VALUES ('$1'); INSERT INTO marker_ts VALUES ('$1'); COMMIT;" >/dev/null
}

rs_labels() {
  rs_psql "SELECT (SELECT string_agg(label, ' ' ORDER BY label) FROM marker_data) || '|' ||
    (SELECT string_agg(label, ' ' ORDER BY label) FROM marker_ts)"
}

rs_server_pid() {
  "$PG" status && sed -n 1p "$HX_PG_DATA/postmaster.pid"
  return 0
}

rs_recovered() {
  local i
  for i in $(seq 1 120); do
    [ "$(rs_psql "SELECT pg_is_in_recovery()" 2>/dev/null)" = f ] && return 0
    sleep 0.5
  done
  fail "the server does not run or has not left recovery"
  return 1
}

rs_cold_archive() {
  local name="$1" list="$RS_WORK/$1.list" entry
  shift
  "$PG" stop || { fail "the server did not stop"; return 1; }
  # Owned by the server's account, as the label files of a backup are.
  printf '%s %s\n' "$RS_TS1_OID" "$HX_PG_TBLSPC" >"$RS_WORK/tablespace_map"
  chown postgres:postgres "$RS_WORK/tablespace_map"
  {
    echo "HXFD file list:"
    echo "   $HX_PG_DATA : ${HX_PG_DATA#/}"
    echo "   $RS_WORK/tablespace_map : ${HX_PG_DATA#/}/tablespace_map"
    echo "   $HX_PG_TBLSPC : ${HX_PG_TBLSPC#/}"
    echo "   $HX_PG_ARCHIVE : ${HX_PG_ARCHIVE#/}"
    for entry in "$@"; do echo "   ${entry%%:*} : ${entry#*:}"; done
    for entry in ${RS_WAL_FROM:+"$RS_WAL_FROM"/0*}; do echo "   $entry : ${HX_PG_ARCHIVE#/}/${entry##*/}"; done
  } >"$list"
  /opt/halvex/bin/hxfd -a sha2 -2 -b 16384 -c "$list" -M media1 -N "$name" -T cold \
    -s /opt/halvex/var/tasks//task_secret_cold -m "$RS_WORK/$name.meta" >"$RS_WORK/$name.out" 2>&1 ||
    { fail "the archiver did not store $name"; cat "$RS_WORK/$name.out" >&2; }
  "$PG" start || { fail "the server did not start again"; return 1; }
}

RS_TS1_OID="$(rs_psql "SELECT oid FROM pg_tablespace WHERE spcname = 'ts1'")"

RS_VERSION="$(rs_psql "SELECT current_setting('server_version_num')::int / 10000 || '.' ||
  current_setting('server_version_num')::int % 10000")"

rs_restore() {
  run_module -r "$1" -M "$RS_WORK/$1.meta" -m media1 -T "restore-$1" -d "$2" \
    -e "config_file:$HX_PG_DATA/postgresql.conf,data_directory:$HX_PG_DATA,pg_version:$RS_VERSION${3:+,$3}"
}

rs_ts_mark() { printf '%s\n' "$1" >"$HX_PG_TBLSPC/proof" && chown postgres:postgres "$HX_PG_TBLSPC/proof"; }
rs_ts_restored() { assert_eq "$1" "$(cat "$HX_PG_TBLSPC/proof")" "the tablespace's proof file"; }

RS_CTL="$RS_WORK/ctl"
mkdir -p "$RS_CTL" "$RS_WORK/bin"
chown postgres:postgres "$RS_CTL"
cat >"$RS_WORK/pg_ctl" <<EOF
#!/bin/sh
if [ -e "$RS_CTL/\$1.fail" ]; then cat "$RS_CTL/\$1.fail"; exit 1; fi
"$HX_PG_BIN/pg_ctl" "\$@"
rc=\$?
if [ -e "$RS_CTL/\$1.hold" ]; then echo held >"$RS_CTL/\$1.held"; while [ -e "$RS_CTL/\$1.hold" ]; do sleep 0.1; done; fi
exit \$rc
EOF
cat >"$RS_WORK/bin/cp" <<EOF
#!/bin/sh
case "\$(readlink -f "\$3")" in "$HX_PG_DATA/"*) if [ -e "$RS_CTL/cp.hold" ]; then
  echo held >"$RS_CTL/cp.held"; while [ -e "$RS_CTL/cp.hold" ]; do sleep 0.1; done
  [ -e "$RS_CTL/cp.go" ] || exit 1
fi ;; esac
exec /bin/cp "\$@"
EOF
chmod 755 "$RS_WORK/pg_ctl" "$RS_WORK/bin/cp"

rs_use_pg_ctl_wrapper() { "$PG" conf pg_ctl "$RS_WORK/pg_ctl"; }

rs_restore_bg() {
  PATH="$RS_WORK/bin:$PATH" "$HX_MODULE_BIN" -r "$1" -M "$RS_WORK/$1.meta" -m media1 -T "restore-$1" -d "$2" \
    -e "config_file:$HX_PG_DATA/postgresql.conf,data_directory:$HX_PG_DATA,pg_version:$RS_VERSION${3:+,$3}" \
    >"$RS_WORK/bg.out" 2>&1 </dev/null &
  RS_PID=$!
}

rs_held() { wait_for_text "$RS_CTL/$1.held" held 30 || fail "nothing holds at $1"; }
rs_release() { rm -f "$RS_CTL/$1.hold" "$RS_CTL/$1.held"; }

rs_bg_end() {
  wait_ended "$RS_PID" 120 || fail "the restore hung"
  RUN_STDOUT="$(cat "$RS_WORK/bg.out")"
  RUN_LINES="$(hx_log_strip_stamps <<<"$RUN_STDOUT")"
}
