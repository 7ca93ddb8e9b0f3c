#!/usr/bin/env bash
# sandbox: bare
# Acceptance and refusal of command lines by the framework's parser, run as a
# real program (the test module): the fixed mode-selection order, the rules of
# the refining options, their exact Error texts, and exit code 14 with
# "Wrong combination of options" for every refusal. An accepted task mode
# shows itself by its "MODULE PID:" line.
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"

BIN="$HX_MODULE_BIN"
SIG="bool HxModuleUniversal::parse_module_options(int, char**, HxModuleOptions&)"
WORK="$HX_SANDBOX_DIR/cli_options"
mkdir -p "$WORK"

# A refused command line: exit 14, the given Error lines (if any) and then
# "Wrong combination of options", and nothing else on stdout.
expect_refused() {
  local expected=""
  local line
  for line in "$@"; do expected+="$line"$'\n'; done
  expected+="Error: Wrong combination of options"
  assert_exit 14
  assert_stdout "$expected"
}

# An accepted task mode: stdout holds one "MODULE PID:" line with a number
# (after whatever the parser itself printed), and the parser refused nothing.
expect_task_accepted() {
  local count
  count="$(printf '%s\n' "$RUN_STDOUT" | grep -Ec '^MODULE PID:[0-9]+$')"
  if [ "$count" != 1 ]; then
    fail "expected one MODULE PID line, found $count"
    hx_dump_run
  fi
  assert_no_line "Error: Wrong combination of options"
  if [ "$RUN_RC" = 14 ]; then fail "exit code 14 for an accepted command line"; fi
}

# ---- operation order ----------------------------------------------------------

case_name "-b X -1"
run_module -b X -1
expect_task_accepted
# Nothing precedes the MODULE PID line when the parser printed nothing.
[[ "$(printf '%s\n' "$RUN_STDOUT" | head -n 1)" =~ ^MODULE\ PID:[0-9]+$ ]] || fail "MODULE PID is not the first line"
case_name "-1 -b X"
run_module -1 -b X
expect_task_accepted
case_name "-b X alone is a full backup"
run_module -b X
expect_task_accepted
case_name "-A X -2"
run_module -A X -2
expect_task_accepted

case_name "-1 -2"
run_module -1 -2
expect_refused
case_name "-2 -1"
run_module -2 -1
expect_refused
case_name "two queries"
run_module -V -t
expect_refused
case_name "-b with -r"
run_module -b X -r R
expect_refused
case_name "-D with -b"
run_module -D -b X
expect_refused

case_name "empty resource"
run_module -b ""
expect_refused "Error: Resource is empty"
case_name "empty record id"
run_module -r ""
expect_refused "Error: Record ID is empty"
case_name "empty -B path"
run_module -B ""
expect_refused "Error: $SIG: resource is empty"

# ---- --autonomous ----------------------------------------------------------------------

for args in "-b X --autonomous" "--autonomous -r R" "-1 --autonomous -b X"; do
  case_name "$args"
  # shellcheck disable=SC2086
  run_module $args
  expect_task_accepted
done
printf '[{"path": "/srv/a"}]\n' >"$WORK/one.json"
case_name "-B F --autonomous"
run_module -B "$WORK/one.json" --autonomous
expect_task_accepted

for args in "--autonomous -t" "--autonomous -A X" "--autonomous -R R" "--autonomous -1" "--autonomous -V"; do
  case_name "$args"
  # shellcheck disable=SC2086
  run_module $args
  expect_refused
done

case_name "-r R --autonomous -m M"
run_module -r R --autonomous -m M
expect_refused "Error: Can't use media server with autonomous mode"

case_name "--autonomous -b X -T T"
run_module --autonomous -b X -T T
expect_refused "Error: Can't use a media server with autonomous mode"

# ---- media server and task id ------------------------------------------------------------

case_name "-b X -T T without -m"
run_module -b X -T T
expect_refused "Error: You must define media-server before task ID"

case_name "-T before -m"
run_module -T T -b X -m M
expect_task_accepted

case_name "-m with a query"
run_module -m M -c
expect_refused

# ---- reference snapshot --------------------------------------------------------------------

case_name "-1 -s F -b X"
run_module -1 -s F -b X
expect_refused "Error: Reference snapshot cannot be defined for full backup."

case_name "-s F -b X (full by default)"
run_module -s F -b X
expect_refused "Error: Reference snapshot cannot be defined for full backup."

case_name "-s F alone"
run_module -s F
expect_refused

case_name "-2 -s F -b X -d D -n N"
run_module -2 -s F -b X -d "$WORK/t" -n N
expect_task_accepted

# ---- archiving ------------------------------------------------------------------------------

case_name "-b X -a"
run_module -b X -a
expect_task_accepted
assert_line "Archiving mode: the module '$BIN' will delete the resource after the task is completed"

case_name "-2 -b X -a"
run_module -2 -b X -a
expect_refused

case_name "-A X -a"
run_module -A X -a
expect_refused

# ---- granular list ---------------------------------------------------------------------------

case_name "-f without -r"
run_module -b X -f F
expect_refused "Error: The '-r' option must also be specified for granular restore"
run_module -f F
expect_refused "Error: The '-r' option must also be specified for granular restore"

case_name "-f with -r"
run_module -r R -f F
expect_task_accepted

# ---- compress ----------------------------------------------------------------------------------

case_name "-z 9 -t"
run_module -z 9 -t
expect_refused

case_name "-z 9 -b X"
run_module -z 9 -b X
expect_task_accepted

# ---- options of task modes only -----------------------------------------------------------------

for args in "-d D -V" "-e a:b -t" "-j -r R" "-n N -r R" "-o -V" "-a -o"; do
  case_name "$args"
  # shellcheck disable=SC2086
  run_module $args
  expect_refused
done

case_name "values accepted in every mode"
run_module -V -C kuz -k /k -M /m -p 3 -i /i -G 10
assert_exit 0
assert_eq "1.2" "$RUN_STDOUT" "stdout"

case_name "--dgst with a restore is ignored"
run_module --dgst -r R
expect_task_accepted

# ---- parser errors ----------------------------------------------------------------------------------

case_name "-p abc"
run_module -p abc -b X
expect_refused "Error: $SIG: the argument ('abc') for option '--parallelism' is invalid"

case_name "unknown option"
run_module --bogus
expect_refused "Error: $SIG: unrecognised option '--bogus'"

case_name "option without its value"
run_module -b
expect_refused "Error: $SIG: the required argument for option '--backup' is missing"

case_name "option given twice"
run_module -b X -b Y
expect_refused "Error: $SIG: option '--backup' cannot be specified more than once"

# ---- module parameters --------------------------------------------------------------------------------

case_name "-e hxd_hash_length:abc"
run_module -b X -e hxd_hash_length:abc
expect_refused "Error: $SIG: stoi"

case_name "-e with an item without separator"
run_module -r R -e last,pg_version:12
expect_task_accepted
assert_line "Warning: void HxModuleUniversal::parce_param_string(): Separator ':' is not found in string: last"

# ---- JSON resource lists of -B -------------------------------------------------------------------------

case_name "-B with a missing file"
run_module -B "$WORK/missing.json"
expect_refused "Error: bool ResourceList::parse_json_file(const string&): resource list file does not exist: $WORK/missing.json" \
  "Error: $SIG: can't parse json file: $WORK/missing.json"

case_name "-B with malformed JSON"
printf '[{"path": "/srv/a"},\n' >"$WORK/bad.json"
run_module -B "$WORK/bad.json"
assert_exit 14
assert_eq 3 "$(printf '%s\n' "$RUN_LINES" | wc -l)" "stdout line count"
first="$(printf '%s\n' "$RUN_LINES" | sed -n 1p)"
case "$first" in
  "Error: bool ResourceList::parse_json_file(const string&): json parser error: "?*) ;;
  *) fail "json parser error line: '$first'" ;;
esac
assert_line "Error: $SIG: can't parse json file: $WORK/bad.json"
assert_line "Error: Wrong combination of options"

case_name "-B with an empty list"
printf '[]' >"$WORK/empty.json"
run_module -B "$WORK/empty.json"
expect_task_accepted
assert_line "Warning: bool ResourceList::parse_json_file(const string&): there is no any resource in json file: $WORK/empty.json"

case_name "-1 -B F"
run_module -1 -B "$WORK/one.json"
expect_task_accepted
assert_not_contains "Warning:"

finish
