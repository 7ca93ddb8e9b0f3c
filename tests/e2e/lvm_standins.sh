#!/usr/bin/env bash
# The honesty of the test bed's LVM stand-ins: a snapshot is the origin's state
# at its making (xfs copies need nouuid like real ones) and a copy-on-write
# clone that costs no copy; its fill level is the space copy-on-write used;
# past its size it turns invalid while mounted and reads fail. Sizes round up
# to extents and the group's free space bounds them; lvremove refuses busy
# volumes; failures, warnings and a missing FSTYPE come on demand with the
# origin always thawed; removal and teardown leave nothing behind.
set -euo pipefail
source "$HX_SOURCE_DIR/tests/e2e/lib/common.sh"
trap 'echo "FAIL [$HX_E2E_CASE]: line $LINENO: $BASH_COMMAND" >&2' ERR
DATA=/dev/mapper/hxvg-data
TS=/dev/mapper/hxvg-ts
COW=/dev/mapper/hxvg-cow
m1="$HX_SANDBOX_DIR/standin-m1"
m2="$HX_SANDBOX_DIR/standin-m2"
cow_mnt="$HX_SANDBOX_DIR/standin-cow"
mkdir -p "$m1" "$m2"

# lvm_run TOOL ARGS...: runs a stand-in; sets RUN_RC, RUN_STDOUT, RUN_STDERR.
lvm_run() {
  "$@" >"$HX_SANDBOX_DIR/run.out" 2>"$HX_SANDBOX_DIR/run.err" </dev/null && RUN_RC=0 || RUN_RC=$?
  RUN_STDOUT="$(cat "$HX_SANDBOX_DIR/run.out")"
  RUN_STDERR="$(cat "$HX_SANDBOX_DIR/run.err")"
}
percent_of() { /sbin/lvs "$1" --nosuffix -o data_percent --noheadings | tr -d ' '; }
# in_range VALUE LOW HIGH: LOW <= VALUE < HIGH (decimals).
in_range() { awk -v v="$1" -v l="$2" -v h="$3" 'BEGIN { exit !(v >= l && v < h) }'; }
free_kib() { echo $(($(stat -f -c '%a * %S' "$HX_LVM_DIR/images") / 1024)); }

case_name "a snapshot holds the origin's state at its making; sizes round up to extents"
echo before >"$HX_VOLUME_DATA_MNT/standin.txt"
echo "xfs before" >"$HX_VOLUME_TS_MNT/standin.txt"
/sbin/lvcreate --size 8M --snapshot --name $DATA.snap $DATA >/dev/null
lvm_run /sbin/lvcreate --size 1M --snapshot --name $TS.snap $TS
assert_eq "0|  Rounding up size to full physical extent 4.00 MiB
  Logical volume \"ts.snap\" created." "$RUN_RC|$RUN_STDOUT"
assert_eq "  4194304" "$(/sbin/lvs $TS.snap --nosuffix --units B -o lv_size --noheadings)"
echo after >"$HX_VOLUME_DATA_MNT/standin.txt"
/bin/mount $DATA.snap "$m1"
/bin/mount $TS.snap "$m2" 2>/dev/null && fail "xfs snapshot mounted without nouuid while its origin is mounted"
/bin/mount -o nouuid $TS.snap "$m2"
assert_eq before "$(cat "$m1/standin.txt")" "file in the ext4 snapshot"
assert_eq "xfs before" "$(cat "$m2/standin.txt")" "file in the xfs snapshot"
assert_eq "$DATA.snap" "$(findmnt -n -o SOURCE "$m1")" "mount source of the snapshot"

case_name "fill levels: forced by variable, full when the changes outgrow the space"
assert_eq "  100.00" "$(HX_LVM_DATA_PERCENT=100.00 /sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings)"
dd if=/dev/urandom of="$HX_VOLUME_TS_MNT/standin-grow.bin" bs=1M count=5 conv=fsync status=none
assert_eq "100.00" "$(percent_of $TS.snap)"
rm -f "$HX_VOLUME_TS_MNT/standin-grow.bin"

case_name "removal detaches and deletes"
image="$(awk -F'\t' -v n="$DATA.snap" '$3 == n {print $4}' "$HX_LVM_DIR/registry")"
[ -f "$image" ] || fail "no image of the snapshot in the registry"
umount -lf "$m1"
umount -lf "$m2"
/sbin/lvremove -y $DATA.snap >/dev/null
/sbin/lvremove -y $TS.snap >/dev/null
[ ! -e "$DATA.snap" ] && [ ! -e "$image" ] || fail "node or image of the removed snapshot still there"
! losetup -a | grep -q "$image" || fail "loop device still attached to $image"

case_name "copy-on-write: no copy at the making; used space is what either side rewrote, not a content diff"
"$HX_TESTBED_DIR/lvm" create-volume hxvg cow 64 ext4 "$cow_mnt"
head -c 40M /dev/urandom >"$cow_mnt/keep.bin"
sync -f "$cow_mnt"
free_before="$(free_kib)"
/sbin/lvcreate --size 13M --snapshot --name $COW.snap $COW >/dev/null
[ $((free_before - $(free_kib))) -lt 8192 ] || fail "the snapshot took $((free_before - $(free_kib))) KiB"
in_range "$(percent_of $COW.snap)" 0 1 || fail "fill level of a new snapshot: $(percent_of $COW.snap)"
# 4 MiB rewritten with the same bytes and 2 MiB new, not synced: 6 of 16 MiB.
dd if="$cow_mnt/keep.bin" of="$cow_mnt/keep.bin" bs=1M count=4 conv=notrunc status=none
head -c 2M /dev/urandom >"$cow_mnt/new.bin"
in_range "$(percent_of $COW.snap)" 37.5 40 || fail "fill level after 6 MiB: $(percent_of $COW.snap)"
# 2 MiB written to the snapshot itself where the origin kept its blocks.
mkdir -p "$m1"
/bin/mount $COW.snap "$m1"
dd if=/dev/urandom of="$m1/keep.bin" bs=1M seek=20 count=2 conv=notrunc,fsync status=none
in_range "$(percent_of $COW.snap)" 50 53 || fail "fill level after 2 MiB more: $(percent_of $COW.snap)"

case_name "a snapshot that fills up turns invalid while mounted: its reads fail"
dd if=/dev/urandom of="$cow_mnt/keep.bin" bs=1M seek=24 count=12 conv=notrunc,fsync status=none
# No LVM tool runs until the mounted snapshot stops reading as before.
for _ in $(seq 600); do
  dd if="$m1/keep.bin" of=/dev/null bs=1M iflag=direct status=none 2>/dev/null || break
  sleep 0.1
done
dd if="$m1/keep.bin" of=/dev/null bs=1M iflag=direct status=none 2>/dev/null &&
  fail "the overflowed snapshot still reads"
assert_eq "  100.00 Swi-Ios---" "$(/sbin/lvs $COW.snap --nosuffix -o data_percent,lv_attr --noheadings)"

case_name "lvremove refuses a mounted or open snapshot and removes nothing"
lvm_run /sbin/lvremove -y $COW.snap
assert_eq "5||  Logical volume hxvg/cow.snap contains a filesystem in use." "$RUN_RC|$RUN_STDOUT|$RUN_STDERR"
umount "$m1"
exec 3<"$COW.snap"
lvm_run /sbin/lvremove -y $COW.snap
exec 3<&-
assert_eq "5||  Logical volume hxvg/cow.snap in use." "$RUN_RC|$RUN_STDOUT|$RUN_STDERR"
[ -b "$COW.snap" ] && /sbin/lvs $COW.snap >/dev/null || fail "the busy snapshot went"
/sbin/lvremove -y $COW.snap >/dev/null

case_name "warnings on standard error on demand, output unchanged"
warning="  WARNING: PV $(findmnt -n -o SOURCE "$HX_LVM_DIR/images") in VG hxvg is using an old PV header, modify the VG to update."
HX_LVM_WARN=lvs lvm_run /sbin/lvs $DATA --nosuffix --units B -o vg_name --noheadings
assert_eq "0|  hxvg|$warning" "$RUN_RC|$RUN_STDOUT|$RUN_STDERR"
echo "lvcreate lvremove,lvscan@--version" >"$HX_LVM_DIR/warn"
lvm_run /sbin/lvcreate --size 4M --snapshot --name $DATA.snap $DATA
assert_eq "0|  Logical volume \"data.snap\" created.|$warning" "$RUN_RC|$RUN_STDOUT|$RUN_STDERR"
lvm_run /sbin/lvscan --version
assert_eq "0|$warning" "$RUN_RC|$RUN_STDERR"
lvm_run /sbin/lvremove -y $DATA.snap
assert_eq "0|  Logical volume \"data.snap\" successfully removed.|$warning" "$RUN_RC|$RUN_STDOUT|$RUN_STDERR"
lvm_run /sbin/lvs $DATA
assert_eq "0|" "$RUN_RC|$RUN_STDERR" "lvs not named by the warn file"
rm -f "$HX_LVM_DIR/warn"

case_name "lsblk without a file-system type on demand"
fstype() { /bin/lsblk -nf $COW | /usr/bin/awk '{print $2}'; }
umount "$cow_mnt"
assert_eq "ext4" "$(fstype)"
assert_eq "" "$(HX_LVM_NO_FSTYPE=1 fstype)"
touch "$HX_LVM_DIR/no_fstype"
assert_eq "" "$(fstype)"
rm "$HX_LVM_DIR/no_fstype"

case_name "failures on demand; the origin is always thawed"
for word in lvcreate copy fsfreeze "lvcreate@hxvg-data"; do
  HX_LVM_FAIL="$word" /sbin/lvcreate --size 1M --snapshot --name $DATA.snap $DATA >/dev/null 2>&1 &&
    fail "HX_LVM_FAIL=$word: lvcreate succeeded"
  /sbin/lvs "$DATA.snap" >/dev/null 2>&1 && fail "HX_LVM_FAIL=$word: snapshot registered"
  ! ls "$HX_LVM_DIR/images" | grep -q data.snap || fail "HX_LVM_FAIL=$word: image left behind"
  timeout 10 bash -c "echo thawed >'$HX_VOLUME_DATA_MNT/standin.txt'" || fail "HX_LVM_FAIL=$word: origin frozen"
done
HX_LVM_FAIL=lvcreate@hxvg-ts /sbin/lvcreate --size 1M --snapshot --name $DATA.snap $DATA >/dev/null
echo "lvremove lvs@data_percent" >"$HX_LVM_DIR/fail"
assert_eq "  lvremove: failure requested by the test bed" "$(/sbin/lvremove -y $DATA.snap 2>&1)"
assert_eq "  lvs: failure requested by the test bed" \
  "$(/sbin/lvs $DATA.snap --nosuffix -o data_percent --noheadings 2>&1)"
/sbin/lvs $DATA.snap >/dev/null
rm -f "$HX_LVM_DIR/fail" "$HX_VOLUME_DATA_MNT/standin.txt" "$HX_VOLUME_TS_MNT/standin.txt"
/sbin/lvremove -y $DATA.snap >/dev/null

case_name "a group's free space bounds volumes and snapshots; teardown leaves nothing"
second="$HX_SANDBOX_DIR/lvm-second"
mkdir -p "$second" "$HX_SANDBOX_DIR/second-snap"
export HX_LVM_DIR="$second"
"$HX_TESTBED_DIR/lvm" create-group hxtest 400
"$HX_TESTBED_DIR/lvm" create-volume hxtest a 64 ext4 "$HX_SANDBOX_DIR/second-a"
"$HX_TESTBED_DIR/lvm" create-volume hxtest b 300 xfs "$HX_SANDBOX_DIR/second-a/b"
# 100 extents, 91 taken. No monitor runs for this group: lvcreate starts one,
# which must not hold the command substitution's pipe open.
created="$(/sbin/lvcreate --size 8M --snapshot --name /dev/mapper/hxtest-a.snap /dev/mapper/hxtest-a)"
assert_eq '  Logical volume "a.snap" created.' "$created"
monitor="$(cat "$second/monitor.pid")"
grep -q monitor "/proc/$monitor/cmdline" || fail "no monitor for the second group"
lvm_run /sbin/lvcreate --size 40M --snapshot --name /dev/mapper/hxtest-b.snap /dev/mapper/hxtest-b
assert_eq '5|  Volume group "hxtest" has insufficient free space (7 extents): 10 required.' "$RUN_RC|$RUN_STDERR"
lvm_run "$HX_TESTBED_DIR/lvm" create-volume hxtest c 32 ext4
assert_eq '5|  Volume group "hxtest" has insufficient free space (7 extents): 8 required.' "$RUN_RC|$RUN_STDERR"
mount /dev/mapper/hxtest-a.snap "$HX_SANDBOX_DIR/second-snap"
assert_eq 3 "$(wc -l <"$second/registry")" "registry lines"
"$HX_TESTBED_DIR/lvm" teardown
export HX_LVM_DIR="$HX_SANDBOX_DIR/lvm"
assert_eq 0 "$(wc -l <"$second/registry")" "registry lines after teardown"
assert_eq "" "$(losetup -a | grep "$second"; grep "$HX_SANDBOX_DIR/second-\|$second" /proc/self/mountinfo;
  ls /dev/mapper | grep hxtest; ls "$second/images"; ls "$second" | grep -v '^images$\|^lock$\|^registry$\|^monitor.log$';
  grep -ls monitor "/proc/$monitor/cmdline")" "loop devices, mounts, nodes, images, monitor left"
/sbin/lvs "$DATA" >/dev/null

finish
