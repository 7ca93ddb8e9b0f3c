#!/usr/bin/env bash
# sandbox: bare
# Restores and applied replicas through the archiver with the test module and
# the hxfd stand-in: a full record, then a second part that reuses its
# directory with -i and is the last part; with and without deployment;
# autonomous restores; encrypted records; the apply sequence; exit codes 2
# and 7 and what each failure removes; the exact archiver command lines; and
# names that need shell quoting.
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

HEAD_CMD="/opt/halvex/bin/hxfd -a sha2 -2  -b 16384"
HEAD_ARGV="/opt/halvex/bin/hxfd -a sha2 -2 -b 16384"

RES="$W/res"
make_tree "$RES"
T="$W/T"
mkdir -p "$T" "$W/snaps"

# Makes a backup with the given arguments and keeps its snapshot file in $W/snaps.
backup() {
  local name="$1"
  shift
  run_module -b "$RES" -d "$T" -n "$name" "$@"
  if [ "$RUN_RC" != 0 ]; then
    fail "backup $name failed"
    hx_dump_run
  fi
  cp "$T/$name.snap" "$W/snaps/$name.snap"
}

# A fresh copy of a kept snapshot file (a restore uses up the one it is given).
snap() {
  mkdir -p "$W/in"
  cp "$W/snaps/$1.snap" "$W/in/$1.snap"
  printf '%s' "$W/in/$1.snap"
}

backup db1 -m ms1 -T b1
cp -a "$RES" "$W/v1"
printf 'second version\n' >"$RES/a.txt"
printf 'new in part two\n' >"$RES/sub/new.txt"
chown 99:98 "$RES/sub/new.txt"
chmod 604 "$RES/sub/new.txt"
run_module -2 -b "$RES" -d "$T" -n db2 -s "$(snap db1)" -m ms1 -T b2
assert_exit 0
cp "$T/db2.snap" "$W/snaps/db2.snap"
cp -a "$RES" "$W/v2"
backup db3 --autonomous
backup pg_FULL_2024 --autonomous
backup enc -m ms1 -T b4 -C kuznyechik -k /opt/halvex/keys/master-key

# ---------------------------------------------------------------------------
case_name "restore of a full record, not the last part"
R="$W/R"
mkdir -p "$R"
S="$(snap db1)"
reset_logs
run_module -r db1 -M "$S" -d "$R" -m ms1 -T r1
assert_exit 0
assert_line "Info: $RUN_SIG:hxfd command: $HEAD_CMD -R db1 -M ms1 -T r1 -s /opt/halvex/var/tasks//task_secret_r1 -m $R/db1.rest/db1.snap_dir/db1.meta -d '$R/db1.rest' 2>&1"
assert_last_argv "$HEAD_ARGV -R db1 -M ms1 -T r1 -s /opt/halvex/var/tasks//task_secret_r1 -m $R/db1.rest/db1.snap_dir/db1.meta -d $R/db1.rest"
assert_line "Info: The archive 'db1' has been unpacked successfully"
assert_line "Info: Removing obsolete snapshot file: $S"
assert_line "Info: Remove obsolete snapshot directory: $R/db1.rest/db1.snap_dir"
assert_line_matches '^Unpacked: [0-9]+ files, [0-9]+ bytes$'
assert_eq "before_restore|after_restore" "$(hooks)" "hooks"
[ -e "$S" ] && fail "the snapshot file given with -M is left"
[ -e "$R/db1.rest/db1.snap_dir" ] && fail "the reference snapshot directory is left"
assert_same_tree "$W/v1" "$R/db1.rest/${RES#/}"

case_name "second part with -i, the last one, without deployment"
reset_logs
run_module -r db2 -M "$(snap db2)" -d "$R" -i db1 -m ms1 -T r2 -e last:true,without_deployment_restore:yes
assert_exit 0
assert_last_argv "$HEAD_ARGV -R db2 -M ms1 -T r2 -s /opt/halvex/var/tasks//task_secret_r2 -m $R/db1.rest/db2.snap_dir/db2.meta -d $R/db1.rest"
assert_eq "before_restore|after_restore|after_restore_last_file" "$(hooks)" "hooks"
assert_no_line "Info: Remove temporary operation directory: $R/db1.rest"
assert_same_tree "$W/v2" "$R/db1.rest/${RES#/}"
[ -e "$R/db1.rest/db2.snap_dir" ] && fail "the reference snapshot directory is left"

case_name "both parts with deployment: the restore directory goes at the end"
R2="$W/R2"
mkdir -p "$R2"
reset_logs
run_module -r db1 -M "$(snap db1)" -d "$R2" -m ms1 -T r3
assert_exit 0
[ -d "$R2/db1.rest" ] || fail "the first part removed its directory"
run_module -r db2 -M "$(snap db2)" -d "$R2" -i db1 -m ms1 -T r4 -e last:true
assert_exit 0
assert_eq "before_restore|after_restore|before_restore|after_restore|after_restore_last_file|deployment replica=0" "$(hooks)" "hooks"
assert_line "Info: Remove temporary operation directory: $R2/db1.rest"
[ -e "$R2/db1.rest" ] && fail "the restore directory is left after the last part"
[ -d "$R2" ] || fail "the client's directory was removed"

case_name "autonomous restore names its directory after the archive file"
R3="$W/R3"
mkdir -p "$R3"
cp "$W/snaps/db3.snap" "$W/in/db3.snap"
reset_logs
run_module -r "$T/db3.hxfd" --autonomous -M "$W/in/db3.snap" -d "$R3" -p 0
assert_exit 0
assert_last_argv "$HEAD_ARGV -r $T/db3.hxfd -d $R3/db3.rest -p 0"
assert_same_tree "$W/v2" "$R3/db3.rest/${RES#/}"
[ -f "$W/in/db3.snap" ] || fail "an autonomous restore used up the snapshot file"
run_module -r "$T/pg_FULL_2024.hxfd" --autonomous -M "$W/snaps/pg_FULL_2024.snap" -d "$R3"
assert_exit 0
[ -d "$R3/2024.rest/${RES#/}" ] || fail "no restore directory named after the text behind _full_"

case_name "granular restore"
R4="$W/R4"
mkdir -p "$R4"
reset_logs
run_module -r db1 -M "$(snap db1)" -d "$R4" -m ms1 -T r5 -f "${RES#/}/sub/deeper"
assert_exit 0
assert_last_argv "$HEAD_ARGV -R db1 -M ms1 -T r5 -s /opt/halvex/var/tasks//task_secret_r5 -m $R4/db1.rest/db1.snap_dir/db1.meta -d $R4/db1.rest -f ${RES#/}/sub/deeper"
assert_eq "./${RES#/}/sub/deeper/c" "$(cd "$R4/db1.rest" && find . -type f | sort | paste -sd'|')" "restored files"

case_name "encrypted record"
R5="$W/R5"
mkdir -p "$R5"
reset_logs
run_module -r enc -M "$(snap enc)" -d "$R5" -m ms1 -T r6
assert_exit 7
assert_line_matches '^Error: hxfd out: hxfd: error: archive is encrypted with kuznyechik'
assert_eq "before_restore|after_restore" "$(hooks)" "hooks"
[ -e "$R5/enc.rest" ] && fail "a failed restore left its directory"
reset_logs
run_module -r enc -M "$(snap enc)" -d "$R5" -m ms1 -T r6 -C kuznyechik -k "$W/missing.key"
assert_exit 7
assert_line "Error: bool HxModuleUniversal::make_restore(const bool&): there is no key file: $W/missing.key"
assert_eq "0" "$(argv_count)" "archiver calls"
reset_logs
run_module -r enc -M "$(snap enc)" -d "$R5" -m ms1 -T r6 -C kuznyechik
assert_exit 7
assert_line "Error: bool HxModuleUniversal::make_restore(const bool&): you must define key file"
reset_logs
run_module -r enc -M "$(snap enc)" -d "$R5" -m ms1 -T r6 -C kuznyechik -k /opt/halvex/keys/master-key
assert_exit 0
assert_last_argv "$HEAD_ARGV -R enc -M ms1 -T r6 -s /opt/halvex/var/tasks//task_secret_r6 -m $R5/enc.rest/enc.snap_dir/enc.meta -d $R5/enc.rest -C kuznyechik -k /opt/halvex/keys/master-key"

# ---------------------------------------------------------------------------
E="$W/E"
mkdir -p "$E"

case_name "restore exit 2: configuration"
HX_TEST_CONFIG_FAIL=1 run_module -r db1 -M "$(snap db1)" -d "$E" -m ms1 -T e1
assert_exit 2
assert_eq "" "$(ls -A "$E")" "contents of the -d directory"

case_name "restore exit 2: the snapshot file cannot be unpacked; the restore directory stays"
reset_logs
run_module -r db1 -M "$W/in/db1.zip" -d "$E" -m ms1 -T e2
assert_exit 2
assert_line "Error: Unable to unpack snapshot file: $W/in/db1.zip"
assert_line "Error: Invalid snapshot file extension: \"$W/in/db1.zip\""
[ -d "$E/db1.rest" ] || fail "the restore directory was removed"
assert_eq "" "$(hooks)" "hooks"
rm -rf "$E/db1.rest"

case_name "restore exit 7: -i names no directory; nothing is made"
run_module -r db1 -M "$(snap db1)" -d "$E" -i gone -m ms1 -T e3
assert_exit 7
assert_line "Error: virtual int HxModuleUniversal::define_restore_directory(): catalog 'archive to patch' doesn't exist: $E/gone.rest"
assert_eq "" "$(ls -A "$E")" "contents of the -d directory"

for hook in before_restore after_restore; do
  case_name "restore exit 7: $hook fails; the restore directory is removed"
  reset_logs
  HX_TEST_FAIL=$hook run_module -r db1 -M "$(snap db1)" -d "$E" -m ms1 -T e4
  assert_exit 7
  assert_line "Info: Remove temporary operation directory: $E/db1.rest"
  assert_eq "" "$(ls -A "$E")" "contents of the -d directory"
done
assert_eq "before_restore|after_restore failed" "$(hooks)" "hooks of the after_restore case"

case_name "restore exit 7: the archiver fails; after_restore still runs"
reset_logs
HX_HXFD_FAIL=restore run_module -r db1 -M "$(snap db1)" -d "$E" -m ms1 -T e5
assert_exit 7
assert_eq "before_restore|after_restore" "$(hooks)" "hooks"
assert_line "Error: bool HxModuleUniversal::make_restore(const bool&): $HEAD_CMD -R db1 -M ms1 -T e5 -s /opt/halvex/var/tasks//task_secret_e5 -m $E/db1.rest/db1.snap_dir/db1.meta -d '$E/db1.rest' 2>&1"
assert_line "Error: hxfd out: hxfd: error: restore failed on request (HX_HXFD_FAIL)"
assert_no_line "Info: The archive 'db1' has been unpacked successfully"
assert_eq "" "$(ls -A "$E")" "contents of the -d directory"

for hook in after_restore_last_file deployment; do
  case_name "restore exit 7: $hook of the last part fails; the reused directory is removed"
  run_module -r db1 -M "$(snap db1)" -d "$E" -m ms1 -T e6
  assert_exit 0
  reset_logs
  HX_TEST_FAIL=$hook run_module -r db2 -M "$(snap db2)" -d "$E" -i db1 -m ms1 -T e7 -e last:true
  assert_exit 7
  assert_line "Info: Remove temporary operation directory: $E/db1.rest"
  assert_eq "" "$(ls -A "$E")" "contents of the -d directory"
done
assert_eq "before_restore|after_restore|after_restore_last_file|deployment replica=0 failed" "$(hooks)" "hooks of the deployment case"

# ---------------------------------------------------------------------------
case_name "apply a replica"
A="$W/A"
mkdir -p "$A"
reset_logs
run_module -R db1 -d "$A" -M "$(snap db1)" -m ms1 -T a1 -p 2 -e last:false,without_deployment_restore:yes
assert_exit 0
assert_line "Info: $RUN_SIG:hxfd command: $HEAD_CMD -R db1 -M ms1 -T a1 -s /opt/halvex/var/tasks//task_secret_a1 -m $A/db1.snap_dir/db1.meta -d '$A' -E  -p 2 2>&1"
assert_last_argv "$HEAD_ARGV -R db1 -M ms1 -T a1 -s /opt/halvex/var/tasks//task_secret_a1 -m $A/db1.snap_dir/db1.meta -d $A -E -p 2"
assert_eq "before_restore|after_restore|after_restore_last_file|deployment replica=1" "$(hooks)" "hooks"
assert_line "Info: Remove obsolete snapshot directory: $A/db1.snap_dir"
assert_not_contains "has been unpacked successfully"
assert_same_tree "$W/v1" "$A/${RES#/}"
[ -e "$A/db1.snap_dir" ] && fail "the reference snapshot directory is left"

case_name "apply exit 2: a snapshot without a meta file; its directory is removed"
mkdir -p "$W/nometa/x.snap_dir"
printf 'no meta\n' >"$W/nometa/x.snap_dir/readme"
(cd "$W/nometa/x.snap_dir" && tar czf "$W/nometa/x.snap" .)
A2="$W/A2"
mkdir -p "$A2"
reset_logs
run_module -R db1 -d "$A2" -M "$W/nometa/x.snap" -m ms1 -T a2
assert_exit 2
assert_line "Error: int HxModuleUniversal::unpack_snapshot_file(const string&): Snapshot doesn't contain any metafile!"
assert_line "Error: Unable to unpack snapshot file: $W/nometa/x.snap"
assert_line "Info: Remove obsolete snapshot directory: $A2/x.snap_dir"
assert_eq "" "$(ls -A "$A2")" "contents of the -d directory"

for failing in before_restore archiver deployment; do
  case_name "apply exit 7: $failing fails; only the reference snapshot directory is removed"
  A3="$W/A3-$failing"
  mkdir -p "$A3"
  printf 'kept\n' >"$A3/existing"
  reset_logs
  if [ "$failing" = archiver ]; then
    HX_HXFD_FAIL=restore run_module -R db1 -d "$A3" -M "$(snap db1)" -m ms1 -T a3
  else
    HX_TEST_FAIL=$failing run_module -R db1 -d "$A3" -M "$(snap db1)" -m ms1 -T a3
  fi
  assert_exit 7
  assert_line "Info: Remove obsolete snapshot directory: $A3/db1.snap_dir"
  [ -f "$A3/existing" ] || fail "the destination's files were removed"
  [ -e "$A3/db1.snap_dir" ] && fail "the reference snapshot directory is left"
done

# ---------------------------------------------------------------------------
case_name "record id and directory with a blank, a quote and a semicolon"
NAME="db 1;x'y"
TQ="$W/it's a; dir"
mkdir -p "$TQ"
run_module -b "$RES" -d "$TQ" -n "$NAME" -m ms1 -T "b;q"
assert_exit 0
cp "$TQ/$NAME.snap" "$W/snaps/$NAME.snap"
RQ="$TQ/R"
mkdir -p "$RQ"
reset_logs
run_module -r "$NAME" -M "$(snap "$NAME")" -d "$RQ" -m ms1 -T "r;touch $W/pwned" -e last:true,without_deployment_restore:yes
assert_exit 0
assert_line "Info: $RUN_SIG:hxfd command: $HEAD_CMD -R $(shell_arg "$NAME") -M ms1 -T $(shell_arg "r;touch $W/pwned") -s $(shell_arg "/opt/halvex/var/tasks//task_secret_r;touch $W/pwned") -m $(shell_arg "$RQ/$NAME.rest/$NAME.snap_dir/$NAME.meta") -d $(shell_arg "$RQ/$NAME.rest") 2>&1"
assert_last_argv "$(argv_text /opt/halvex/bin/hxfd -a sha2 -2 -b 16384 -R "$NAME" -M ms1 -T "r;touch $W/pwned" -s "/opt/halvex/var/tasks//task_secret_r;touch $W/pwned" -m "$RQ/$NAME.rest/$NAME.snap_dir/$NAME.meta" -d "$RQ/$NAME.rest")"
assert_same_tree "$W/v2" "$RQ/$NAME.rest/${RES#/}"
[ -e "$W/pwned" ] && fail "a value was run as a command"

finish
