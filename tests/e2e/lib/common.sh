# Shared helpers of the end-to-end scripts. Source it first:
#   source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
#
# Running the program under test:
#   HX_MODULE_BIN                program run by run_module; default
#                                $HX_BUILD_DIR/tests/support/hx_module_test
#   run_module ARGS...           runs it; never fails the script. Afterwards:
#                                RUN_RC (exit code), RUN_STDOUT, RUN_STDERR (texts),
#                                RUN_LINES (stdout with the "[YYYY-MM-DD HH:MM:SS] "
#                                prefix of log lines removed). Environment
#                                overrides go in front: VAR=value run_module ...
#
# Assertions (each failure is printed and counted; the script goes on):
#   case_name TEXT               names the case that the following assertions check
#   assert_exit CODE             RUN_RC equals CODE
#   assert_line TEXT             an exact line of RUN_LINES equals TEXT
#                                (so a log line is compared as "Error: text")
#   assert_no_line TEXT          no line of RUN_LINES equals TEXT
#   assert_line_count TEXT N     exactly N lines of RUN_LINES equal TEXT
#   assert_line_matches ERE      some line of RUN_LINES matches the extended regex
#   assert_contains TEXT         RUN_STDOUT contains TEXT
#   assert_not_contains TEXT     RUN_STDOUT does not contain TEXT
#   assert_stdout TEXT           RUN_LINES equals TEXT exactly (whole output)
#   assert_eq EXPECTED ACTUAL [WHAT]
#   fail MESSAGE                 counts a failure
#   finish                       prints the summary; exits 1 after any failure, else 0
#
# Log lines: hx_log_strip_stamps reads text on stdin and removes the timestamp
# prefix of each line.

HX_MODULE_BIN="${HX_MODULE_BIN:-${HX_BUILD_DIR:?HX_BUILD_DIR must be set}/tests/support/hx_module_test}"
HX_E2E_FAILURES=0
HX_E2E_CASES=0
HX_E2E_CASE=""

hx_log_strip_stamps() {
  sed -E 's/^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] //'
}

case_name() {
  HX_E2E_CASE="$*"
  HX_E2E_CASES=$((HX_E2E_CASES + 1))
}

fail() {
  HX_E2E_FAILURES=$((HX_E2E_FAILURES + 1))
  echo "FAIL [${HX_E2E_CASE}]: $*" >&2
}

# Prints the last run's outputs to standard error (after a failure).
hx_dump_run() {
  {
    echo "  --- exit code: ${RUN_RC:-}"
    echo "  --- stdout:"
    printf '%s\n' "${RUN_STDOUT:-}" | sed 's/^/  | /'
    echo "  --- stderr:"
    printf '%s\n' "${RUN_STDERR:-}" | sed 's/^/  | /'
  } >&2
}

run_module() {
  local out err
  out="$(mktemp)"
  err="$(mktemp)"
  "$HX_MODULE_BIN" "$@" >"$out" 2>"$err" </dev/null
  RUN_RC=$?
  RUN_STDOUT="$(cat "$out")"
  RUN_STDERR="$(cat "$err")"
  RUN_LINES="$(hx_log_strip_stamps <"$out")"
  rm -f "$out" "$err"
  return 0
}

assert_eq() {
  if [ "$1" != "$2" ]; then
    fail "${3:-value}: expected '$1', got '$2'"
    return 1
  fi
}

assert_exit() {
  if [ "$RUN_RC" != "$1" ]; then
    fail "exit code: expected $1, got $RUN_RC"
    hx_dump_run
    return 1
  fi
}

assert_line() {
  if ! printf '%s\n' "$RUN_LINES" | grep -Fxq -- "$1"; then
    fail "missing line: $1"
    hx_dump_run
    return 1
  fi
}

assert_no_line() {
  if printf '%s\n' "$RUN_LINES" | grep -Fxq -- "$1"; then
    fail "unexpected line: $1"
    hx_dump_run
    return 1
  fi
}

assert_line_count() {
  local n
  n="$(printf '%s\n' "$RUN_LINES" | grep -Fxc -- "$1")"
  if [ "$n" != "$2" ]; then
    fail "line '$1': expected $2 times, found $n"
    hx_dump_run
    return 1
  fi
}

assert_line_matches() {
  if ! printf '%s\n' "$RUN_LINES" | grep -Eq -- "$1"; then
    fail "no line matches: $1"
    hx_dump_run
    return 1
  fi
}

assert_contains() {
  case "$RUN_STDOUT" in
    *"$1"*) return 0 ;;
  esac
  fail "stdout does not contain: $1"
  hx_dump_run
  return 1
}

assert_not_contains() {
  case "$RUN_STDOUT" in
    *"$1"*)
      fail "stdout contains: $1"
      hx_dump_run
      return 1
      ;;
  esac
}

assert_stdout() {
  if [ "$RUN_LINES" != "$1" ]; then
    fail "stdout differs"
    diff <(printf '%s\n' "$1") <(printf '%s\n' "$RUN_LINES") | sed 's/^/  /' >&2
    return 1
  fi
}

finish() {
  if [ "$HX_E2E_FAILURES" -ne 0 ]; then
    echo "$(basename "$0"): $HX_E2E_FAILURES failure(s) in $HX_E2E_CASES case(s)" >&2
    exit 1
  fi
  echo "$(basename "$0"): all $HX_E2E_CASES case(s) passed"
  exit 0
}
