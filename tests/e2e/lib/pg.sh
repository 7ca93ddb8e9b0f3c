# Helpers of the end-to-end scripts of the PostgreSQL module. Source it after
# common.sh:
#   source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
#   source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
#
#   HX_PG_MODULE                 the real program, $HX_BUILD_DIR/postgresql/hx_module_pg_ostrel
#   run_module_within SECS ARGS  like run_module, but the program is ended after
#                                SECS seconds (RUN_RC is then 124 or the program's
#                                signal exit code)
#   pg_log_mark                  remembers the end of the server's log
#   pg_module_sessions_since_mark   prints how many sessions of the module's
#                                user the server authorised since the mark
#   assert_line_before FIRST SECOND  both lines occur in RUN_LINES, FIRST earlier
#                                (lines compared as by assert_line_matches: ERE)

HX_PG_MODULE="$HX_BUILD_DIR/postgresql/hx_module_pg_ostrel"

run_module_within() {
  local seconds="$1"
  shift
  local out err
  out="$(mktemp)"
  err="$(mktemp)"
  timeout -s TERM -k 5 "$seconds" "$HX_MODULE_BIN" "$@" >"$out" 2>"$err" </dev/null
  RUN_RC=$?
  RUN_STDOUT="$(cat "$out")"
  RUN_STDERR="$(cat "$err")"
  RUN_LINES="$(hx_log_strip_stamps <"$out")"
  rm -f "$out" "$err"
  return 0
}

pg_log_mark() {
  HX_PG_LOG_MARK="$(stat -c %s "$HX_PG_LOG")"
}

pg_module_sessions_since_mark() {
  tail -c +"$((HX_PG_LOG_MARK + 1))" "$HX_PG_LOG" | grep -c "connection authorized: user=$HX_PG_USER " || true
}

assert_line_before() {
  local first second
  first="$(printf '%s\n' "$RUN_LINES" | grep -En -- "$1" | head -1 | cut -d: -f1)"
  second="$(printf '%s\n' "$RUN_LINES" | grep -En -- "$2" | head -1 | cut -d: -f1)"
  if [ -z "$first" ] || [ -z "$second" ] || [ "$first" -ge "$second" ]; then
    fail "expected a line matching '$1' before a line matching '$2'"
    hx_dump_run
    return 1
  fi
}
