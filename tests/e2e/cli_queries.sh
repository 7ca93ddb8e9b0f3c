#!/usr/bin/env bash
# sandbox: bare
# The query modes of the module framework, run as a real program (the test
# module): usage text, help, version, capability queries and their exit codes,
# module properties, listings, and the log file of the start-up configuration.
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"

BIN="$HX_MODULE_BIN"
LOG_FILE="/opt/halvex/log/$(basename "$BIN").log"

expected_usage() {
  cat <<USAGE
This utility is a part of Halvex project
Version: 1.2.345
Usage: $BIN
       -V (show version)
       -1 (Full backup supported? It returns 0 if yes)
       -2 (Incremental or differential backup supported? It returns 0 if yes)
       -D (Is client-side deduplication supported? It returns 0 if yes
       -a (Does module support archiving? It returns 0 if yes
       -h (this message)
       -c (list header labels if module is not browsable)
       -l (list all resources at this client without headers if module is not browsable)
       -L (list all resources at this client with headers if module is not browsable)
       -1 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory  [ -m media_server -T task_id | --autonomous ]-n archive_name [ -z compress_type ] [ -j ] [ -p parallelism ] [ -a ] (create full backup or make archiving with -a option )
       -2 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create incremental or differential backup)
       -r record_id [ -m media_server | --autonomous ] [ -C crypto algorithm -k key_file ] [ -p parallelism ] -d destination_directory [ -i archive_to_patch ] (restore record ID)
       -t (check the ability to run the module on this client)
       --show-backup-options (show supported module special backup options)
       --show-module-properties
       -o (List restore options)
       --autonomous (Autonomous mode supported? It returns 0 if yes)
compress_type: 1 - no compress, 2 - fast, 3 - optimal, 4 - best
       Remote replication: 
       -A resource [ -C crypto algorithm -k key_file ] -d tmp_operation_directory -m media_server -T task_id -n archive_name [ -p parallelism ] (create replica)
       -R record_id [ -C crypto algorithm -k key_file ] -d destination_resource -m media_server [ -p parallelism ] (apply remote replica)
       (test module: no options of its own)
USAGE
}

expected_table() {
  cat <<'TABLE'
Options description:
  -h [ --help ]                         this message
  -V [ --version ]                      show version
  -1 [ --full ]                         Define full backup
  -2 [ --incr ]                         Define inc backup
  --autonomous                          Autonomous mode
  --show-backup-options                 Show special backup options for 
                                        autonomous mode
  --show-module-properties              Show module properties
  -A [ --create-replica ] arg           Create a replica of resource
  -a [ --is-archiving-supported ]       Is archiving supported?
  -b [ --backup ] arg                   Backup a resource
  -B [ --backup_list ] arg              Path to a json file containing list of 
                                        resources to backup
  -C [ --crypto ] arg                   Crypto algorithm
  -c [ --list-headers ]                 List headers, if module is not 
                                        browsable
  -D [ --is-dedup-supported ]           Is deduplication supported?
  -d [ --tmp-operation-directory ] arg  Temporary operation directory
  -e [ --module-params ] arg            Module parameters
  -i [ --archive-to-patch ] arg         Archive to patch
  -j [ --local-restrictions ]           Enable local restrictions
  -k [ --key-file ] arg                 Key file for the crypto algorithm, 
                                        handed to the archiver
  -l [ --list-all-resource ]            List all resource, if module is not 
                                        browsable
  -L [ --list-all-resource--with-headers ] 
                                        List all resource with headers, if 
                                        module is not browsable
  -m [ --media-server ] arg             Define media server
  -n [ --archive-name ] arg             Define created archive name
  -M [ --meta-file ] arg                Define meta or snapshot file name
  -p [ --parallelism ] arg              Parallelism
  -R [ --apply-replica ] arg            Apply replica record ID
  -r [ --restore ] arg                  Restore record ID
  -s [ --reference-snapshot ] arg       Reference snapshot
  -T [ --task-id ] arg                  Task ID
  -t [ --check-client ]                 Check whether the module can work on 
                                        the client
  -z [ --compress ] arg                 Compress
  -f [ --granular-list ] arg            List of files for granular restore
  --dgst                                generate signature for backup
  -o [ --restore-parameters ]           List restore parameters
  -G [ --memory-threshold ] arg         Allowed amount of memory

TABLE
}

# ---- no arguments, help -------------------------------------------------------

case_name "no arguments"
rm -f "$LOG_FILE"
run_module
assert_exit 14
assert_stdout "$(expected_usage)
Error: Wrong combination of options"
# The Error went to the log file once (Error list only, not also the defaults).
assert_eq "Error: Wrong combination of options" "$(hx_log_strip_stamps <"$LOG_FILE")" "log file"

case_name "-h alone"
run_module -h
assert_exit 1
assert_stdout "$(expected_usage)
$(expected_table)"

case_name "-h with conflicting options and a bad module parameter"
run_module -1 -2 -b X -h -t -e hxd_hash_length:abc
assert_exit 1
assert_stdout "$(expected_usage)
$(expected_table)"

case_name "-h with an option that is not in the table"
run_module -h --no-such-option
assert_exit 14
assert_line "Error: bool HxModuleUniversal::parse_module_options(int, char**, HxModuleOptions&): unrecognised option '--no-such-option'"
assert_not_contains "Options description"

# ---- version ---------------------------------------------------------------------

case_name "-V"
run_module -V
assert_exit 0
assert_eq "1.2" "$RUN_STDOUT" "version output"

case_name "--version"
run_module --version
assert_exit 0
assert_eq "1.2" "$RUN_STDOUT" "version output"

# ---- capability queries -------------------------------------------------------------

case_name "-1 (full backup always supported)"
HX_TEST_CAPABILITIES="IncrementalBackup=0" run_module -1
assert_exit 0
assert_eq "" "$RUN_STDOUT" "stdout"

case_name "-2 with the capability"
run_module -2
assert_exit 0
assert_eq "" "$RUN_STDOUT" "stdout"

case_name "-2 without the capability"
HX_TEST_CAPABILITIES="IncrementalBackup=0" run_module -2
assert_exit 3
assert_stdout "Error: : incremental or differential backup is not supported by module $BIN"

case_name "-D"
run_module -D
assert_exit 0
HX_TEST_CAPABILITIES="Deduplication=false" run_module -D
assert_exit 15
assert_eq "" "$RUN_STDOUT" "stdout"

case_name "-a"
run_module -a
assert_exit 16
assert_eq "" "$RUN_STDOUT" "stdout"
HX_TEST_CAPABILITIES="Archiving=1" run_module -a
assert_exit 0

case_name "--autonomous alone"
run_module --autonomous
assert_exit 14
assert_eq "" "$RUN_STDOUT" "stdout (a capability answer, not a refusal)"
HX_TEST_CAPABILITIES="AutonomousMode=1" run_module --autonomous
assert_exit 0

case_name "malformed capability override"
HX_TEST_CAPABILITIES="Nonsense=1" run_module -V
assert_exit 64

# ---- module properties -----------------------------------------------------------------

case_name "--show-module-properties"
run_module --show-module-properties
assert_exit 0
assert_eq "Module properties:

Only one data source backup operation is allowed at one time       : true
Does the module support working in the client's autonomous mode    : false
Does the module support incremental or differential backup         : true
Does this module support deduplication                             : true
Does this module support archiving                                 : false
Location of the restriction list                                   : /opt/halvex/etc/halvex_restriction.list.test" \
  "$RUN_STDOUT" "properties block"

case_name "--show-module-properties follows the capabilities"
HX_TEST_CAPABILITIES="OneOperationAtATime=0,AutonomousMode=1,IncrementalBackup=0,Deduplication=0,Archiving=1,SetToNumeric=1" \
  run_module --show-module-properties
assert_exit 0
assert_line "Only one data source backup operation is allowed at one time       : false"
assert_line "Does the module support working in the client's autonomous mode    : true"
assert_line "Does the module support incremental or differential backup         : false"
assert_line "Does this module support deduplication                             : false"
assert_line "Does this module support archiving                                 : true"
assert_eq 8 "$(printf '%s\n' "$RUN_STDOUT" | wc -l)" "line count (SetToNumeric not shown)"

# ---- other queries -----------------------------------------------------------------------

case_name "--show-backup-options"
run_module --show-backup-options
assert_exit 0
assert_eq "test_option : boolean Test special backup option" "$RUN_STDOUT" "stdout"

case_name "-o"
run_module -o
assert_exit 0
assert_eq "" "$RUN_STDOUT" "stdout (the base lists nothing)"

for pair in "-t:Test module: client check" "-c:Test module: header labels" \
  "-l:Test module: all resources" "-L:Test module: all resources with header labels"; do
  option="${pair%%:*}"
  line="${pair#*:}"
  case_name "$option"
  run_module "$option"
  assert_exit 0
  assert_eq "$line" "$RUN_STDOUT" "stdout"

  case_name "$option passes its hook's value through"
  HX_TEST_QUERY_RESULT=5 run_module "$option"
  assert_exit 5
  assert_line "$line"

  case_name "$option with a configuration that does not load"
  HX_TEST_CONFIG_FAIL=1 run_module "$option"
  assert_exit 2
  assert_stdout "Error: Unable to load configuration from config file."
done

case_name "query modes print no MODULE PID line"
run_module -V
assert_not_contains "MODULE PID:"

finish
