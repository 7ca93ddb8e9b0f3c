#!/usr/bin/env bash
# sandbox: bare
# Restores and applied replicas through the real program (test module) and the
# hxfd stand-in: restored trees, a second part reusing the first one's directory
# with -i, deployment or not, autonomous and encrypted records, the apply
# sequence, exit codes 2 and 7 with what each failure removes, and quoting.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

HEAD="/opt/halvex/bin/hxfd -a sha2 -2 -b 16384"
SECRET=/opt/halvex/var/tasks//task_secret_
RES="$W/res"
make_tree "$RES"
T="$W/T"
mkdir -p "$T"

# Makes a backup with the given arguments and keeps its snapshot file.
backup() {
  run_module "$@" -d "$T"
  [ "$RUN_RC" = 0 ] || hx_fail_run "backup $* failed"
  keep_snap "$2"
}
backup -n db1 -b "$RES" -m ms1 -T b1
cp -a "$RES" "$W/v1"
printf 'second version\n' >"$RES/a.txt"
printf 'new in part two\n' >"$RES/sub/new.txt"
chown 99:98 "$RES/sub/new.txt"
chmod 604 "$RES/sub/new.txt"
backup -n db2 -2 -b "$RES" -s "$(snap db1)" -m ms1 -T b2
cp -a "$RES" "$W/v2"
backup -n db3 -b "$RES" --autonomous
backup -n enc -b "$RES" -m ms1 -T b4 -C kuznyechik -k /opt/halvex/keys/master-key

case_name "restore of a full record, not the last part"
mkdir -p "$W/R"
S="$(snap db1)"
reset_logs
run_module -r db1 -M "$S" -d "$W/R" -m ms1 -T r1
assert_exit 0
assert_last_argv "$HEAD -R db1 -M ms1 -T r1 -s ${SECRET}r1 -m $W/R/db1.rest/db1.snap_dir/db1.meta -d $W/R/db1.rest"
assert_line "Info: The archive 'db1' has been unpacked successfully"
assert_line_matches '^Unpacked: [0-9]+ files, [0-9]+ bytes$'
assert_eq "before_restore|after_restore" "$(hooks)" "hooks"
[ -e "$S" ] || [ -e "$W/R/db1.rest/db1.snap_dir" ] && fail "the snapshot file or its directory is left"
assert_same_tree "$W/v1" "$W/R/db1.rest/${RES#/}"

case_name "second part with -i, the last one, without deployment"
reset_logs
run_module -r db2 -M "$(snap db2)" -d "$W/R" -i db1 -m ms1 -T r2 -e last:true,without_deployment_restore:yes
assert_exit 0
assert_last_argv "$HEAD -R db2 -M ms1 -T r2 -s ${SECRET}r2 -m $W/R/db1.rest/db2.snap_dir/db2.meta -d $W/R/db1.rest"
assert_eq "before_restore|after_restore|after_restore_last_file" "$(hooks)" "hooks"
assert_same_tree "$W/v2" "$W/R/db1.rest/${RES#/}"
[ -e "$W/R/db1.rest/db2.snap_dir" ] && fail "the reference snapshot directory is left"

case_name "both parts with deployment: the restore directory goes at the end"
mkdir -p "$W/R2"
reset_logs
run_module -r db1 -M "$(snap db1)" -d "$W/R2" -m ms1 -T r3
assert_exit 0
[ -d "$W/R2/db1.rest" ] || fail "the first part removed its directory"
run_module -r db2 -M "$(snap db2)" -d "$W/R2" -i db1 -m ms1 -T r4 -e last:true
assert_exit 0
assert_eq "before_restore|after_restore|before_restore|after_restore|after_restore_last_file|deployment replica=0" "$(hooks)" "hooks"
assert_line "Info: Remove temporary operation directory: $W/R2/db1.rest"
[ -e "$W/R2/db1.rest" ] && fail "the restore directory is left after the last part"
[ -d "$W/R2" ] || fail "the client's directory was removed"

case_name "autonomous restore names its directory after the archive file"
mkdir -p "$W/R3"
cp "$W/snaps/db3.snap" "$W/in/db3.snap"
reset_logs
run_module -r "$T/db3.hxfd" --autonomous -M "$W/in/db3.snap" -d "$W/R3" -p 0
assert_exit 0
assert_last_argv "$HEAD -r $T/db3.hxfd -d $W/R3/db3.rest -p 0"
assert_same_tree "$W/v2" "$W/R3/db3.rest/${RES#/}"
[ -f "$W/in/db3.snap" ] || fail "an autonomous restore used up the snapshot file"

case_name "granular restore"
mkdir -p "$W/R4"
reset_logs
run_module -r db1 -M "$(snap db1)" -d "$W/R4" -m ms1 -T r5 -f "${RES#/}/sub/deeper"
assert_exit 0
assert_last_argv "$HEAD -R db1 -M ms1 -T r5 -s ${SECRET}r5 -m $W/R4/db1.rest/db1.snap_dir/db1.meta -d $W/R4/db1.rest -f ${RES#/}/sub/deeper"
assert_eq "./${RES#/}/sub/deeper/c" "$(cd "$W/R4/db1.rest" && find . -type f | sort | paste -sd'|')" "restored files"

case_name "encrypted record: without the cipher, with a missing key file, with the key"
mkdir -p "$W/R5"
reset_logs
run_module -r enc -M "$(snap enc)" -d "$W/R5" -m ms1 -T r6
assert_exit 7
assert_line_matches '^Error: hxfd out: hxfd: error: archive is encrypted with kuznyechik'
assert_eq "before_restore|after_restore" "$(hooks)" "hooks"
[ -e "$W/R5/enc.rest" ] && fail "a failed restore left its directory"
reset_logs
run_module -r enc -M "$(snap enc)" -d "$W/R5" -m ms1 -T r6 -C kuznyechik -k "$W/missing.key"
assert_exit 7
assert_eq "0" "$(argv_count)" "archiver calls"
run_module -r enc -M "$(snap enc)" -d "$W/R5" -m ms1 -T r6 -C kuznyechik -k /opt/halvex/keys/master-key
assert_exit 0
assert_last_argv "$HEAD -R enc -M ms1 -T r6 -s ${SECRET}r6 -m $W/R5/enc.rest/enc.snap_dir/enc.meta -d $W/R5/enc.rest -C kuznyechik -k /opt/halvex/keys/master-key"

E="$W/E"
mkdir -p "$E"
# Fails unless the -d directory is empty.
assert_e_empty() { assert_eq "" "$(ls -A "$E")" "contents of the -d directory"; }

for mode in -r -R; do
  case_name "$mode exit 2: configuration"
  HX_TEST_CONFIG_FAIL=1 run_module $mode db1 -M "$(snap db1)" -d "$E" -m ms1 -T e1
  assert_exit 2
  assert_line "Error: Unable to load configuration from config file."
  assert_e_empty
done

# A failed restore removes the restore directory it made (without -M as with a
# file that is no snapshot, or one another account could change, which is
# neither read nor removed), never one it found (-i).
cp "$W/snaps/db1.snap" "$W/in/nobody.snap" && chown nobody "$W/in/nobody.snap"
for meta in "-M $W/in/db1.zip" "" "-M $W/in/nobody.snap"; do
  case_name "restore exit 2: the snapshot file cannot be unpacked (${meta:-no -M})"
  reset_logs
  # shellcheck disable=SC2086
  run_module -r db1 $meta -d "$E" -m ms1 -T e2
  assert_exit 2
  assert_line "Error: Unable to unpack snapshot file: ${meta#-M }"
  assert_line "Info: Remove temporary operation directory: $E/db1.rest"
  assert_eq "" "$(hooks)" "hooks"
  assert_e_empty
done
assert_line "Error: int HxModuleUniversal::unpack_snapshot_file(const string&): can't use $W/in/nobody.snap: it is a \
regular file owned by uid $(id -u nobody); it is neither read nor removed. A snapshot or meta file, and what is read \
beside it, must be a regular file owned by root with a single name that group or others may not write, in a \
directory in which no other account can rename, replace or remove it: every element from / a directory (not a link) \
owned by root, and writable by group or others only when sticky (as /tmp)"
assert_eq "nobody" "$(stat -c %U "$W/in/nobody.snap")" "owner of the refused snapshot file, which stays"

case_name "restore exit 7: -i names no directory; nothing is made"
run_module -r db1 -M "$(snap db1)" -d "$E" -i gone -m ms1 -T e3
assert_exit 7
assert_e_empty

# FAILING ENV|hooks: each failure ends with 7 and removes the restore directory.
for row in "HX_TEST_FAIL=before_restore|before_restore failed" \
  "HX_TEST_FAIL=after_restore|before_restore|after_restore failed" \
  "HX_HXFD_FAIL=restore|before_restore|after_restore"; do
  case_name "restore exit 7: ${row%%|*}"
  reset_logs
  export "${row%%|*}"
  run_module -r db1 -M "$(snap db1)" -d "$E" -m ms1 -T e4
  unset "${row%%=*}"
  assert_exit 7
  assert_eq "${row#*|}" "$(hooks)" "hooks"
  assert_line "Info: Remove temporary operation directory: $E/db1.rest"
  assert_e_empty
done
assert_line "Error: hxfd out: hxfd: error: restore failed on request (HX_HXFD_FAIL)"
assert_no_line "Info: The archive 'db1' has been unpacked successfully"

for hook in after_restore_last_file deployment; do
  case_name "restore exit 7: $hook of the last part fails; the reused directory stays whole"
  run_module -r db1 -M "$(snap db1)" -d "$E" -m ms1 -T e6
  assert_exit 0
  reset_logs
  HX_TEST_FAIL=$hook run_module -r db2 -M "$(snap db2)" -d "$E" -i db1 -m ms1 -T e7 -e last:true
  assert_exit 7
  assert_no_line "Info: Remove temporary operation directory: $E/db1.rest"
  assert_same_tree "$W/v2" "$E/db1.rest/${RES#/}"
  [ -e "$E/db1.rest/db2.snap_dir" ] && fail "the reference snapshot directory is left"
  rm -rf "$E/db1.rest"
done
assert_eq "before_restore|after_restore|after_restore_last_file|deployment replica=0 failed" "$(hooks)" "hooks of the deployment case"

case_name "apply a replica"
mkdir -p "$W/A"
reset_logs
run_module -R db1 -d "$W/A" -M "$(snap db1)" -m ms1 -T a1 -p 2 -e last:false,without_deployment_restore:yes
assert_exit 0
assert_last_argv "$HEAD -R db1 -M ms1 -T a1 -s ${SECRET}a1 -m $W/A/db1.snap_dir/db1.meta -d $W/A -E -p 2"
assert_eq "before_restore|after_restore|after_restore_last_file|deployment replica=1" "$(hooks)" "hooks"
assert_not_contains "has been unpacked successfully"
assert_same_tree "$W/v1" "$W/A/${RES#/}"
[ -e "$W/A/db1.snap_dir" ] && fail "the reference snapshot directory is left"

case_name "apply exit 2: a snapshot without a meta file; its directory is removed"
mkdir -p "$W/nometa/x.snap_dir" "$W/A2"
printf 'no meta\n' >"$W/nometa/x.snap_dir/readme"
(cd "$W/nometa/x.snap_dir" && tar czf "$W/nometa/x.snap" .)
run_module -R db1 -d "$W/A2" -M "$W/nometa/x.snap" -m ms1 -T a2
assert_exit 2
assert_eq "" "$(ls -A "$W/A2")" "contents of the -d directory"

for failing in HX_TEST_FAIL=before_restore HX_HXFD_FAIL=restore HX_TEST_FAIL=after_restore_last_file HX_TEST_FAIL=deployment; do
  case_name "apply exit 7: $failing; only the reference snapshot directory is removed"
  A3="$W/A3-${failing#*=}"
  mkdir -p "$A3"
  printf 'kept\n' >"$A3/existing"
  export "$failing"
  run_module -R db1 -d "$A3" -M "$(snap db1)" -m ms1 -T a3
  unset "${failing%%=*}"
  assert_exit 7
  [ -f "$A3/existing" ] && [ ! -e "$A3/db1.snap_dir" ] || fail "destination's files removed or reference directory left"
done

case_name "record id and directory with a blank, a quote and a semicolon"
NAME="db 1;x'y"
TQ="$W/it's a; dir"
mkdir -p "$TQ/R"
run_module -b "$RES" -d "$TQ" -n "$NAME" -m ms1 -T "b;q"
assert_exit 0
cp "$TQ/$NAME.snap" "$W/snaps/$NAME.snap"
reset_logs
run_module -r "$NAME" -M "$(snap "$NAME")" -d "$TQ/R" -m "ms1;touch $W/pwned" -T "r;x'q" -e last:true,without_deployment_restore:yes
assert_exit 0
assert_last_argv "$(argv_text $HEAD -R "$NAME" -M "ms1;touch $W/pwned" -T "r;x'q" -s "${SECRET}r;x'q" -m "$TQ/R/$NAME.rest/$NAME.snap_dir/$NAME.meta" -d "$TQ/R/$NAME.rest")"
assert_same_tree "$W/v2" "$TQ/R/$NAME.rest/${RES#/}"
[ -e "$W/pwned" ] && fail "a value was run as a command"

finish
