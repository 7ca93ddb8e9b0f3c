#!/usr/bin/env bash
# Restores of the program's own backups into the test bed's running server, as
# the client drives them: a full backup made while pgbench and the marker
# writer commit, then the full backup and two incrementals restored (-i for the
# later parts, last:true on the last). The server comes back out of recovery
# with pgbench's sums agreeing, the marker rows of the last part and the
# backup's tablespace restored; a chain missing its middle part is refused.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/backup.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/restore.sh"
trap 'writer_stop; pgbench_stop' EXIT

SNAPS="$HX_SANDBOX_DIR/snaps"
mkdir -p "$SNAPS" "$RS_WORK/client"
keep() { cp "$BK_TASK_DIR/$1.snap" "$SNAPS/$1.snap"; }
ref() { cp "$SNAPS/$1.snap" "$BK_TASK_DIR/ref-$1.snap" && printf '%s' "$BK_TASK_DIR/ref-$1.snap"; }
# restore_part NAME ARGS...: the client's restore of backup NAME with its snapshot file.
restore_part() {
  local name="$1"
  shift
  cp "$SNAPS/$name.snap" "$RS_WORK/in-$name.snap"
  run_module -r "$name" -M "$RS_WORK/in-$name.snap" -d "$RS_WORK/client" -m media1 -T "r-$name" "$@"
}
# The rows and sums of the restored server: ids 1..max in both tables with
# PROOF_MIN <= max <= PROOF_MAX, and pgbench's four sums equal.
restored_rows() {
  rs_recovered
  local a t b h count max ts_count
  read -r a t b h <<<"$(psql_value "SELECT (SELECT sum(abalance) FROM pgbench_accounts) || ' ' ||
    (SELECT sum(tbalance) FROM pgbench_tellers) || ' ' || (SELECT sum(bbalance) FROM pgbench_branches) || ' ' ||
    (SELECT coalesce(sum(delta), 0) FROM pgbench_history)")"
  [ "$a" = "$t" ] && [ "$t" = "$b" ] && [ "$b" = "$h" ] || fail "pgbench's sums disagree: $a $t $b $h"
  read -r count max ts_count <<<"$(psql_value "SELECT count(*) || ' ' || coalesce(max(id), 0) || ' ' ||
    (SELECT count(*) FROM marker_ts) FROM marker_data")"
  [ "$count" = "$max" ] && [ "$ts_count" = "$max" ] || fail "marker rows not 1..$max in both tables"
  [ "$max" -ge "$PROOF_MIN" ] || fail "rows committed before the backup began are missing: $max < $PROOF_MIN"
  [ "$max" -le "$PROOF_MAX" ] || fail "rows committed after the backup ended are present: $max > $PROOF_MAX"
}

markers_create
pgbench_init 4
writer_start
pgbench_start
rs_ts_mark full1
backup_run -1 -b cluster -n full1
assert_exit 0
rs_ts_mark live
keep full1
FULL_MIN="$MARK_BEGIN" FULL_MAX="$MARK_END"
PGV="$(setting pg_version)"
FULL_START="$(setting start_wal_location)" FULL_STOP="$(setting stop_wal_location)"
E="config_file:$(setting config_file),data_directory:$(setting data_directory),pg_version:$(setting pg_version)"
backup_run -2 -b cluster -n inc1 -s "$(ref full1)"
assert_exit 0
keep inc1
backup_run -2 -b cluster -n inc2 -s "$(ref inc1)"
assert_exit 0
keep inc2
INC_MIN="$MARK_BEGIN" INC_MAX="$MARK_END"
INC_STOP="$(setting stop_wal_location)"
pgbench_stop

# The WAL file after the full backup's last one (16 MiB segments).
segment=$((16#${FULL_STOP:16:8}))
after_full="$(printf '%s%08X%08X' "${FULL_STOP:0:8}" $((16#${FULL_STOP:8:8} + (segment == 255))) $(((segment + 1) % 256)))"

case_name "the second incremental without the first is refused; the parts in any order"
pid="$(sed -n 1p "$HX_PG_DATA/postmaster.pid")"
restore_part full1 -e "$E"
assert_exit 0
restore_part inc2 -i full1 -e "$E,last:true"
assert_exit 7
assert_line "Error: bool hx_postgresql_common::restored_wal_chain_complete(const string&, const string&, const string&): the restored WAL archive lacks the WAL file $after_full, which recovery from $FULL_START to $INC_STOP needs: restore every part of the backup. Nothing was changed"
assert_eq "$pid" "$(sed -n 1p "$HX_PG_DATA/postmaster.pid")" "the server's process"

case_name "restore of the full backup and two incrementals into the running server"
restore_part inc1 -i full1 -e "$E"
assert_exit 0
[ "$(markers_max)" -gt "$INC_MAX" ] || fail "the writer committed nothing after the last backup"
restore_part inc2 -i full1 -e "$E,last:true"
writer_stop
assert_exit 0
assert_line "Info: PostgreSQL started"
PROOF_MIN="$INC_MIN" PROOF_MAX="$INC_MAX" restored_rows
rs_ts_restored full1
[ -e "$RS_WORK/client/full1.rest/postgresql_$PGV" ] && fail "the restore root is left"

case_name "restore of the full backup alone, again into the same server"
restore_part full1 -e "$E,last:true"
assert_exit 0
PROOF_MIN="$FULL_MIN" PROOF_MAX="$FULL_MAX" restored_rows

finish
