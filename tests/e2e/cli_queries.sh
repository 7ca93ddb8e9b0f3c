#!/usr/bin/env bash
# sandbox: bare
# The query modes run as a real program (the test module): usage text, help,
# version, capability answers and their exit codes, properties and listings.
set -euo pipefail
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

case_name "no arguments"
rm -f "$LOG_FILE"
run_module
assert_exit 14
assert_stdout "$(expected_usage)
Error: Wrong combination of options"
# The Error went to the log file once (Error list only, not also the defaults).
assert_eq "Error: Wrong combination of options" "$(hx_log_strip_stamps <"$LOG_FILE")" "log file"

# -h wins over conflicting options and a bad module parameter, not over an unknown option.
for args in "-h" "-1 -2 -b X -h -t -e hxd_hash_length:abc"; do
  case_name "$args"
  # shellcheck disable=SC2086
  run_module $args
  assert_exit 1
  assert_stdout "$(expected_usage)
$(expected_table)"
done
case_name "-h with an option that is not in the table"
run_module -h --no-such-option
assert_exit 14
assert_line "Error: bool HxModuleUniversal::parse_module_options(int, char**, HxModuleOptions&): unrecognised option '--no-such-option'"
assert_not_contains "Options description"

# Capability answers: CAPABILITIES|OPTION|EXIT CODE, each with an empty stdout.
for row in "|-V|0" "|--version|0" "IncrementalBackup=0|-1|0" "|-2|0" "|-D|0" "Deduplication=false|-D|15" \
  "|-a|16" "Archiving=1|-a|0" "|--autonomous|14" "AutonomousMode=1|--autonomous|0" "|-o|0"; do
  IFS='|' read -r caps option code <<<"$row"
  case_name "$option with capabilities '$caps'"
  HX_TEST_CAPABILITIES="$caps" run_module "$option"
  assert_exit "$code"
  case "$option" in
    -V | --version) assert_eq "1.2" "$RUN_STDOUT" "version output" ;;
    *) assert_eq "" "$RUN_STDOUT" "stdout" ;;
  esac
done

case_name "-2 without the capability"
HX_TEST_CAPABILITIES="IncrementalBackup=0" run_module -2
assert_exit 3
assert_stdout "Error: : incremental or differential backup is not supported by module $BIN"

case_name "malformed capability override"
HX_TEST_CAPABILITIES="Nonsense=1" run_module -V
assert_exit 64

# The properties block for the five answers given.
properties() {
  printf '%s\n' "Module properties:" "" \
    "Only one data source backup operation is allowed at one time       : $1" \
    "Does the module support working in the client's autonomous mode    : $2" \
    "Does the module support incremental or differential backup         : $3" \
    "Does this module support deduplication                             : $4" \
    "Does this module support archiving                                 : $5" \
    "Location of the restriction list                                   : /opt/halvex/etc/halvex_restriction.list.test"
}
case_name "--show-module-properties"
run_module --show-module-properties
assert_exit 0
assert_eq "$(properties true false true true false)" "$RUN_STDOUT" "properties block"
HX_TEST_CAPABILITIES="OneOperationAtATime=0,AutonomousMode=1,IncrementalBackup=0,Deduplication=0,Archiving=1,SetToNumeric=1" \
  run_module --show-module-properties
assert_eq "$(properties false true false false true)" "$RUN_STDOUT" "properties following the capabilities"

case_name "--show-backup-options"
run_module --show-backup-options
assert_exit 0
assert_eq "test_option : boolean Test special backup option" "$RUN_STDOUT" "stdout"

# Listing queries: their hook's line and value, and exit 2 when the configuration fails.
for pair in "-t:Test module: client check" "-c:Test module: header labels" \
  "-l:Test module: all resources" "-L:Test module: all resources with header labels"; do
  option="${pair%%:*}"
  line="${pair#*:}"
  case_name "$option"
  run_module "$option"
  assert_exit 0
  assert_eq "$line" "$RUN_STDOUT" "stdout"
  HX_TEST_QUERY_RESULT=5 run_module "$option"
  assert_exit 5
  assert_line "$line"
  HX_TEST_CONFIG_FAIL=1 run_module "$option"
  assert_exit 2
  assert_stdout "Error: Unable to load configuration from config file."
done

finish
