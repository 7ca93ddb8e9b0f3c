# Helpers of the end-to-end scripts of the PostgreSQL module; source it after
# common.sh. It points run_module at the real program.
#   run_module_within SECS ARGS   run_module, but the program is ended after SECS
#                                 seconds (RUN_RC is then 124)
#   pg_log_mark                   remembers the end of the server's log
#   pg_module_sessions_since_mark how many sessions of the module's user the
#                                 server authorised since the mark
#   assert_line_before ERE1 ERE2  a line of RUN_LINES matching ERE1 comes before one matching ERE2

HX_MODULE_BIN="$HX_BUILD_DIR/postgresql/hx_module_pg_ostrel"

run_module_within() {
  local seconds="$1" program="$HX_MODULE_BIN"
  shift
  HX_MODULE_BIN=timeout run_module -s TERM -k 5 "$seconds" "$program" "$@"
}

pg_log_mark() { HX_PG_LOG_MARK="$(stat -c %s "$HX_PG_LOG")"; }

pg_module_sessions_since_mark() {
  tail -c +"$((HX_PG_LOG_MARK + 1))" "$HX_PG_LOG" | grep -c "connection authorized: user=$HX_PG_USER " || true
}

assert_line_before() {
  local first second
  first="$(grep -En -m 1 -- "$1" <<<"$RUN_LINES" | cut -d: -f1 || true)"
  second="$(grep -En -m 1 -- "$2" <<<"$RUN_LINES" | cut -d: -f1 || true)"
  if [ -z "$first" ] || [ -z "$second" ] || [ "$first" -ge "$second" ]; then
    fail "expected a line matching '$1' before a line matching '$2'"
    hx_dump_run
  fi
}
