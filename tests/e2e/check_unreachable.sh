#!/usr/bin/env bash
# The client check against a server that refuses connections: twelve attempts
# five seconds apart (about a minute), an Info line with the reason of each,
# then the reason of the last one, "Can't connect to the database" and exit
# code 2. -t and -l run side by side; -l prints nothing but the log lines.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"

"$HX_TESTBED_DIR/pg" stop
"$HX_TESTBED_DIR/pg" status && fail "the server still runs"
start=$(date +%s)
for opt in t l; do
  "$HX_MODULE_BIN" -$opt >"$HX_SANDBOX_DIR/check-$opt.out" 2>/dev/null </dev/null &
  eval "pid_$opt=\$!"
done
for opt in t l; do
  RUN_RC=0
  eval "wait \$pid_$opt" || RUN_RC=$?
  elapsed=$(($(date +%s) - start))
  case_name "-$opt with the server down"
  RUN_STDOUT="$(cat "$HX_SANDBOX_DIR/check-$opt.out")"
  RUN_LINES="$(hx_log_strip_stamps <<<"$RUN_STDOUT")"
  assert_exit 2
  reason="connection to server at \"127.0.0.1\", port $HX_PG_PORT_TCP failed: Connection refused; \
Is the server running on that host and accepting TCP/IP connections?"
  expected=""
  for attempt in $(seq 1 12); do
    expected+="Info: Connection to the database failed (attempt $attempt of 12): $reason"$'\n'
  done
  assert_stdout "${expected}Error: virtual int HxModule_PG_Ostrel::check_client(const bool&): can't connect to the \
database: $reason
Error: Can't connect to the database"
  # 12 sleeps of 5 s; the refused connections themselves take no time.
  [ "$elapsed" -ge 59 ] && [ "$elapsed" -le 120 ] || fail "gave up after ${elapsed} s, expected about 60 s"
done

case_name "the check passes once the server is back"
"$HX_TESTBED_DIR/pg" start || fail "the server did not start"
run_module -t
assert_exit 0

finish
