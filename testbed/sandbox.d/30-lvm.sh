# Stand-in LVM of the test bed: one volume group whose volume images lie on a
# reflink-capable XFS scratch file system (a sparse file in the sandbox on a
# loop device, mounted at $HX_LVM_DIR/images), volumes as images on loop
# devices presented as block nodes /dev/mapper/<vg>-<lv> in the sandbox's
# private /dev and mounted through those nodes, so that df names the
# /dev/mapper device. Snapshots are copy-on-write clones that fill up and
# become invalid as LVM's do; a monitor started here watches them.
#
#   volume group hxvg     $HX_LVM_VG_SIZE_MB MiB (default 2560: the two
#                         volumes and twice as much for snapshots), 4 MiB extents
#   /dev/mapper/hxvg-data ext4, $HX_VOLUME_DATA_SIZE_MB MiB (default 512),
#                         mounted at $HX_VOLUME_DATA_MNT
#   /dev/mapper/hxvg-ts   xfs,  320 MiB, mounted at $HX_VOLUME_TS_MNT
#
# The stand-ins /sbin/lvs, lvcreate, lvremove, lvscan and /usr/bin/lsblk
# (testbed/standins/lvm.py) answer from the registry $HX_LVM_DIR/registry;
# testbed/lvm makes further volumes in the group (create-volume VG LV SIZE_MB
# ext4|xfs [MOUNTPOINT]) and removes them. See testbed/standins/lvm.py for
# the behaviour of snapshots and the test controls (HX_LVM_FAIL, HX_LVM_WARN,
# HX_LVM_NO_FSTYPE, HX_LVM_DATA_PERCENT, HX_LVM_SLOW, HX_LVM_BUSY and their
# files in $HX_LVM_DIR); "testbed/lvm release" ends the readers that keep
# volumes busy. The teardown ends the monitor and those readers and unmounts,
# detaches and deletes volumes, snapshots and the scratch file system; what it
# misses, the sandbox's own teardown unmounts and detaches.
#
# Reads:
#   HX_LVM_VG_SIZE_MB     size of the volume group in MiB (e.g. 40960 for a
#                         benchmark with volumes of 10 GiB and more)
#   HX_VOLUME_DATA_SIZE_MB  size of the data volume in MiB (a benchmark's
#                         cluster of several GiB needs a bigger one)
# Exports:
#   HX_LVM_DIR            state of the stand-ins: registry, group, scratch
#                         image, images, control files, monitor.pid and .log
#   HX_LVM_VG             hxvg
#   HX_LVM_SANDBOX_PID    the sandbox's shell: the monitor ends with it
#   HX_VOLUME_DATA_DEV    /dev/mapper/hxvg-data
#   HX_VOLUME_DATA_MNT    its mount point
#   HX_VOLUME_TS_DEV      /dev/mapper/hxvg-ts
#   HX_VOLUME_TS_MNT      its mount point

setup_lvm() {
  local w="$HX_SANDBOX_DIR"
  export HX_LVM_DIR="$w/lvm"
  export HX_LVM_VG=hxvg
  export HX_LVM_SANDBOX_PID=$$
  export HX_VOLUME_DATA_DEV=/dev/mapper/hxvg-data
  export HX_VOLUME_TS_DEV=/dev/mapper/hxvg-ts
  export HX_VOLUME_DATA_MNT="$w/volumes/data"
  export HX_VOLUME_TS_MNT="$w/volumes/ts"
  mkdir -p "$HX_LVM_DIR" "$w/volumes"
  chmod 755 "$w/volumes"

  local tool="$HX_TESTBED_DIR/lvm"
  if ! "$tool" create-group "$HX_LVM_VG" "${HX_LVM_VG_SIZE_MB:-2560}"; then
    sandbox_log "lvm: making the volume group failed"
    return 1
  fi
  # The monitor is this shell's child, so that it is reaped when it ends.
  "$tool" monitor </dev/null >/dev/null 2>>"$HX_LVM_DIR/monitor.log" &
  echo $! >"$HX_LVM_DIR/monitor.pid"

  if ! "$tool" create-volume hxvg data "${HX_VOLUME_DATA_SIZE_MB:-512}" ext4 "$HX_VOLUME_DATA_MNT" ||
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
