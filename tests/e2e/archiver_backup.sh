#!/usr/bin/env bash
# sandbox: bare
# Backups through the real program (test module) and the hxfd stand-in: the
# argv the archiver receives, what is written and removed, the exit codes of the
# backup sequence, local restrictions, and values that need shell quoting.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
source "$HX_SOURCE_DIR/tests/e2e/lib/archiver.sh"

KEYS="-x /opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem"
HEAD="/opt/halvex/bin/hxfd -a sha2 -2 -b 16384"
SECRET=/opt/halvex/var/tasks//task_secret_
RES="$W/res"
make_tree "$RES"
T="$W/T"
mkdir -p "$T"

case_name "full backup through a media server"
reset_logs
run_module -b "$RES" -d "$T" -n db1 -m ms1 -T t1
assert_exit 0
assert_last_argv "$HEAD -c $T/db1.hxfd.list $KEYS -z None -M ms1 -N db1 -T t1 -s ${SECRET}t1 -m $T/db1.snap_dir/db1.meta"
# The archiver runs in "/" with the mask 022.
assert_eq "cwd=/ umask=0022 op=backup" "$(sed -E 's/^pid=[0-9]+ ppid=[0-9]+ //' "$HXFD_CALLS")" "archiver call"
assert_line "MAIN ARCHIVE FILENAME:$T/db1.snap"
assert_line "Transferred: $(stat -c %s "$HX_MEDIA_DIR/db1") bytes to ms1"
assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
# The PID line, the archiver's statistics, the release, then the closing step.
order="$(printf '%s\n' "$RUN_LINES" | grep -oE '^(MODULE PID:|HXFD PID: |Packed: |Info: Test module: release|MAIN ARCHIVE FILENAME:)' | paste -sd'|')"
assert_eq "MODULE PID:|HXFD PID: |Packed: |Info: Test module: release|MAIN ARCHIVE FILENAME:" "$order" "order of lines"
assert_eq "HXFD file list:
   $RES : ${RES#/}" "$(cat "$T/db1.hxfd.list")" "list file"
assert_eq "600" "$(stat -c %a "$T/db1.snap")" "mode of the snapshot file (mask 077 after the run)"
keep_snap db1

case_name "autonomous backup restores to the same tree"
reset_logs
run_module -b "$RES" -d "$T" -n db2 --autonomous
assert_exit 0
assert_last_argv "$HEAD -c $T/db2.hxfd.list $KEYS -z None -n $T/db2.hxfd -m $T/db2.snap_dir/db2.meta"
assert_line "MAIN ARCHIVE FILENAME:$T/db2.hxfd"
mkdir -p "$W/check2"
$HEAD -r "$T/db2.hxfd" -d "$W/check2" >/dev/null
assert_same_tree "$RES" "$W/check2/${RES#/}"

case_name "incremental backup with a reference snapshot file"
printf 'added later\n' >"$RES/added.txt"
reset_logs
run_module -2 -b "$RES" -d "$T" -n db3 -s "$T/db1.snap" -m ms1 -T t3 -p 3 -z 3 -e hxd_block_size:65536,numeric_owner:t
assert_exit 0
assert_last_argv "/opt/halvex/bin/hxfd -a sha2 -2 -b 65536 -c $T/db3.hxfd.list -p 3 $KEYS --numeric-owner -S $T/db1.snap_dir/db1.meta -z optimal -M ms1 -N db3 -T t3 -s ${SECRET}t3 -m $T/db3.snap_dir/db3.meta"
[ -e "$T/db1.snap" ] || [ -e "$T/db1.snap_dir" ] && fail "the reference snapshot file or directory is left"
[ -f "$T/db3.snap" ] || fail "no snapshot file of the incremental backup"

case_name "incremental backup with a meta file given directly"
mkdir -p "$W/metas"
tar xzf "$W/snaps/db1.snap" -C "$W/metas"
reset_logs
run_module -2 -b "$RES" -d "$T" -n db4 -s "$W/metas/db1.meta" -m ms1 -T t4
assert_exit 0
assert_last_argv "$HEAD -c $T/db4.hxfd.list $KEYS -S $W/metas/db1.meta -z None -M ms1 -N db4 -T t4 -s ${SECRET}t4 -m $T/db4.snap_dir/db4.meta"
[ -f "$W/metas/db1.meta" ] || fail "the meta file given directly was removed"
printf '{"format": "something else"}\n' >"$W/metas/bogus.meta"
run_module -2 -b "$RES" -d "$T" -n db4b -s "$W/metas/bogus.meta" -m ms1 -T t4
assert_exit 6
assert_line "Error: hxfd out: hxfd: error: not a meta file of this archiver: $W/metas/bogus.meta"

case_name "file listing of the archive, after the MAIN lines"
reset_logs
run_module -b "$RES" -d "$T" -n db5 -m ms1 -T t5 -e file_list:t
assert_exit 0
assert_last_argv "/opt/halvex/bin/hxfd -l $T/db5.snap_dir/db5.meta -v 1"
listing="$(printf '%s\n' "$RUN_LINES" | sed -n '/^MAIN ARCHIVE SIGN FILENAME:/,$p')"
assert_eq "FILE LISTING START:" "$(printf '%s\n' "$listing" | sed -n 2p)" "listing start"
assert_eq "FILE LISTING END" "$(printf '%s\n' "$listing" | grep -v -e '^Info: ' -e '^$' | tail -n 1)" "listing end"
grep -Eq "^-rw-r----- root/root +11 .* ${RES#/}/a\.txt$" <<<"$listing" || fail "listing lacks a.txt"
grep -Eq " ${RES#/}/sub/with blank\.txt$" <<<"$listing" || fail "listing lacks the name with a blank"

case_name "a replica never lists"
reset_logs
run_module -A "$RES" -d "$T" -n db5r -m ms1 -T t5 -e file_list:t
assert_exit 0
assert_not_contains "FILE LISTING START:"
assert_eq "1" "$(argv_count)" "archiver calls"
assert_eq "exists|prepare replica=1|release interrupted=0" "$(hooks)" "hooks"

case_name "signature, other hash, parallelism 0, best compression, memory threshold"
reset_logs
run_module -b "$RES" -d "$T" -n db6 -m ms1 -T t6 --dgst -p 0 -z 4 -G 64 -e hxd_hash_length:512,hxd_hash_algorithm:gost
assert_exit 0
assert_last_argv "/opt/halvex/bin/hxfd -a gost -5 -b 16384 -c $T/db6.hxfd.list -p 0 $KEYS -z best --memory-threshold 64 -M ms1 -N db6 -T t6 -s ${SECRET}t6 -m $T/db6.snap_dir/db6.meta -g $T/db6.signature --passin /opt/halvex/keys/master-key --sign /opt/halvex/keys/secret-key.pem"
grep -q "^sha256: $(sha256sum "$HX_MEDIA_DIR/db6" | cut -d' ' -f1)$" "$T/db6.signature" 2>/dev/null ||
  fail "the signature file does not sign the archive"
assert_eq "root 644" "$(stat -c '%U %a' "$T/db6.signature")" "owner and mode of the signature file"

case_name "in a sticky -d, what another account put at the signature file's name refuses a backup with --dgst before \
anything is done (exit 4), and is neither used nor removed"
STICKY="$W/sticky"
mkdir -p "$STICKY" && chmod 1777 "$STICKY"
printf 'root only\n' >"$W/root-only" && chmod 600 "$W/root-only"
as_nobody() { (cd / && setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"); }
as_nobody ln -s "$W/root-only" "$STICKY/db6a.hxfd.signature"
as_nobody sh -c "echo planted >'$STICKY/db6b.signature'"
refused=", which another account could have placed; it is neither used nor removed"
reset_logs
run_module -b "$RES" -d "$STICKY" -n db6a --autonomous --dgst
assert_exit 4
assert_line "Error: Backup module: can't use $STICKY/db6a.hxfd.signature: a symbolic link owned by uid \
$(id -u nobody)$refused"
run_module -b "$RES" -d "$STICKY" -n db6b -m ms1 -T t6 --dgst
assert_exit 4
assert_line "Error: Backup module: can't use $STICKY/db6b.signature: a regular file owned by uid $(id -u nobody)$refused"
assert_eq "" "$(hooks)" "hooks"
assert_eq "0" "$(argv_count)" "archiver calls"
assert_eq "root 600 root only|planted" "$(stat -c '%U %a' "$W/root-only") $(cat "$W/root-only")|$(cat \
"$STICKY/db6b.signature")" "the root-only file and the planted one"
[ -L "$STICKY/db6a.hxfd.signature" ] || fail "the planted link was removed"

for key in "$W/no-such-key" ""; do
  case_name "encryption with key file '$key': exit 6 before the archiver, released"
  reset_logs
  run_module -b "$RES" -d "$T" -n db7b -m ms1 -T t7 -C kuznyechik ${key:+-k "$key"}
  assert_exit 6
  assert_line "$([ -n "$key" ] && echo "Error: there is no key file: $key" || echo "Error: you must define key file")"
  assert_eq "0" "$(argv_count)" "archiver calls"
  assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
done

case_name "local restrictions that do not name the resource reach the archiver"
printf '/srv/other\n/srv/b c\n%s\n' "$RES/private" >"$RESTRICTION_LIST"
reset_logs
run_module -b "$RES" -d "$T" -n db8 -m ms1 -T t8 -j -e file_list:t
assert_exit 0
assert_eq "$(argv_text $HEAD -c "$T/db8.hxfd.list" -x "/opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem,/srv/other,/srv/b c,$RES/private" -z None -M ms1 -N db8 -T t8 -s ${SECRET}t8 -m "$T/db8.snap_dir/db8.meta" -X "$RESTRICTION_LIST")" \
  "$(sed -n 1p "$HXFD_ARGV")" "archiver argv"
listing="$(printf '%s\n' "$RUN_LINES" | sed -n '/^FILE LISTING START:$/,/^FILE LISTING END$/p')"
case "$listing" in *"${RES#/}/private"*) fail "a restricted path was archived" ;; esac
case "$listing" in *"${RES#/}/a.txt"*) ;; *) fail "the listing lacks a.txt" ;; esac

printf '/srv/other\n%s\n' "$RES" >"$RESTRICTION_LIST"
mkdir -p "$W/res2"
printf 'two\n' >"$W/res2/two.txt"
printf '[{"path": "%s"}, {"path": "%s"}]\n' "$W/res2" "$RES" >"$W/list.json"
# Restricted resources: MODE ARGS|Error line. Exit 11 before any hook or archiver run.
for row in "-b $RES|Error: Backup module: Unable to backup this resource $RES. Local restriction" \
  "-A $RES|Error: Backup module: Unable to backup this resource $RES due to the local restriction" \
  "-B $W/list.json|Error: bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<char> >&) const: Unable to backup this resource from ResourceList: $RES. Local restriction"; do
  case_name "local restrictions: ${row%%|*}"
  reset_logs
  # shellcheck disable=SC2086
  run_module ${row%%|*} -d "$T" -n db10 -m ms1 -T t10 -j
  assert_exit 11
  assert_line "${row#*|}"
  assert_eq 1 "$(printf '%s\n' "$RUN_LINES" | grep -c 'Unable to backup')" "refusal messages"
  assert_eq "0|" "$(argv_count)|$(hooks)" "archiver calls|hooks"
  [ -e "$T/db10.snap_dir" ] && fail "the refused task left its snapshot directory"
done

case_name "backup of a resource list; -j without a restriction list"
rm -f "$RESTRICTION_LIST"
reset_logs
run_module -B "$W/list.json" -d "$T" -n db13 -m ms1 -T t13 -j
assert_exit 0
assert_eq "HXFD file list:
   $RES : ${RES#/}
   $W/res2 : ${W#/}/res2" "$(cat "$T/db13.hxfd.list")" "list file"
assert_last_argv "$HEAD -c $T/db13.hxfd.list $KEYS, -z None -M ms1 -N db13 -T t13 -s ${SECRET}t13 -m $T/db13.snap_dir/db13.meta"

case_name "exit 4 without a temporary operation directory, 5 without an archive name"
reset_logs
run_module -b "$RES" -n db20 -m ms1 -T t20
assert_exit 4
assert_line "Error: Backup module: you must define tmp_operation_directory directory"
run_module -b "$RES" -d "$T" -m ms1 -T t20
assert_exit 5
assert_line "Error: Backup module: you must define archive name"
assert_eq "" "$(hooks)" "hooks"

case_name "exit 2 when the configuration fails after the lock was taken"
HX_TEST_CONFIG_FAIL=1 run_module -b "$RES" -d "$T" -n db21 -m ms1 -T t21
assert_exit 2
assert_line "Error: Unable to load configuration from config file."
[ -e "$T/db21.snap_dir" ] && fail "task directories made although the configuration failed"
assert_eq "" "$(lock_names)" "lock names left"

case_name "exit 2 when the resource does not exist"
reset_logs
run_module -b "$W/missing" -d "$T" -n db22 -m ms1 -T t22
assert_exit 2
assert_line "Error: Backup module: Unable to backup this resource $W/missing. Resource doesn't exist"
assert_eq "exists" "$(hooks)" "hooks"

case_name "exit 2 when the reference snapshot cannot be unpacked, or it or its meta file is a FIFO (at once: neither is read)"
printf 'garbage' >"$W/broken.snap"
reset_logs
run_module -2 -b "$RES" -d "$T" -n db23 -s "$W/broken.snap" -m ms1 -T t23
assert_exit 2
assert_line "Error: Backup module: Unable to unpack reference snapshot file: $W/broken.snap"
assert_eq "exists" "$(hooks)" "hooks"
mkfifo "$W/fifo.snap"
HX_MODULE_BIN=timeout run_module 20 "$HX_MODULE_BIN" -2 -b "$RES" -d "$T" -n db23 -s "$W/fifo.snap" -m ms1 -T t23
assert_exit 2
assert_line "Error: int HxModuleUniversal::unpack_snapshot_file(const string&): can't use $W/fifo.snap: it is a FIFO, \
not a regular file"
mkdir "$W/fifo_meta" && mkfifo "$W/fifo_meta/db0.meta" && tar czf "$W/fifo_meta.snap" -C "$W/fifo_meta" .
HX_MODULE_BIN=timeout run_module 20 "$HX_MODULE_BIN" -2 -b "$RES" -d "$T" -n db23 -s "$W/fifo_meta.snap" -m ms1 -T t23
assert_exit 2
assert_line "Error: int HxModuleUniversal::unpack_snapshot_file(const string&): Snapshot doesn't contain any metafile!"

case_name "exit 6 when the preparation fails: no archiver, no release"
reset_logs
HX_TEST_FAIL=prepare run_module -b "$RES" -d "$T" -n db24 -m ms1 -T t24
assert_exit 6
assert_eq "exists|prepare replica=0 failed|0" "$(hooks)|$(argv_count)" "hooks|archiver calls"

case_name "exit 6 when the archiver fails: released, not closed"
reset_logs
HX_HXFD_FAIL=backup run_module -b "$RES" -d "$T" -n db25 -m ms1 -T t25
assert_exit 6
assert_eq "exists|prepare replica=0|release interrupted=0" "$(hooks)" "hooks"
assert_line_matches "^Error: bool HxModuleUniversal::make_backup_locally\(\): cd / && /opt/halvex/bin/hxfd .* -N db25 .*"
assert_line "Error: hxfd out: hxfd: error: backup failed on request (HX_HXFD_FAIL)"
assert_not_contains "MAIN ARCHIVE FILENAME:"
[ -e "$T/db25.snap" ] || [ -e "$T/db25.snap_dir" ] && fail "a snapshot file or the failed task's directory is left"

for meta in none empty; do
  case_name "exit 6 when the archiver reports success with meta file: $meta"
  HX_HXFD_META=$meta run_module -b "$RES" -d "$T" -n "db25$meta" -m ms1 -T t25
  assert_exit 6
  assert_line "Error: bool HxModuleUniversal::close_backup(const bool&): the archiver reported success but wrote $([ $meta = none ] && echo no || echo an empty) meta file: $T/db25$meta.snap_dir/db25$meta.meta"
  assert_not_contains "MAIN "
  [ -e "$T/db25$meta.snap" ] || [ -e "$T/db25$meta.snap_dir" ] && fail "a snapshot file or the failed task's directory is left"
done

case_name "exit 6 when the release fails after a good archiver run"
reset_logs
HX_TEST_FAIL=release run_module -b "$RES" -d "$T" -n db26 -m ms1 -T t26
assert_exit 6
assert_eq "exists|prepare replica=0|release interrupted=0 failed" "$(hooks)" "hooks"
assert_not_contains "MAIN ARCHIVE FILENAME:"

case_name "exit 6 when the listing fails although the archive was written"
HX_HXFD_FAIL=list run_module -b "$RES" -d "$T" -n db27 -m ms1 -T t27 -e file_list:t
assert_exit 6
assert_line "MAIN ARCHIVE FILENAME:$T/db27.snap"
assert_line "Error: hxfd: error: list failed on request (HX_HXFD_FAIL)"
assert_not_contains "FILE LISTING START:"
[ -f "$HX_MEDIA_DIR/db27" ] || fail "no archive"
[ -f "$T/db27.snap" ] && [ ! -e "$T/db27.snap_dir" ] || fail "the snapshot file is missing or the snapshot directory is left"

case_name "values with a blank, a quote and a semicolon stay whole"
TQ="$W/it's a; dir"
mkdir -p "$TQ"
NAME="db 1;x'y"
TASK="t1;q'x"
MS="ms one;touch $W/pwned"
reset_logs
run_module -b "$RES" -d "$TQ" -n "$NAME" -m "$MS" -T "$TASK" --dgst
assert_exit 0
assert_last_argv "$(argv_text $HEAD -c "$TQ/$NAME.hxfd.list" $KEYS -z None -M "$MS" -N "$NAME" -T "$TASK" -s "$SECRET$TASK" -m "$TQ/$NAME.snap_dir/$NAME.meta" -g "$TQ/$NAME.signature" --passin /opt/halvex/keys/master-key --sign /opt/halvex/keys/secret-key.pem)"
assert_line "MAIN ARCHIVE FILENAME:$TQ/$NAME.snap"
[ -f "$HX_MEDIA_DIR/$NAME" ] && [ -f "$TQ/$NAME.snap" ] && [ -f "$TQ/$NAME.signature" ] ||
  fail "no archive, snapshot file or signature file named '$NAME'"

case_name "quoted values in an autonomous incremental backup with restrictions"
printf "/srv/it's; x\n" >"$RESTRICTION_LIST"
reset_logs
run_module -2 -b "$RES" -d "$TQ" -n "$NAME.2" -s "$TQ/$NAME.snap" --autonomous -j -C kuznyechik -k /opt/halvex/keys/master-key
assert_exit 0
assert_last_argv "$(argv_text $HEAD -c "$TQ/$NAME.2.hxfd.list" -x "/opt/halvex/keys/master-key,/opt/halvex/keys/secret-key.pem,/srv/it's; x" -S "$TQ/$NAME.snap_dir/$NAME.meta" -z None -n "$TQ/$NAME.2.hxfd" -m "$TQ/$NAME.2.snap_dir/$NAME.2.meta" -X "$RESTRICTION_LIST" -C kuznyechik -k /opt/halvex/keys/master-key)"
[ -f "$TQ/$NAME.2.hxfd" ] || fail "no autonomous archive"
[ -e "$W/pwned" ] && fail "a value was run as a command"
rm -f "$RESTRICTION_LIST"

finish
