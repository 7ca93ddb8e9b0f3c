#!/usr/bin/env bash
# sandbox: bare
# Command lines accepted and refused by the real program (the test module): the
# exact Error texts and exit code 14 with "Wrong combination of options" for every
# refusal; an accepted task mode shows itself by its "MODULE PID:" line.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"

SIG="bool HxModuleUniversal::parse_module_options(int, char**, HxModuleOptions&)"
WORK="$HX_SANDBOX_DIR/cli_options"
mkdir -p "$WORK"
printf '[{"path": "/srv/a"}]\n' >"$WORK/one.json"
printf '[{"path": "/srv/a"},\n' >"$WORK/bad.json"
printf '[]' >"$WORK/empty.json"

# refused "ERROR LINE" ARGS...: exit 14, stdout is the Error line (if not
# empty) followed by "Error: Wrong combination of options" and nothing else.
refused() {
  local expected="Error: Wrong combination of options"
  [ -n "$1" ] && expected="$1"$'\n'"$expected"
  shift
  case_name "$*"
  run_module "$@"
  assert_exit 14
  assert_stdout "$expected"
}

# accepted ARGS...: one "MODULE PID:<n>" line on stdout, no refusal.
accepted() {
  case_name "$*"
  run_module "$@"
  local count
  count="$(printf '%s\n' "$RUN_STDOUT" | grep -Ec '^MODULE PID:[0-9]+$')"
  [ "$count" = 1 ] || hx_fail_run "expected one MODULE PID line, found $count"
  assert_no_line "Error: Wrong combination of options"
  [ "$RUN_RC" != 14 ] || fail "exit code 14 for an accepted command line"
}

accepted -b X -1
[[ "$(printf '%s\n' "$RUN_STDOUT" | head -n 1)" =~ ^MODULE\ PID:[0-9]+$ ]] || fail "MODULE PID is not the first line"
for args in "-1 -b X" "-A X -2" "-b X --autonomous" "--autonomous -r R" "-1 --autonomous -b X" \
  "-T T -b X -m M" "-r R -f F" "-z 9 -b X" "--dgst -r R" "-B $WORK/one.json --autonomous"; do
  # shellcheck disable=SC2086
  accepted $args
done
accepted -2 -s F -b X -d "$WORK/t" -n N
accepted -1 -B "$WORK/one.json"
assert_not_contains "Warning:"

# Refused without a message of their own.
for args in "-1 -2" "-2 -1" "-V -t" "-b X -r R" "-D -b X" "-B F -b X" "-s F" "-s F -A X -2" \
  "--autonomous -t" "--autonomous -A X" "--autonomous -R R" "--autonomous -1" "--autonomous -V" \
  "-m M -c" "-T T -l" "-2 -b X -a" "-A X -a" "-r R -a" "-1 -a" "-z 9 -t" \
  "-d D -V" "-e a:b -t" "-j -r R" "-n N -r R" "-o -V" "-a -o" "-V -1" "-V -D" "-r R -R R" "-b X -A Y"; do
  # shellcheck disable=SC2086
  refused "" $args
done

refused "Error: Resource is empty" -b ""
refused "Error: Resource is empty" -A ""
refused "Error: Record ID is empty" -r ""
refused "Error: Record ID is empty" -R ""
refused "Error: $SIG: resource is empty" -B ""
refused "Error: Can't use media server with autonomous mode" -r R --autonomous -m M
refused "Error: Can't use a media server with autonomous mode" --autonomous -b X -T T
refused "Error: Can't use a media server with autonomous mode" -r R --autonomous -m ""
refused "Error: You must define media-server before task ID" -b X -T T
refused "Error: Reference snapshot cannot be defined for full backup." -1 -s F -b X
refused "Error: Reference snapshot cannot be defined for full backup." -s F -b X
refused "Error: The '-r' option must also be specified for granular restore" -b X -f F
refused "Error: The '-r' option must also be specified for granular restore" -f F
refused "Error: $SIG: the argument ('abc') for option '--parallelism' is invalid" -p abc -b X
refused "Error: $SIG: unrecognised option '--bogus'" --bogus
refused "Error: $SIG: the required argument for option '--backup' is missing" -b
refused "Error: $SIG: option '--backup' cannot be specified more than once" -b X -b Y
refused "Error: $SIG: the argument ('-1') for option '--parallelism' is invalid" --parallelism=-1 -b X
refused "Error: Record ID is not a valid name: '../../etc\\nMODULE PID:1' (it may not contain \"/\" or control characters, nor be \".\" or \"..\")" \
  -r "../../etc
MODULE PID:1" -d "$WORK"
python3 -c 'print("[" * 100000 + "]" * 100000)' >"$WORK/deep.json"
refused "Error: bool ResourceList::parse_json_file(const string&): json parser error: $WORK/deep.json: nested deeper than 64 levels
Error: $SIG: can't parse json file: $WORK/deep.json" -B "$WORK/deep.json"
refused "Error: bool ResourceList::parse_json_file(const string&): resource list file does not exist: $WORK/missing.json
Error: $SIG: can't parse json file: $WORK/missing.json" -B "$WORK/missing.json"

accepted -b X -a
assert_line "Archiving mode: the module '$HX_MODULE_BIN' will delete the resource after the task is completed"

case_name "values accepted in every mode"
run_module -V -C kuz -k /k -M /m -p 3 -i /i -G 10
assert_exit 0
assert_eq "1.2" "$RUN_STDOUT" "stdout"

# param_refused "LOG LINES" ARGS...: the command line is accepted, the task
# refused with exit 14 for its module parameters before it begins: stdout
# is its "MODULE PID:" line and exactly LOG LINES.
param_refused() {
  local expected="$1"
  shift
  case_name "$*"
  run_module "$@" -d "$WORK/params"
  assert_exit 14
  assert_line_matches '^MODULE PID:[0-9]+$'
  assert_eq "$expected" "$(printf '%s\n' "$RUN_LINES" | grep -v '^MODULE PID:')" "log lines"
  [ ! -e "$WORK/params" ] || fail "the task made its directory"
}
P="Error: The module parameter"
param_refused "$P hxd_hash_length has an invalid value 'abc': only digits are accepted, a number up to 2147483647" \
  -b X -n N -e hxd_hash_length:abc
param_refused "Warning: void HxModuleUniversal::parce_param_string(): Separator ':' is not found in string: last
$P item 'last' has no ':': only key:value items are accepted" -r R -e last,pg_version:12
param_refused "$P file_list has an invalid value 'yes': only t, true, f or false is accepted
$P last has an invalid value 'yes': only true or false is accepted
$P without_deployment_restore has an invalid value 'true': only yes or no is accepted" \
  -r R -e file_list:yes,last:yes,without_deployment_restore:true

accepted -B "$WORK/empty.json"
assert_line "Warning: bool ResourceList::parse_json_file(const string&): there is no any resource in json file: $WORK/empty.json"

case_name "-B with malformed JSON"
run_module -B "$WORK/bad.json"
assert_exit 14
assert_eq 3 "$(printf '%s\n' "$RUN_LINES" | wc -l)" "stdout line count"
[[ "$(printf '%s\n' "$RUN_LINES" | head -n 1)" == "Error: bool ResourceList::parse_json_file(const string&): json parser error: "?* ]] ||
  fail "json parser error line: $(printf '%s\n' "$RUN_LINES" | head -n 1)"
assert_line "Error: $SIG: can't parse json file: $WORK/bad.json"
assert_line "Error: Wrong combination of options"

finish
