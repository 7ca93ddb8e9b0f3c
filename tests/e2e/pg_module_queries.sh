#!/usr/bin/env bash
# sandbox: bare
# The PostgreSQL module program answering the queries that need no server and
# no configuration: version, special backup options, capabilities, module
# properties, the usage text of a refused command line, and its log file.
set -u
HX_MODULE_BIN="$HX_BUILD_DIR/postgresql/hx_module_pg_ostrel"
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/pg.sh"

BIN="$HX_MODULE_BIN"
LOG_FILE="/opt/halvex/log/hx_module_pg_ostrel.log"

case_name "-V prints 2.0"
run_module -V
assert_exit 0
assert_stdout "2.0"

case_name "--show-backup-options prints exactly its three lines"
run_module --show-backup-options
assert_exit 0
assert_stdout "file_list : boolean Save listing of files in the archive
numeric_owner : boolean Use uid and gid in the archive file list instead of username and groupname
lvm_snapshot_size : integer LVM snapshot size in percent"

case_name "no arguments: usage, refusal, 14"
rm -f "$LOG_FILE"
run_module
assert_exit 14
assert_eq "This utility is a part of Halvex project" "$(printf '%s\n' "$RUN_LINES" | sed -n 1p)" "first line"
assert_eq "Version: 2.0.3906709" "$(printf '%s\n' "$RUN_LINES" | sed -n 2p)" "second line"
assert_eq "Usage: $BIN" "$(printf '%s\n' "$RUN_LINES" | sed -n 3p)" "third line"
assert_eq "Error: Wrong combination of options" "$(printf '%s\n' "$RUN_LINES" | tail -n 1)" "last line"
# The module prints no usage lines of its own after the common ones.
assert_eq "       -R record_id [ -C crypto algorithm -k key_file ] -d destination_resource -m media_server [ -p parallelism ] (apply remote replica)" \
  "$(printf '%s\n' "$RUN_LINES" | tail -n 2 | head -n 1)" "last usage line"
# Error lines go once to the log file named after the program, once to stdout.
assert_eq "Error: Wrong combination of options" "$(hx_log_strip_stamps <"$LOG_FILE")" "log file"
assert_line_count "Error: Wrong combination of options" 1

case_name "an option that is not in the table is refused with 14"
run_module --no-such-option
assert_exit 14
assert_line "Error: Wrong combination of options"

case_name "-h: usage with the full version, exit 1"
run_module -h
assert_exit 1
assert_line "Version: 2.0.3906709"

case_name "capability queries"
run_module -1
assert_exit 0
run_module -2
assert_exit 0
assert_stdout ""
run_module -D
assert_exit 0
run_module -a
assert_exit 16
run_module --autonomous
assert_exit 14

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
HX_MODULE_BIN="$HX_SANDBOX_DIR/hx_renamed_module"
run_module
assert_exit 14
assert_eq "Error: Wrong combination of options" \
  "$(hx_log_strip_stamps <"/opt/halvex/log/hx_renamed_module.log")" "log file of the renamed program"
HX_MODULE_BIN="$BIN"

finish
