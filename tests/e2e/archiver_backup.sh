#!/usr/bin/env bash
# sandbox: bare
# Backups through the archiver with the test module and the hxfd stand-in:
# media-server and autonomous forms, incremental backups from a snapshot file
# and from a meta file, the file listing, signature and encryption arguments,
# local restrictions of -b, -B and -A, every exit code of the backup sequence,
# the exact archiver command lines, and values that need shell quoting.
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

KEYS="-x /opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem"
HEAD_CMD="cd / && /opt/halvex/bin/hxfd -a sha2 -2  -b 16384"
HEAD_ARGV="/opt/halvex/bin/hxfd -a sha2 -2 -b 16384"

RES="$W/res"
make_tree "$RES"
T="$W/T"
mkdir -p "$T" "$W/keep"

# ---------------------------------------------------------------------------
case_name "full backup through a media server"
reset_logs
run_module -b "$RES" -d "$T" -n db1 -m ms1 -T t1
assert_exit 0
assert_line_matches '^MODULE PID:[0-9]+$'
assert_line "Info: $RUN_SIG:hxfd command: $HEAD_CMD -c $T/db1.hxfd.list $KEYS -z None -M ms1 -N db1 -T t1 -s /opt/halvex/var/tasks//task_secret_t1 -m $T/db1.snap_dir/db1.meta 2>&1"
assert_last_argv "$HEAD_ARGV -c $T/db1.hxfd.list $KEYS -z None -M ms1 -N db1 -T t1 -s /opt/halvex/var/tasks//task_secret_t1 -m $T/db1.snap_dir/db1.meta"
# The archiver runs in "/" with the mask 022.
assert_eq "cwd=/ umask=0022 op=backup" "$(sed -E 's/^pid=[0-9]+ ppid=[0-9]+ //' "$HXFD_CALLS")" "archiver call"
assert_line "MAIN ARCHIVE FILENAME:$T/db1.snap"
assert_line "MAIN SNAPSHOT FILENAME:$T/db1.snap"
assert_line "MAIN ARCHIVE SIGN FILENAME:$T/db1.signature"
assert_line "Info: The task to make a full backup of resource '$RES' completed successfully"
assert_line_matches '^HXFD PID: [0-9]+$'
assert_line_matches '^Packed: [0-9]+ files, [0-9]+ bytes$'
assert_line "Transferred: $(stat -c %s "$HX_MEDIA_DIR/db1") bytes to ms1"
assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
# Order on standard output: the PID line, the archiver's statistics, the
# release, then the closing step's lines.
order="$(printf '%s\n' "$RUN_LINES" | grep -oE '^(MODULE PID:|HXFD PID: |Packed: |Info: Test module: release|MAIN ARCHIVE FILENAME:)' | paste -sd'|')"
assert_eq "MODULE PID:|HXFD PID: |Packed: |Info: Test module: release|MAIN ARCHIVE FILENAME:" "$order" "order of lines"
assert_eq "HXFD file list:
   $RES : ${RES#/}" "$(cat "$T/db1.hxfd.list")" "list file"
assert_eq "./|./db1.meta" "$(tar tzf "$T/db1.snap" | paste -sd'|')" "snapshot file members"
assert_eq "600" "$(stat -c %a "$T/db1.snap")" "mode of the snapshot file (mask 077 after the run)"
[ -e "$T/db1.snap_dir" ] && fail "the snapshot directory is left"
[ -f "$HX_MEDIA_DIR/db1" ] || fail "no archive on the media server"
cp "$T/db1.snap" "$W/keep/db1.snap"

# ---------------------------------------------------------------------------
case_name "full backup in autonomous mode"
reset_logs
run_module -b "$RES" -d "$T" -n db2 --autonomous
assert_exit 0
assert_last_argv "$HEAD_ARGV -c $T/db2.hxfd.list $KEYS -z None -n $T/db2.hxfd -m $T/db2.snap_dir/db2.meta"
assert_line "MAIN ARCHIVE FILENAME:$T/db2.hxfd"
assert_line "MAIN SNAPSHOT FILENAME:$T/db2.snap"
assert_line "MAIN ARCHIVE SIGN FILENAME:$T/db2.hxfd.signature"
[ -f "$T/db2.hxfd" ] || fail "no archive file at the -n path"
assert_no_line "Transferred: $(stat -c %s "$T/db2.hxfd" 2>/dev/null) bytes to ms1"
mkdir -p "$W/check2"
/opt/halvex/bin/hxfd -a sha2 -2 -b 16384 -r "$T/db2.hxfd" -d "$W/check2" >/dev/null
assert_same_tree "$RES" "$W/check2/${RES#/}"

case_name "other hash length, parallelism 0, best compression and a memory threshold"
reset_logs
run_module -b "$RES" -d "$T" -n db2b -m ms1 -T t2 -p 0 -z 4 -G 64 -e hxd_hash_length:512,hxd_hash_algorithm:gost
assert_exit 0
assert_line "Info: $RUN_SIG:hxfd command: cd / && /opt/halvex/bin/hxfd -a gost -5  -b 16384 -c $T/db2b.hxfd.list -p 0 $KEYS -z best --memory-threshold 64 -M ms1 -N db2b -T t2 -s /opt/halvex/var/tasks//task_secret_t2 -m $T/db2b.snap_dir/db2b.meta 2>&1"
assert_last_argv "/opt/halvex/bin/hxfd -a gost -5 -b 16384 -c $T/db2b.hxfd.list -p 0 $KEYS -z best --memory-threshold 64 -M ms1 -N db2b -T t2 -s /opt/halvex/var/tasks//task_secret_t2 -m $T/db2b.snap_dir/db2b.meta"

case_name "a file resource without a list file goes to the archiver itself"
printf 'single\n' >"$W/single.dump"
reset_logs
HX_TEST_LIST_FILE=none run_module -b "$W/single.dump" -d "$T" -n db2c -m ms1 -T t2
assert_exit 0
assert_last_argv "$HEAD_ARGV -c $W/single.dump $KEYS -z None -M ms1 -N db2c -T t2 -s /opt/halvex/var/tasks//task_secret_t2 -m $T/db2c.snap_dir/db2c.meta"

# ---------------------------------------------------------------------------
case_name "incremental backup with a reference snapshot file"
printf 'added later\n' >"$RES/added.txt"
reset_logs
run_module -2 -b "$RES" -d "$T" -n db3 -s "$T/db1.snap" -m ms1 -T t3 -p 3 -z 3 -e hxd_block_size:65536,numeric_owner:t
assert_exit 0
assert_last_argv "/opt/halvex/bin/hxfd -a sha2 -2 -b 65536 -c $T/db3.hxfd.list -p 3 $KEYS --numeric-owner -S $T/db1.snap_dir/db1.meta -z optimal -M ms1 -N db3 -T t3 -s /opt/halvex/var/tasks//task_secret_t3 -m $T/db3.snap_dir/db3.meta"
assert_line "Info: Removing obsolete snapshot file: $T/db1.snap"
assert_line "Info: Remove obsolete file: $T/db1.snap_dir"
assert_line "Info: The task to make an incremental backup of resource '$RES' completed successfully"
[ -e "$T/db1.snap" ] && fail "the reference snapshot file is left"
[ -e "$T/db1.snap_dir" ] && fail "the reference snapshot directory is left"
[ -f "$T/db3.snap" ] || fail "no snapshot file of the incremental backup"
cp "$T/db3.snap" "$W/keep/db3.snap"

# ---------------------------------------------------------------------------
case_name "incremental backup with a meta file given directly"
mkdir -p "$W/metas"
tar xzf "$W/keep/db1.snap" -C "$W/metas"
reset_logs
run_module -2 -b "$RES" -d "$T" -n db4 -s "$W/metas/db1.meta" -m ms1 -T t4
assert_exit 0
assert_last_argv "$HEAD_ARGV -c $T/db4.hxfd.list $KEYS -S $W/metas/db1.meta -z None -M ms1 -N db4 -T t4 -s /opt/halvex/var/tasks//task_secret_t4 -m $T/db4.snap_dir/db4.meta"
assert_not_contains "Removing obsolete snapshot file"
[ -f "$W/metas/db1.meta" ] || fail "the meta file given directly was removed"

case_name "a reference that is no meta file makes the archiver fail"
printf '{"format": "something else"}\n' >"$W/metas/bogus.meta"
reset_logs
run_module -2 -b "$RES" -d "$T" -n db4b -s "$W/metas/bogus.meta" -m ms1 -T t4
assert_exit 6
assert_line "Error: hxfd out: hxfd: error: not a meta file of this archiver: $W/metas/bogus.meta"

# ---------------------------------------------------------------------------
case_name "file listing of the archive"
reset_logs
run_module -b "$RES" -d "$T" -n db5 -m ms1 -T t5 -e file_list:t
assert_exit 0
assert_last_argv "/opt/halvex/bin/hxfd -l $T/db5.snap_dir/db5.meta -v 1"
listing="$(printf '%s\n' "$RUN_LINES" | sed -n '/^FILE LISTING START:$/,/^FILE LISTING END$/p')"
assert_eq "FILE LISTING START:" "$(printf '%s\n' "$listing" | head -n 1)" "listing start"
assert_eq "FILE LISTING END" "$(printf '%s\n' "$listing" | tail -n 1)" "listing end"
printf '%s\n' "$listing" | grep -Eq "^-rw-r----- root/root +11 .* ${RES#/}/a\.txt$" || fail "listing lacks a.txt: $listing"
printf '%s\n' "$listing" | grep -Eq " ${RES#/}/sub/with blank\.txt$" || fail "listing lacks the name with a blank"
# The listing comes after the MAIN lines and before the success message.
assert_eq "MAIN ARCHIVE SIGN FILENAME:$T/db5.signature" "$(printf '%s\n' "$RUN_LINES" | grep -B1 '^FILE LISTING START:$' | head -n 1)" "line before the listing"

case_name "a replica never lists"
reset_logs
run_module -A "$RES" -d "$T" -n db5r -m ms1 -T t5 -e file_list:t
assert_exit 0
assert_not_contains "FILE LISTING START:"
assert_eq "1" "$(argv_count)" "archiver calls"
assert_eq "exists|prepare replica=1|release interrupted=0" "$(hooks)" "hooks"

# ---------------------------------------------------------------------------
case_name "signature"
reset_logs
run_module -b "$RES" -d "$T" -n db6 -m ms1 -T t6 --dgst
assert_exit 0
assert_last_argv "$HEAD_ARGV -c $T/db6.hxfd.list $KEYS -z None -M ms1 -N db6 -T t6 -s /opt/halvex/var/tasks//task_secret_t6 -m $T/db6.snap_dir/db6.meta -g $T/db6.signature --passin /opt/halvex/keys/master-key --sign /opt/halvex/keys/secret-key.pem"
assert_line "MAIN ARCHIVE SIGN FILENAME:$T/db6.signature"
grep -q "^sha256: $(sha256sum "$HX_MEDIA_DIR/db6" | cut -d' ' -f1)$" "$T/db6.signature" 2>/dev/null ||
  fail "the signature file does not sign the archive"

# ---------------------------------------------------------------------------
case_name "encryption with a key file"
reset_logs
run_module -b "$RES" -d "$T" -n db7 -m ms1 -T t7 -C kuznyechik -k /opt/halvex/keys/master-key
assert_exit 0
assert_last_argv "$HEAD_ARGV -c $T/db7.hxfd.list $KEYS -z None -M ms1 -N db7 -T t7 -s /opt/halvex/var/tasks//task_secret_t7 -m $T/db7.snap_dir/db7.meta -C kuznyechik -k /opt/halvex/keys/master-key"

case_name "encryption with a missing key file"
reset_logs
run_module -b "$RES" -d "$T" -n db7b -m ms1 -T t7 -C kuznyechik -k "$W/no-such-key"
assert_exit 6
assert_line "Error: there is no key file: $W/no-such-key"
assert_eq "0" "$(argv_count)" "archiver calls"
assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"

case_name "encryption without a key file"
reset_logs
run_module -b "$RES" -d "$T" -n db7c -m ms1 -T t7 -C kuznyechik
assert_exit 6
assert_line "Error: you must define key file"
assert_eq "0" "$(argv_count)" "archiver calls"

# ---------------------------------------------------------------------------
case_name "local restrictions that do not name the resource reach the archiver"
printf '/srv/other\n/srv/b c\n%s\n' "$RES/private" >"$RESTRICTION_LIST"
reset_logs
run_module -b "$RES" -d "$T" -n db8 -m ms1 -T t8 -j -e file_list:t
assert_exit 0
assert_line "Info: $RUN_SIG:hxfd command: $HEAD_CMD -c $T/db8.hxfd.list $KEYS,/srv/other,'/srv/b c',$RES/private -z None -M ms1 -N db8 -T t8 -s /opt/halvex/var/tasks//task_secret_t8 -m $T/db8.snap_dir/db8.meta -X $RESTRICTION_LIST 2>&1"
assert_eq "$(argv_text /opt/halvex/bin/hxfd -a sha2 -2 -b 16384 -c "$T/db8.hxfd.list" -x "/opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem,/srv/other,/srv/b c,$RES/private" -z None -M ms1 -N db8 -T t8 -s /opt/halvex/var/tasks//task_secret_t8 -m "$T/db8.snap_dir/db8.meta" -X "$RESTRICTION_LIST")" \
  "$(sed -n 1p "$HXFD_ARGV")" "archiver argv"
listing="$(printf '%s\n' "$RUN_LINES" | sed -n '/^FILE LISTING START:$/,/^FILE LISTING END$/p')"
case "$listing" in *"${RES#/}/private"*) fail "a restricted path was archived: $listing" ;; esac
case "$listing" in *"${RES#/}/a.txt"*) ;; *) fail "the listing lacks a.txt: $listing" ;; esac

case_name "local restrictions: -j without a restriction list"
rm -f "$RESTRICTION_LIST"
reset_logs
run_module -b "$RES" -d "$T" -n db9 -m ms1 -T t9 -j
assert_exit 0
assert_last_argv "$HEAD_ARGV -c $T/db9.hxfd.list $KEYS, -z None -M ms1 -N db9 -T t9 -s /opt/halvex/var/tasks//task_secret_t9 -m $T/db9.snap_dir/db9.meta"

case_name "local restrictions: -b of a restricted resource"
printf '/srv/other\n%s\n' "$RES" >"$RESTRICTION_LIST"
reset_logs
run_module -b "$RES" -d "$T" -n db10 -m ms1 -T t10 -j
assert_exit 11
assert_line "Error: Backup module: Unable to backup this resource $RES. Local restriction"
assert_eq "0" "$(argv_count)" "archiver calls"
assert_eq "" "$(hooks)" "hooks"
[ -d "$T/db10.snap_dir/leveldb" ] || fail "the task directories are made before the restriction test"

case_name "local restrictions: -A of a restricted resource"
reset_logs
run_module -A "$RES" -d "$T" -n db11 -m ms1 -T t11 -j
assert_exit 11
assert_line "Error: Backup module: Unable to backup this resource $RES due to the local restriction"
assert_eq "0" "$(argv_count)" "archiver calls"

case_name "local restrictions: -B with a restricted resource in the list"
RES2="$W/res2"
mkdir -p "$RES2"
printf 'two\n' >"$RES2/two.txt"
printf '[{"path": "%s"}, {"path": "%s"}]\n' "$RES2" "$RES" >"$W/list.json"
reset_logs
run_module -B "$W/list.json" -d "$T" -n db12 -m ms1 -T t12 -j
assert_exit 11
assert_line "Error: bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<char> >&) const: Unable to backup this resource from ResourceList: $RES. Local restriction"
assert_not_contains "Backup module: Unable to backup"
assert_eq "0" "$(argv_count)" "archiver calls"

case_name "backup of a resource list"
rm -f "$RESTRICTION_LIST"
reset_logs
run_module -B "$W/list.json" -d "$T" -n db13 -m ms1 -T t13 -j
assert_exit 0
assert_eq "HXFD file list:
   $RES : ${RES#/}
   $RES2 : ${RES2#/}" "$(cat "$T/db13.hxfd.list")" "list file"
assert_last_argv "$HEAD_ARGV -c $T/db13.hxfd.list $KEYS, -z None -M ms1 -N db13 -T t13 -s /opt/halvex/var/tasks//task_secret_t13 -m $T/db13.snap_dir/db13.meta"

# ---------------------------------------------------------------------------
case_name "exit 4 without a temporary operation directory"
reset_logs
run_module -b "$RES" -n db20 -m ms1 -T t20
assert_exit 4
assert_line "Error: Backup module: you must define tmp_operation_directory directory"
assert_eq "" "$(hooks)" "hooks"

case_name "exit 5 without an archive name"
run_module -b "$RES" -d "$T" -m ms1 -T t20
assert_exit 5
assert_line "Error: Backup module: you must define archive name"

case_name "exit 2 when the configuration fails"
HX_TEST_CONFIG_FAIL=1 run_module -b "$RES" -d "$T" -n db21 -m ms1 -T t21
assert_exit 2
[ -e "$T/db21.snap_dir" ] && fail "task directories made although the configuration failed"

case_name "exit 2 when the resource does not exist"
reset_logs
run_module -b "$W/missing" -d "$T" -n db22 -m ms1 -T t22
assert_exit 2
assert_line "Error: Backup module: Unable to backup this resource $W/missing. Resource doesn't exist"
assert_eq "exists" "$(hooks)" "hooks"

case_name "exit 2 when the reference snapshot cannot be unpacked"
printf 'garbage' >"$W/broken.snap"
reset_logs
run_module -2 -b "$RES" -d "$T" -n db23 -s "$W/broken.snap" -m ms1 -T t23
assert_exit 2
assert_line "Error: Backup module: Unable to unpack reference snapshot file: $W/broken.snap"
assert_eq "exists" "$(hooks)" "hooks"

case_name "exit 6 when the preparation fails: no archiver, no release"
reset_logs
HX_TEST_FAIL=prepare run_module -b "$RES" -d "$T" -n db24 -m ms1 -T t24
assert_exit 6
assert_eq "exists|prepare replica=0 failed" "$(hooks)" "hooks"
assert_eq "0" "$(argv_count)" "archiver calls"

case_name "exit 6 when the archiver fails: released, not closed"
reset_logs
HX_HXFD_FAIL=backup run_module -b "$RES" -d "$T" -n db25 -m ms1 -T t25
assert_exit 6
assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
assert_line "Error: bool HxModuleUniversal::make_backup_locally(): $HEAD_CMD -c $T/db25.hxfd.list $KEYS -z None -M ms1 -N db25 -T t25 -s /opt/halvex/var/tasks//task_secret_t25 -m $T/db25.snap_dir/db25.meta 2>&1"
assert_line "Error: hxfd out: hxfd: error: backup failed on request (HX_HXFD_FAIL)"
assert_not_contains "MAIN ARCHIVE FILENAME:"
[ -d "$T/db25.snap_dir/leveldb" ] || fail "the closing step ran after a failed archiver run"

case_name "exit 6 when the release fails after a good archiver run"
reset_logs
HX_TEST_FAIL=release run_module -b "$RES" -d "$T" -n db26 -m ms1 -T t26
assert_exit 6
assert_eq "exists|prepare replica=0|release interrupted=0 failed" "$(hooks)" "hooks"
assert_not_contains "MAIN ARCHIVE FILENAME:"

case_name "exit 6 when the listing fails: the archive was written"
reset_logs
HX_HXFD_FAIL=list run_module -b "$RES" -d "$T" -n db27 -m ms1 -T t27 -e file_list:t
assert_exit 6
assert_line "MAIN ARCHIVE FILENAME:$T/db27.snap"
assert_line "Error: bool HxModuleUniversal::close_backup(const bool&): command produced error: /opt/halvex/bin/hxfd -l '$T/db27.snap_dir/db27.meta' -v 1"
assert_line "Error: Command output start: ---------------------------------------------- "
assert_line "Error: hxfd: error: list failed on request (HX_HXFD_FAIL)"
assert_line "Error: Command output end ------------------------------------------------- "
assert_not_contains "FILE LISTING START:"
[ -f "$HX_MEDIA_DIR/db27" ] || fail "no archive"
[ -d "$T/db27.snap_dir" ] || fail "the snapshot directory was removed after a failed listing"

# ---------------------------------------------------------------------------
case_name "values with a blank, a quote and a semicolon stay whole"
TQ="$W/it's a; dir"
mkdir -p "$TQ"
NAME="db 1;x'y"
TASK="t1;touch $W/pwned"
reset_logs
run_module -b "$RES" -d "$TQ" -n "$NAME" -m "ms one" -T "$TASK" --dgst
assert_exit 0
assert_line "Info: $RUN_SIG:hxfd command: $HEAD_CMD -c $(shell_arg "$TQ/$NAME.hxfd.list") $KEYS -z None -M 'ms one' -N $(shell_arg "$NAME") -T $(shell_arg "$TASK") -s $(shell_arg "/opt/halvex/var/tasks//task_secret_$TASK") -m $(shell_arg "$TQ/$NAME.snap_dir/$NAME.meta") -g $(shell_arg "$TQ/$NAME.signature") --passin /opt/halvex/keys/master-key --sign /opt/halvex/keys/secret-key.pem 2>&1"
assert_last_argv "$(argv_text /opt/halvex/bin/hxfd -a sha2 -2 -b 16384 -c "$TQ/$NAME.hxfd.list" -x /opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem -z None -M "ms one" -N "$NAME" -T "$TASK" -s "/opt/halvex/var/tasks//task_secret_$TASK" -m "$TQ/$NAME.snap_dir/$NAME.meta" -g "$TQ/$NAME.signature" --passin /opt/halvex/keys/master-key --sign /opt/halvex/keys/secret-key.pem)"
assert_line "MAIN ARCHIVE FILENAME:$TQ/$NAME.snap"
[ -f "$HX_MEDIA_DIR/$NAME" ] || fail "no archive named '$NAME'"
[ -f "$TQ/$NAME.snap" ] || fail "no snapshot file '$TQ/$NAME.snap'"
[ -f "$TQ/$NAME.signature" ] || fail "no signature file"
[ -e "$W/pwned" ] && fail "a value was run as a command"
cp "$TQ/$NAME.snap" "$W/keep/quoted.snap"

case_name "quoted values in an autonomous incremental backup with restrictions"
printf "/srv/it's; x\n" >"$RESTRICTION_LIST"
reset_logs
run_module -2 -b "$RES" -d "$TQ" -n "$NAME.2" -s "$TQ/$NAME.snap" --autonomous -j -C kuznyechik -k /opt/halvex/keys/master-key
assert_exit 0
assert_last_argv "$(argv_text /opt/halvex/bin/hxfd -a sha2 -2 -b 16384 -c "$TQ/$NAME.2.hxfd.list" -x "/opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem,/srv/it's; x" -S "$TQ/$NAME.snap_dir/$NAME.meta" -z None -n "$TQ/$NAME.2.hxfd" -m "$TQ/$NAME.2.snap_dir/$NAME.2.meta" -X "$RESTRICTION_LIST" -C kuznyechik -k /opt/halvex/keys/master-key)"
[ -f "$TQ/$NAME.2.hxfd" ] || fail "no autonomous archive"
[ -e "$W/pwned" ] && fail "a value was run as a command"
rm -f "$RESTRICTION_LIST"

finish
