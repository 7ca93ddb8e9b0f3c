# Stand-in LVM volumes of the test bed: image files on loop devices, presented
# as block nodes /dev/mapper/<vg>-<lv> in the sandbox's private /dev and
# mounted through those nodes, so that df names the /dev/mapper device.
#
#   /dev/mapper/hxvg-data  ext4, 512 MiB, mounted at $HX_VOLUME_DATA_MNT
#   /dev/mapper/hxvg-ts    xfs,  320 MiB, mounted at $HX_VOLUME_TS_MNT
#
# The stand-ins /sbin/lvs, lvcreate, lvremove, lvscan and /usr/bin/lsblk
# (testbed/standins/lvm.py) answer from the registry $HX_LVM_DIR/registry;
# testbed/lvm makes further volumes (create-volume VG LV SIZE_MB ext4|xfs
# [MOUNTPOINT]) and removes them. See testbed/standins/lvm.py for the test
# controls (HX_LVM_FAIL, HX_LVM_DATA_PERCENT and their files in $HX_LVM_DIR).
#
# Exports:
#   HX_LVM_DIR            state of the stand-ins: registry, images, control files
#   HX_LVM_VG             hxvg
#   HX_VOLUME_DATA_DEV    /dev/mapper/hxvg-data
#   HX_VOLUME_DATA_MNT    its mount point
#   HX_VOLUME_TS_DEV      /dev/mapper/hxvg-ts
#   HX_VOLUME_TS_MNT      its mount point

setup_lvm() {
  local w="$HX_SANDBOX_DIR"
  export HX_LVM_DIR="$w/lvm"
  export HX_LVM_VG=hxvg
  export HX_VOLUME_DATA_DEV=/dev/mapper/hxvg-data
  export HX_VOLUME_TS_DEV=/dev/mapper/hxvg-ts
  export HX_VOLUME_DATA_MNT="$w/volumes/data"
  export HX_VOLUME_TS_MNT="$w/volumes/ts"
  mkdir -p "$HX_LVM_DIR/images" "$w/volumes"
  chmod 755 "$w/volumes"

  local tool="$HX_TESTBED_DIR/lvm"
  if ! "$tool" create-volume hxvg data 512 ext4 "$HX_VOLUME_DATA_MNT" ||
    ! "$tool" create-volume hxvg ts 320 xfs "$HX_VOLUME_TS_MNT"; then
    sandbox_log "lvm: making the stand-in volumes failed"
    return 1
  fi
  local dev
  dev="$(LANG=C df "$HX_VOLUME_DATA_MNT" | grep ^/dev | awk '{print $1}')"
  if [ "$dev" != "$HX_VOLUME_DATA_DEV" ]; then
    sandbox_log "lvm: df names '$dev' for $HX_VOLUME_DATA_MNT, not $HX_VOLUME_DATA_DEV"
    return 1
  fi
}

teardown_lvm() {
  [ -n "${HX_LVM_DIR:-}" ] || return 0
  "$HX_TESTBED_DIR/lvm" teardown
}
