#!/usr/bin/env bash
# The client check against a server that refuses connections: twelve
# attempts five seconds apart (about a minute), then "Can't connect to the
# database" and exit code 2. -t and -l run side by side; -l prints nothing
# on standard output but the log line.
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
BIN="$HX_BUILD_DIR/postgresql/hx_module_pg_ostrel"

"$HX_TESTBED_DIR/pg" stop
"$HX_TESTBED_DIR/pg" status && fail "the server still runs"

out_t="$HX_SANDBOX_DIR/check-t.out"
out_l="$HX_SANDBOX_DIR/check-l.out"
start=$(date +%s)
"$BIN" -t >"$out_t" 2>/dev/null </dev/null &
pid_t=$!
"$BIN" -l >"$out_l" 2>/dev/null </dev/null &
pid_l=$!
wait $pid_t
rc_t=$?
wait $pid_l
rc_l=$?
elapsed=$(($(date +%s) - start))

case_name "-t with the server down"
RUN_RC=$rc_t
RUN_STDOUT="$(cat "$out_t")"
RUN_LINES="$(hx_log_strip_stamps <"$out_t")"
assert_exit 2
assert_stdout "Error: Can't connect to the database"

case_name "-l with the server down"
RUN_RC=$rc_l
RUN_STDOUT="$(cat "$out_l")"
RUN_LINES="$(hx_log_strip_stamps <"$out_l")"
assert_exit 2
assert_stdout "Error: Can't connect to the database"

case_name "twelve attempts five seconds apart"
# 12 sleeps of 5 s; the refused connections themselves take no time.
[ "$elapsed" -ge 59 ] || fail "gave up after ${elapsed} s, expected 60 s"
[ "$elapsed" -le 75 ] || fail "took ${elapsed} s, expected about 60 s"

case_name "the check passes once the server is back"
"$HX_TESTBED_DIR/pg" start || fail "the server did not start"
HX_MODULE_BIN="$BIN"
run_module -t
assert_exit 0

finish
