# Shared helpers of the end-to-end scripts; source it first, after
# "set -euo pipefail": a setup command that fails ends the script, and this
# file's trap names the command and its line. Assertions never end it: they
# count their failure, and finish reports it.
#   run_module ARGS...       runs $HX_MODULE_BIN (default: the test module); never fails.
#                            Sets RUN_RC, RUN_STDOUT, RUN_STDERR and RUN_LINES (stdout
#                            without the "[YYYY-MM-DD HH:MM:SS] " log prefix).
#   case_name TEXT           names the case of the following assertions
#   assert_exit CODE | assert_line TEXT | assert_no_line TEXT | assert_line_count TEXT N
#   assert_line_matches ERE | assert_line_starts TEXT | assert_not_contains TEXT (RUN_STDOUT)
#   assert_stdout TEXT
#   assert_eq EXPECTED ACTUAL [WHAT] | fail MESSAGE | finish (summary; exit 1 after a failure)
#   wait_for_text FILE TEXT [SECONDS]  true once FILE holds TEXT (default: 20 s)
#   proc_state PID           the state letter of a process ("" when it is gone)
#   wait_ended PID SECONDS   waits until the background process PID has ended, at most
#                            SECONDS (then it is killed and the result is 1); sets RUN_RC
#   wait_handled PID         true once PID has its handler of SIGTERM in place (at most 10 s)
# Lines are compared whole against RUN_LINES, so a log line reads "Error: text".
# Texts go to grep -q as here-strings, never through a pipe: grep -q leaves at
# the first match, and under pipefail the writer's broken pipe would fail the
# check.

set -E
trap 'hx_rc=$?; [[ $- != *e* ]] || echo "$(basename "$0"): line $LINENO: exit code $hx_rc of: $BASH_COMMAND" >&2' ERR

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
  echo "-- ${SECONDS}s: $*" >&2
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

# Counts a failure with its message and shows the last run.
hx_fail_run() {
  fail "$*"
  hx_dump_run
}

run_module() {
  local out err
  out="$(mktemp)"
  err="$(mktemp)"
  RUN_RC=0
  "$HX_MODULE_BIN" "$@" >"$out" 2>"$err" </dev/null || RUN_RC=$?
  RUN_STDOUT="$(cat "$out")"
  RUN_STDERR="$(cat "$err")"
  RUN_LINES="$(hx_log_strip_stamps <"$out")"
  rm -f "$out" "$err"
  return 0
}

assert_eq() {
  [ "$1" = "$2" ] || fail "${3:-value}: expected '$1', got '$2'"
}

assert_exit() {
  [ "$RUN_RC" = "$1" ] || hx_fail_run "exit code: expected $1, got $RUN_RC"
}

assert_line() {
  grep -Fxq -- "$1" <<<"$RUN_LINES" || hx_fail_run "missing line: $1"
}

assert_no_line() {
  ! grep -Fxq -- "$1" <<<"$RUN_LINES" || hx_fail_run "unexpected line: $1"
}

assert_line_count() {
  local n
  n="$(printf '%s\n' "$RUN_LINES" | grep -Fxc -- "$1" || true)"
  [ "$n" = "$2" ] || hx_fail_run "line '$1': expected $2 times, found $n"
}

assert_line_matches() {
  grep -Eq -- "$1" <<<"$RUN_LINES" || hx_fail_run "no line matches: $1"
}

assert_line_starts() {
  printf '%s\n' "$RUN_LINES" | HX_PREFIX="$1" awk 'index($0, ENVIRON["HX_PREFIX"]) == 1 { found = 1 } END { exit !found }' ||
    hx_fail_run "no line begins with: $1"
}

assert_not_contains() {
  case "$RUN_STDOUT" in
    *"$1"*) hx_fail_run "stdout contains: $1" ;;
  esac
}

assert_stdout() {
  if [ "$RUN_LINES" != "$1" ]; then
    fail "stdout differs"
    diff <(printf '%s\n' "$1") <(printf '%s\n' "$RUN_LINES") | sed 's/^/  /' >&2 || true
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

wait_for_text() {
  local i=0
  while [ "$i" -lt $((${3:-20} * 20)) ]; do
    grep -Fq -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
    i=$((i + 1))
  done
  return 1
}

proc_state() {
  [ -r "/proc/$1/stat" ] || return 0
  sed -E 's/^[0-9]+ \(.*\) ([A-Za-z]) .*/\1/' "/proc/$1/stat" 2>/dev/null || true
}

# What a process that did not end, and each process below it, is waiting
# for (to stderr): state, kernel wait channel, and the threads' stacks where
# gdb is there to take them.
hang_report() {
  local p pids="$1" queue="$1" next
  while [ -n "$queue" ]; do
    next=""
    for p in $queue; do
      next+=" $(cat /proc/"$p"/task/*/children 2>/dev/null | tr '\n' ' ')"
    done
    queue="$(echo $next)"
    pids+=" $queue"
  done
  {
    echo "== hang report for PID $1"
    for p in $pids; do
      echo "-- PID $p: $(tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null)"
      grep -E '^(State|SigPnd|ShdPnd|SigBlk|SigCgt):' "/proc/$p/status" 2>/dev/null | tr '\n' ' '
      echo "wchan=$(cat "/proc/$p/wchan" 2>/dev/null)"
      if command -v gdb >/dev/null; then
        timeout 30 gdb -p "$p" -batch -nx -ex "thread apply all bt" 2>/dev/null | grep -E '^(#|Thread)' | head -60
      fi
    done
  } >&2
}

wait_ended() {
  local tenths=0 ended=0
  while [ "$(proc_state "$1")" != Z ] && kill -0 "$1" 2>/dev/null && [ "$tenths" -lt $(($2 * 10)) ]; do
    sleep 0.1
    tenths=$((tenths + 1))
  done
  if [ "$tenths" -ge $(($2 * 10)) ]; then
    hang_report "$1"
    kill -KILL "$1" 2>/dev/null
    ended=1
  fi
  RUN_RC=0
  wait "$1" || RUN_RC=$?
  return "$ended"
}

wait_handled() {
  local mask
  for _ in $(seq 2000); do
    mask="$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null || true)"
    [ -n "$mask" ] && (((16#$mask >> 14) & 1)) && return 0  # bit 14: SIGTERM
    sleep 0.005
  done
  return 1
}
