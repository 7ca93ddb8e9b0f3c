#!/usr/bin/env bash
# The PostgreSQL module program's preparation step against the real server of
# the test bed: the backup modes open the connection (and fail before
# "MODULE PID:" when they cannot), every other mode opens nothing.
set -u
HX_MODULE_BIN="$HX_BUILD_DIR/postgresql/hx_module_pg_ostrel"
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"

PG="$HX_TESTBED_DIR/pg"
LOG_FILE="/opt/halvex/log/hx_module_pg_ostrel.log"
WORK="$HX_SANDBOX_DIR/e2e-prepare"
mkdir -p "$WORK/tmp"
echo '[{"path": "cluster"}]' >"$WORK/resources.json"

BACKUP=(-b cluster -d "$WORK/tmp" -n archive1 -m media1 -T task1)

# ---- Server running -------------------------------------------------------------

case_name "queries open no connection"
pg_log_mark
for args in "-V" "-c" "--show-backup-options" "-D" "-2" "-a" "--autonomous" "--show-module-properties" "-o"; do
  # shellcheck disable=SC2086
  run_module $args
  assert_no_line "Error: Can't prepare module"
done
sleep 0.2
assert_eq 0 "$(pg_module_sessions_since_mark)" "sessions of the module's user"

case_name "-c prints Database"
run_module -c
assert_exit 0
assert_stdout "Database"

case_name "a backup gets past preparation with the server running"
pg_log_mark
rm -f "$LOG_FILE"
run_module_within 60 "${BACKUP[@]}"
assert_no_line "Error: Can't prepare module"
assert_line_matches "^PostgreSQL version: 15\.[0-9]+"
assert_line_matches "^MODULE PID:[0-9]+$"
assert_line_before "^PostgreSQL version: 15\." "^MODULE PID:"
if [ "$(pg_module_sessions_since_mark)" -lt 1 ]; then
  fail "the server saw no session of $HX_PG_USER"
fi

case_name "a backup whose configuration cannot be loaded fails in preparation"
cp "$HX_PG_CONF" "$WORK/conf.saved"
"$PG" conf --delete pg_ctl
run_module "${BACKUP[@]}"
assert_exit 2
assert_line "Error: Please define pg_ctl  in the $HX_PG_CONF"
assert_line "Error: Can't prepare module"
assert_not_contains "MODULE PID:"
cp "$WORK/conf.saved" "$HX_PG_CONF"

case_name "a backup with a wrong password fails in preparation"
"$PG" conf password wrong
run_module "${BACKUP[@]}"
assert_exit 2
assert_line_matches "^Error: bool HxModule_PG_Ostrel::prapare_module\(\): .*password authentication failed"
assert_line "Error: Can't prepare module"
assert_not_contains "MODULE PID:"
cp "$WORK/conf.saved" "$HX_PG_CONF"

# ---- Server stopped -------------------------------------------------------------

"$PG" stop || fail "the server did not stop"

case_name "server stopped: -V still answers"
run_module -V
assert_exit 0
assert_stdout "2.0"

case_name "server stopped: check, listings and restore do not connect in preparation"
# A connection attempt in preparation would fail at once with "Can't prepare
# module"; the real check retries for a minute, so the run is cut short.
for args in "-t" "-l" "-L" "-c" "-r record1 -d $WORK/tmp"; do
  # shellcheck disable=SC2086
  run_module_within 3 $args
  assert_no_line "Error: Can't prepare module"
done

for mode in "full backup" "incremental backup" "backup list" "create replica"; do
  case_name "server stopped: $mode fails in preparation, before MODULE PID"
  rm -f "$LOG_FILE"
  case "$mode" in
    "full backup") run_module "${BACKUP[@]}" ;;
    "incremental backup") run_module -2 -s "$WORK/ref.snap" "${BACKUP[@]}" ;;
    "backup list") run_module -B "$WORK/resources.json" -d "$WORK/tmp" -n archive1 -m media1 -T task1 ;;
    "create replica") run_module -A cluster -d "$WORK/tmp" -n archive1 -m media1 -T task1 ;;
  esac
  assert_exit 2
  assert_eq "Error: Can't prepare module" "$(printf '%s\n' "$RUN_LINES" | tail -n 1)" "last line"
  assert_line_matches "^Error: bool HxModule_PG_Ostrel::prapare_module\(\): "
  assert_not_contains "MODULE PID:"
  assert_not_contains "PostgreSQL version:"
  assert_eq 1 "$(hx_log_strip_stamps <"$LOG_FILE" | grep -Fxc "Error: Can't prepare module")" "log file"
done

"$PG" start || fail "the server did not start again"

finish
