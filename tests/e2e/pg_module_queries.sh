#!/usr/bin/env bash
# sandbox: bare
# The program answering the queries that need no server and no configuration:
# version, special backup options, its usage text, its capabilities in the
# module properties, and its log file named after the program.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"
BIN="$HX_MODULE_BIN"

lines() { printf '%s\n' "$RUN_LINES" | "$@"; }

case_name "-V and --show-backup-options"
run_module -V
assert_exit 0
assert_stdout "2.0"
run_module --show-backup-options
assert_exit 0
assert_stdout "file_list : boolean Save listing of files in the archive
numeric_owner : boolean Use uid and gid in the archive file list instead of username and groupname
lvm_snapshot_size : integer LVM snapshot size in percent"

# The framework's answers (usage, refusals, help, capability exit codes) are
# covered with the test module by cli_queries.sh and cli_options.sh; here only
# what this program sets: its version in the usage text, no usage lines of its
# own, and its capabilities (in the properties block).
case_name "usage text of this program"
run_module
assert_exit 14
assert_eq "This utility is a part of Halvex project
Version: 2.0.3906709
Usage: $BIN" "$(lines head -n 3)" "first lines"
assert_eq "       -R record_id [ -C crypto algorithm -k key_file ] -d destination_resource -m media_server [ -p parallelism ] (apply remote replica)
Error: Wrong combination of options" "$(lines tail -n 2)" "last lines"

case_name "a relative -d is refused before anything is done"
mkdir -p "$HX_SANDBOX_DIR/cwd"
pushd "$HX_SANDBOX_DIR/cwd" >/dev/null
run_module -1 -b cluster -d tasks -n full1 -m media1 -T t1
popd >/dev/null
assert_exit 14
assert_stdout "Error: Wrong combination of options
Error: The option -d needs an absolute path, not 'tasks'"
assert_eq "" "$(ls -A "$HX_SANDBOX_DIR/cwd")" "files made in the working directory"

case_name "module properties"
run_module --show-module-properties
assert_exit 0
assert_stdout "Module properties:

Only one data source backup operation is allowed at one time       : true
Does the module support working in the client's autonomous mode    : false
Does the module support incremental or differential backup         : true
Does this module support deduplication                             : true
Does this module support archiving                                 : false
Location of the restriction list                                   : /opt/halvex/etc/halvex_restriction.list.pg_ostrel"

case_name "a program copied under another name logs to its own file"
cp "$BIN" "$HX_SANDBOX_DIR/hx_renamed_module"
HX_MODULE_BIN="$HX_SANDBOX_DIR/hx_renamed_module" run_module
assert_exit 14
assert_eq "Error: Wrong combination of options" \
  "$(hx_log_strip_stamps <"/opt/halvex/log/hx_renamed_module.log")" "log file of the renamed program"

finish
