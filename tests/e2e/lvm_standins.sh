#!/usr/bin/env bash
# The test bed's stand-in LVM volumes and tools: the volumes under
# /dev/mapper as df names them, the command forms of lvs, lvcreate, lvremove,
# lvscan and lsblk that the module runs, crash-consistent snapshots (the
# origin is thawed even when the copy fails), failures and fill levels on
# demand, the argv log, and a teardown that leaves no loop device behind.
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"

DATA=/dev/mapper/hxvg-data
TS=/dev/mapper/hxvg-ts
LVM_LOG="$HX_STANDIN_LOG_DIR/lvm.argv"

# run_cmd CMD...: runs a shell command line; RUN_RC, RUN_OUT (stdout+stderr).
run_cmd() {
  RUN_OUT="$(bash -c "$*" 2>&1)"
  RUN_RC=$?
}

expect() {  # expect RC OUTPUT
  assert_eq "$1" "$RUN_RC" "exit code" || true
  assert_eq "$2" "$RUN_OUT" "output" || true
}

case_name "volumes are mounted through their /dev/mapper nodes"
assert_eq "$DATA" "$(LANG=C df "$HX_VOLUME_DATA_MNT" | grep ^/dev | awk '{print $1}')" "df device of data"
assert_eq "$TS" "$(LANG=C df "$HX_VOLUME_TS_MNT" | grep ^/dev | awk '{print $1}')" "df device of ts"
assert_eq "$DATA" "$(LANG=C df "$HX_PG_DATA" | grep ^/dev | awk '{print $1}')" "df device of the data directory"
assert_eq "$TS" "$(LANG=C df "$HX_PG_TBLSPC" | grep ^/dev | awk '{print $1}')" "df device of the tablespace"
[ -b "$DATA" ] || fail "$DATA is not a block node"
assert_eq ext4 "$(findmnt -n -o FSTYPE "$HX_VOLUME_DATA_MNT")" "data file system"
assert_eq xfs "$(findmnt -n -o FSTYPE "$HX_VOLUME_TS_MNT")" "ts file system"

case_name "lvs: volume group, size, exists form"
run_cmd "LANG=C /sbin/lvs $DATA --nosuffix --units B -o vg_name --noheadings"
expect 0 "  hxvg"
run_cmd "LANG=C /sbin/lvs $TS --nosuffix --units B -o vg_name --noheadings"
expect 0 "  hxvg"
run_cmd "LANG=C /sbin/lvs $DATA --nosuffix --units B -o lv_size --noheadings"
expect 0 "  536870912"
run_cmd "LANG=C /sbin/lvs $TS --nosuffix --units B -o lv_size --noheadings"
expect 0 "  335544320"
run_cmd "LANG=C /sbin/lvs $DATA.snap"
expect 5 '  Failed to find logical volume "hxvg/data.snap"'
run_cmd "LANG=C /sbin/lvs /dev/mapper/othervg-x --nosuffix --units B -o vg_name --noheadings"
expect 5 '  Volume group "othervg" not found
  Cannot process volume group othervg'
run_cmd "LANG=C /sbin/lvs /dev/null --nosuffix --units B -o vg_name --noheadings"
expect 3 '  "/dev/null": Invalid path for Logical Volume.'

case_name "lvscan --version as the check reads it"
run_cmd "LANG=C /sbin/lvscan --version | /usr/bin/awk 'NR==1 {print \$3}' 2>/dev/null"
expect 0 "2.03.16(2)"

case_name "lvcreate: a snapshot holds the origin's state at its making"
echo "before" >"$HX_VOLUME_DATA_MNT/standin-before.txt"
echo "xfs before" >"$HX_VOLUME_TS_MNT/standin-before.txt"
start_line=$(($(wc -l <"$LVM_LOG") + 1))
run_cmd "LANG=C /sbin/lvcreate --size 53687296B --snapshot --name $DATA.snap $DATA"
expect 0 '  Logical volume "data.snap" created.'
run_cmd "LANG=C /sbin/lvcreate --size 1M --snapshot --name $TS.snap $TS"
expect 0 '  Logical volume "ts.snap" created.'
echo "after" >"$HX_VOLUME_DATA_MNT/standin-before.txt"
run_cmd "LANG=C /sbin/lvs $DATA.snap"
assert_eq 0 "$RUN_RC" "exists form of a snapshot"
run_cmd "LANG=C /sbin/lvs $DATA.snap --nosuffix --units B -o lv_size --noheadings"
expect 0 "  53687296"
run_cmd "LANG=C /sbin/lvcreate --size 1M --snapshot --name $DATA.snap $DATA"
expect 5 '  Logical Volume "data.snap" already exists in volume group "hxvg"'
run_cmd "/bin/lsblk -nf $DATA.snap | /usr/bin/awk '{print \$2}'"
expect 0 "ext4"
run_cmd "/bin/lsblk -nf $TS.snap | /usr/bin/awk '{print \$2}'"
expect 0 "xfs"
run_cmd "/bin/lsblk -nf $TS | /usr/bin/awk '{print \$2}'"
expect 0 "xfs"
m1="$HX_SANDBOX_DIR/standin-m1"
m2="$HX_SANDBOX_DIR/standin-m2"
mkdir -p "$m1" "$m2"
run_cmd "/bin/mount  $DATA.snap $m1"
assert_eq 0 "$RUN_RC" "mount of the ext4 snapshot ($RUN_OUT)"
run_cmd "/bin/mount  $TS.snap $m2"
[ "$RUN_RC" != 0 ] || fail "xfs snapshot mounted without nouuid while its origin is mounted"
run_cmd "/bin/mount -o nouuid $TS.snap $m2"
assert_eq 0 "$RUN_RC" "mount -o nouuid of the xfs snapshot ($RUN_OUT)"
assert_eq "before" "$(cat "$m1/standin-before.txt")" "file in the ext4 snapshot"
assert_eq "xfs before" "$(cat "$m2/standin-before.txt")" "file in the xfs snapshot"
assert_eq "after" "$(cat "$HX_VOLUME_DATA_MNT/standin-before.txt")" "file in the origin"
assert_eq "$DATA.snap" "$(findmnt -n -o SOURCE "$m1")" "mount source of the snapshot"

case_name "data_percent: computed, forced by variable and by files"
run_cmd "LANG=C /sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings"
assert_eq 0 "$RUN_RC" "exit code"
[[ "$RUN_OUT" =~ ^\ \ [0-9]+\.[0-9]{2}$ ]] || fail "computed fill level: '$RUN_OUT'"
dd if=/dev/urandom of="$HX_VOLUME_DATA_MNT/standin-grow.bin" bs=1M count=26 conv=fsync status=none
run_cmd "LANG=C /sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings"
level="${RUN_OUT// /}"
awk -v l="$level" 'BEGIN { exit !(l >= 50 && l <= 100) }' || fail "fill level after 26 MiB of 51.2 MiB: $level"
run_cmd "HX_LVM_DATA_PERCENT=100.00 /sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings"
expect 0 "  100.00"
echo 42.50 >"$HX_LVM_DIR/data_percent"
echo 99.99 >"$HX_LVM_DIR/data_percent.ts.snap"
run_cmd "/sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings"
expect 0 "  42.50"
run_cmd "/sbin/lvs $TS.snap --nosuffix -o data_percent --noheadings"
expect 0 "  99.99"
rm -f "$HX_LVM_DIR/data_percent" "$HX_LVM_DIR/data_percent.ts.snap"
# A snapshot whose changes outgrow its space reads as full.
dd if=/dev/urandom of="$HX_VOLUME_TS_MNT/standin-grow.bin" bs=1M count=4 conv=fsync status=none
run_cmd "/sbin/lvs $TS.snap --nosuffix -o data_percent --noheadings"
expect 0 "  100.00"
rm -f "$HX_VOLUME_DATA_MNT/standin-grow.bin" "$HX_VOLUME_TS_MNT/standin-grow.bin"

case_name "lvremove: refused while mounted, then detaches and deletes"
run_cmd "LANG=C /sbin/lvremove -y $DATA.snap"
expect 5 "  Logical volume hxvg/data.snap contains a filesystem in use."
image="$(awk -F'\t' -v n="$DATA.snap" '$3 == n {print $4}' "$HX_LVM_DIR/registry")"
loop="$(awk -F'\t' -v n="$DATA.snap" '$3 == n {print $5}' "$HX_LVM_DIR/registry")"
[ -f "$image" ] || fail "no image of the snapshot in the registry"
LANG=C /bin/umount -lf "$m1"
LANG=C /bin/umount -lf "$m2"
run_cmd "LANG=C /sbin/lvremove -y $DATA.snap"
expect 0 '  Logical volume "data.snap" successfully removed.'
run_cmd "LANG=C /sbin/lvremove -y $TS.snap"
expect 0 '  Logical volume "ts.snap" successfully removed.'
[ ! -e "$DATA.snap" ] || fail "node of the removed snapshot is still there"
[ ! -e "$image" ] || fail "image of the removed snapshot is still there"
losetup -a | grep -q "$image" && fail "loop device $loop still attached to $image"
run_cmd "LANG=C /sbin/lvremove -y $DATA.snap"
expect 5 '  Failed to find logical volume "hxvg/data.snap"'

case_name "argv log"
tail -n +"$start_line" "$LVM_LOG" | head -4 >"$HX_SANDBOX_DIR/argv.head"
assert_eq "/sbin/lvcreate --size 53687296B --snapshot --name $DATA.snap $DATA
/sbin/lvcreate --size 1M --snapshot --name $TS.snap $TS
/sbin/lvs $DATA.snap
/sbin/lvs $DATA.snap --nosuffix --units B -o lv_size --noheadings" "$(cat "$HX_SANDBOX_DIR/argv.head")" "first lines"
grep -Fxq "/bin/lsblk -nf $TS.snap" "$HX_STANDIN_LOG_DIR/lsblk.argv" || fail "lsblk call not logged"

case_name "failures on demand; the origin is always thawed"
for word in lvcreate copy fsfreeze "lvcreate@hxvg-data"; do
  run_cmd "HX_LVM_FAIL='$word' /sbin/lvcreate --size 1M --snapshot --name $DATA.snap $DATA"
  [ "$RUN_RC" != 0 ] || fail "HX_LVM_FAIL=$word: lvcreate succeeded"
  /sbin/lvs "$DATA.snap" >/dev/null 2>&1 && fail "HX_LVM_FAIL=$word: snapshot registered"
  ls "$HX_LVM_DIR/images" | grep -q data.snap && fail "HX_LVM_FAIL=$word: image left behind"
  timeout 10 bash -c "echo thawed >'$HX_VOLUME_DATA_MNT/standin-thaw.txt'" || fail "HX_LVM_FAIL=$word: origin frozen"
done
run_cmd "HX_LVM_FAIL='lvcreate@hxvg-ts' /sbin/lvcreate --size 1M --snapshot --name $DATA.snap $DATA"
expect 0 '  Logical volume "data.snap" created.'
echo "lvremove lvs@data_percent" >"$HX_LVM_DIR/fail"
run_cmd "/sbin/lvremove -y $DATA.snap"
expect 5 "  lvremove: failure requested by the test bed"
run_cmd "/sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings"
expect 5 "  lvs: failure requested by the test bed"
run_cmd "/sbin/lvs $DATA.snap"
assert_eq 0 "$RUN_RC" "lvs without the named argument still works"
rm -f "$HX_LVM_DIR/fail"
run_cmd "/sbin/lvremove -y $DATA.snap"
assert_eq 0 "$RUN_RC" "lvremove after the failure file is gone"
rm -f "$HX_VOLUME_DATA_MNT/standin-thaw.txt" "$HX_VOLUME_DATA_MNT/standin-before.txt" \
  "$HX_VOLUME_TS_MNT/standin-before.txt"

case_name "teardown unmounts and detaches volumes and snapshots"
second="$HX_SANDBOX_DIR/lvm-second"
mkdir -p "$second"
(
  export HX_LVM_DIR="$second"
  "$HX_TESTBED_DIR/lvm" create-volume hxtest a 64 ext4 "$HX_SANDBOX_DIR/second-a" &&
    "$HX_TESTBED_DIR/lvm" create-volume hxtest b 300 xfs "$HX_SANDBOX_DIR/second-a/b" &&
    /sbin/lvcreate --size 8M --snapshot --name /dev/mapper/hxtest-a.snap /dev/mapper/hxtest-a >/dev/null &&
    mkdir -p "$HX_SANDBOX_DIR/second-snap" &&
    mount /dev/mapper/hxtest-a.snap "$HX_SANDBOX_DIR/second-snap"
) || fail "setting up the second registry failed"
assert_eq 3 "$(wc -l <"$second/registry")" "registry lines"
HX_LVM_DIR="$second" "$HX_TESTBED_DIR/lvm" teardown || fail "teardown failed"
assert_eq 0 "$(wc -l <"$second/registry")" "registry lines after teardown"
losetup -a | grep -q "$second" && fail "loop devices left: $(losetup -a | grep "$second")"
grep -q "$HX_SANDBOX_DIR/second-" /proc/self/mountinfo && fail "mounts left behind"
ls /dev/mapper | grep -q hxtest && fail "nodes left: $(ls /dev/mapper)"
[ -z "$(ls "$second/images")" ] || fail "images left: $(ls "$second/images")"
# The test bed's own volumes are untouched.
/sbin/lvs "$DATA" >/dev/null || fail "the data volume went with the teardown"

finish
