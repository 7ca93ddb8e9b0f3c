#!/usr/bin/env bash
# The program's preparation step against the real server of the test bed: the
# backup modes open the connection, and fail with exit code 2 before
# "MODULE PID:" when they cannot; a server that archives slowly but steadily
# keeps the stop of backup mode waiting past the bound for a stalled one.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
PG="$HX_TESTBED_DIR/pg"
LOG_FILE="/opt/halvex/log/hx_module_pg_ostrel.log"
WORK="$HX_SANDBOX_DIR/e2e-prepare"
mkdir -p "$WORK/tmp"
echo '[{"path": "cluster"}]' >"$WORK/resources.json"
TASK=(-d "$WORK/tmp" -n archive1 -m media1 -T task1)
cp "$HX_PG_CONF" "$WORK/conf.saved"

# refused_in_preparation: exit 2, "Can't prepare module" last, no "MODULE PID:".
refused_in_preparation() {
  assert_exit 2
  assert_eq "Error: Can't prepare module" "$(printf '%s\n' "$RUN_LINES" | tail -n 1)" "last line"
  assert_not_contains "MODULE PID:"
}

case_name "a backup gets past preparation with the server running"
# Without -d the task stops right after preparation, lock and configuration,
# with its own exit code and Error line.
pg_log_mark
run_module_within 60 -b cluster -n archive1 -m media1 -T task1
assert_exit 4
assert_line_before "^PostgreSQL version: 15\.[0-9]+ " "^MODULE PID:[0-9]+$"
assert_eq "Error: Backup module: you must define tmp_operation_directory directory" \
  "$(printf '%s\n' "$RUN_LINES" | grep '^Error: ' || true)" "Error lines"
[ "$(pg_module_sessions_since_mark)" -ge 1 ] || fail "the server saw no session of $HX_PG_USER"

case_name "a backup whose configuration cannot be loaded fails in preparation"
"$PG" conf --delete pg_ctl
run_module -b cluster "${TASK[@]}"
refused_in_preparation
assert_line "Error: Please define pg_ctl  in the $HX_PG_CONF"

case_name "a backup without archive_catalog fails in preparation, naming the key"
cp "$WORK/conf.saved" "$HX_PG_CONF"
"$PG" conf --delete archive_catalog
run_module -b cluster "${TASK[@]}"
refused_in_preparation
assert_stdout "Error: The module configuration file $HX_PG_CONF names no archive_catalog: a backup reads the WAL \
files from that directory, into which the server's archive_command copies them
Error: Can't prepare module"

# A server that does not archive is refused before snapshots and backup mode.
for setting in archive_mode=off archive_command=; do
  case_name "a backup of a server with $setting fails in preparation"
  cp "$WORK/conf.saved" "$HX_PG_CONF"
  "$PG" restart -c "$setting" || fail "restart failed"
  run_module -b cluster "${TASK[@]}"
  refused_in_preparation
  reason="archive_mode is off"
  [ "$setting" = archive_mode=off ] || reason="archive_command is empty"
  assert_eq "Error: The server does not archive its WAL files ($reason), which a backup reads from archive_catalog \
'$HX_PG_ARCHIVE': set archive_mode to on (or always) and archive_command to a command that copies each WAL file (%p) \
into that directory under its own name (%f)
Error: Can't prepare module" "$(printf '%s\n' "$RUN_LINES" | grep -v '^PostgreSQL version: ')" "log lines"
done
"$PG" restart || fail "restart failed"

case_name "a backup with a wrong password fails in preparation"
cp "$WORK/conf.saved" "$HX_PG_CONF"
"$PG" conf password wrong
run_module -b cluster "${TASK[@]}"
refused_in_preparation
assert_line_matches "^Error: bool HxModule_PG_Ostrel::prapare_module\(\): .*password authentication failed"
cp "$WORK/conf.saved" "$HX_PG_CONF"

case_name "a server that archives slowly but steadily: the stop waits past a minute, the backup is made"
# Each WAL file is archived 6 s late, and a dozen wait before the backup's own.
echo 6 >"$HX_PG_ARCHIVE_HOLD"
"$PG" psql -q -c "CREATE TABLE hx_fill (x int)"
for i in $(seq 12); do "$PG" psql -q -c "INSERT INTO hx_fill VALUES ($i)" -c "SELECT pg_switch_wal()" >/dev/null; done
began=$SECONDS
run_module_within 240 -1 -b cluster "${TASK[@]}" -e lvm_snapshot_size:50
rm -f "$HX_PG_ARCHIVE_HOLD"
assert_exit 0
[ $((SECONDS - began)) -gt 65 ] || fail "the backup took only $((SECONDS - began)) s: the archiver was not slow"
assert_line "Info: Stop PostgreSQL base backup"

"$PG" stop || fail "the server did not stop"

for mode in "-b cluster" "-2 -s $WORK/ref.snap -b cluster" "-B $WORK/resources.json" "-A cluster"; do
  case_name "server stopped: $mode fails in preparation"
  rm -f "$LOG_FILE"
  run_module $mode "${TASK[@]}"
  refused_in_preparation
  assert_line_matches "^Error: bool HxModule_PG_Ostrel::prapare_module\(\): "
  assert_not_contains "PostgreSQL version:"
  assert_eq 1 "$(hx_log_strip_stamps <"$LOG_FILE" | grep -Fxc "Error: Can't prepare module")" "log file"
done

"$PG" start || fail "the server did not start again"
finish
