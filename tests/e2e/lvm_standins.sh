#!/usr/bin/env bash
# The honesty of the test bed's LVM stand-ins: a snapshot is a real copy of its
# origin at its making (xfs copies need nouuid like real ones), failures and
# fill levels come on demand with the origin always thawed, and removal and
# teardown leave no node, image, loop device or mount behind.
set -u
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
DATA=/dev/mapper/hxvg-data
TS=/dev/mapper/hxvg-ts
m1="$HX_SANDBOX_DIR/standin-m1"
m2="$HX_SANDBOX_DIR/standin-m2"
mkdir -p "$m1" "$m2"

case_name "a snapshot holds the origin's state at its making"
echo before >"$HX_VOLUME_DATA_MNT/standin.txt"
echo "xfs before" >"$HX_VOLUME_TS_MNT/standin.txt"
/sbin/lvcreate --size 8M --snapshot --name $DATA.snap $DATA >/dev/null || fail "lvcreate of data.snap"
/sbin/lvcreate --size 1M --snapshot --name $TS.snap $TS >/dev/null || fail "lvcreate of ts.snap"
echo after >"$HX_VOLUME_DATA_MNT/standin.txt"
/bin/mount $DATA.snap "$m1" || fail "mount of the ext4 snapshot"
/bin/mount $TS.snap "$m2" 2>/dev/null && fail "xfs snapshot mounted without nouuid while its origin is mounted"
/bin/mount -o nouuid $TS.snap "$m2" || fail "mount -o nouuid of the xfs snapshot"
assert_eq before "$(cat "$m1/standin.txt")" "file in the ext4 snapshot"
assert_eq "xfs before" "$(cat "$m2/standin.txt")" "file in the xfs snapshot"
assert_eq "$DATA.snap" "$(findmnt -n -o SOURCE "$m1")" "mount source of the snapshot"

case_name "fill levels: forced by variable, full when the changes outgrow the space"
assert_eq "  100.00" "$(HX_LVM_DATA_PERCENT=100.00 /sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings)"
dd if=/dev/urandom of="$HX_VOLUME_TS_MNT/standin-grow.bin" bs=1M count=4 conv=fsync status=none
assert_eq "  100.00" "$(/sbin/lvs $TS.snap --nosuffix -o data_percent --noheadings)"
rm -f "$HX_VOLUME_TS_MNT/standin-grow.bin"

case_name "removal detaches and deletes"
image="$(awk -F'\t' -v n="$DATA.snap" '$3 == n {print $4}' "$HX_LVM_DIR/registry")"
[ -f "$image" ] || fail "no image of the snapshot in the registry"
umount -lf "$m1"
umount -lf "$m2"
/sbin/lvremove -y $DATA.snap >/dev/null && /sbin/lvremove -y $TS.snap >/dev/null || fail "lvremove"
[ ! -e "$DATA.snap" ] && [ ! -e "$image" ] || fail "node or image of the removed snapshot still there"
losetup -a | grep -q "$image" && fail "loop device still attached to $image"

case_name "failures on demand; the origin is always thawed"
for word in lvcreate copy fsfreeze "lvcreate@hxvg-data"; do
  HX_LVM_FAIL="$word" /sbin/lvcreate --size 1M --snapshot --name $DATA.snap $DATA >/dev/null 2>&1 &&
    fail "HX_LVM_FAIL=$word: lvcreate succeeded"
  /sbin/lvs "$DATA.snap" >/dev/null 2>&1 && fail "HX_LVM_FAIL=$word: snapshot registered"
  ls "$HX_LVM_DIR/images" | grep -q data.snap && fail "HX_LVM_FAIL=$word: image left behind"
  timeout 10 bash -c "echo thawed >'$HX_VOLUME_DATA_MNT/standin.txt'" || fail "HX_LVM_FAIL=$word: origin frozen"
done
HX_LVM_FAIL=lvcreate@hxvg-ts /sbin/lvcreate --size 1M --snapshot --name $DATA.snap $DATA >/dev/null ||
  fail "a failure for another volume struck"
echo "lvremove lvs@data_percent" >"$HX_LVM_DIR/fail"
assert_eq "  lvremove: failure requested by the test bed" "$(/sbin/lvremove -y $DATA.snap 2>&1)"
assert_eq "  lvs: failure requested by the test bed" \
  "$(/sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings 2>&1)"
/sbin/lvs $DATA.snap >/dev/null || fail "lvs without the named argument failed"
rm -f "$HX_LVM_DIR/fail" "$HX_VOLUME_DATA_MNT/standin.txt" "$HX_VOLUME_TS_MNT/standin.txt"
/sbin/lvremove -y $DATA.snap >/dev/null || fail "lvremove after the failure file is gone"

case_name "teardown unmounts and detaches volumes and snapshots"
second="$HX_SANDBOX_DIR/lvm-second"
mkdir -p "$second" "$HX_SANDBOX_DIR/second-snap"
(
  export HX_LVM_DIR="$second"
  "$HX_TESTBED_DIR/lvm" create-volume hxtest a 64 ext4 "$HX_SANDBOX_DIR/second-a" &&
    "$HX_TESTBED_DIR/lvm" create-volume hxtest b 300 xfs "$HX_SANDBOX_DIR/second-a/b" &&
    /sbin/lvcreate --size 8M --snapshot --name /dev/mapper/hxtest-a.snap /dev/mapper/hxtest-a >/dev/null &&
    mount /dev/mapper/hxtest-a.snap "$HX_SANDBOX_DIR/second-snap" && [ "$(wc -l <"$second/registry")" = 3 ]
) || fail "setting up the second registry failed"
HX_LVM_DIR="$second" "$HX_TESTBED_DIR/lvm" teardown || fail "teardown failed"
assert_eq 0 "$(wc -l <"$second/registry")" "registry lines after teardown"
assert_eq "" "$(losetup -a | grep "$second"; grep "$HX_SANDBOX_DIR/second-" /proc/self/mountinfo;
  ls /dev/mapper | grep hxtest; ls "$second/images")" "loop devices, mounts, nodes and images left"
/sbin/lvs "$DATA" >/dev/null || fail "the test bed's data volume went with the teardown"

finish
