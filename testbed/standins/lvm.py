#!/usr/bin/python3
"""Stand-ins for the LVM tools (lvs, lvcreate, lvremove, lvscan), for lsblk,
and the test bed's own volume tool (testbed/lvm), in one program that acts by
the name it is called under.

Volume group. $HX_LVM_DIR holds one volume group (testbed/lvm create-group VG
SIZE_MB): a size in 4 MiB extents, and a scratch XFS file system made with
reflink=1 in the sparse file scratch.img, loop-mounted (with discard) at
$HX_LVM_DIR/images, where every volume image lies. Every size (create-volume,
lvcreate --size) is rounded up to whole extents, and the registry and lvs
report the rounded size; lvcreate says so ("Rounding up size to full physical
extent ...") and, like create-volume, refuses what the group's free extents
cannot hold:
    Volume group "hxvg" has insufficient free space (N extents): M required.
(exit status 5).

Logical volumes are image files on loop devices, presented as block nodes
/dev/mapper/<vg>-<lv> (same major:minor as the loop device). Their state is
the registry file $HX_LVM_DIR/registry, one volume a line, tab-separated:

    vg  lv  node  image  loop  origin  size  state

origin is the node of the origin volume for a snapshot and "-" otherwise;
size is the volume's size in bytes (for a snapshot: its copy-on-write space);
state is "invalid" for a snapshot that overflowed and "-" otherwise.

Snapshots behave as LVM's:
  - Crash-consistent and copy-on-write: the origin's file system is frozen
    (fsfreeze -f on its mount point), its image cloned with
    cp --reflink=always (no data is copied, so a snapshot costs the same
    whatever the volume's size; no reflink is a clear failure), the file
    system thawed (always, also after a failure), and the clone attached to
    a new loop device under the snapshot's node.
  - The fill level (lvs -o data_percent) is the copy-on-write space used:
    the bytes where the snapshot image and the origin image no longer map
    to the same extents (FIEMAP of both: blocks the origin wrote since the
    snapshot, blocks written to the snapshot itself), in percent of the
    snapshot's size, "%.2f", never 0.00 when something is used nor 100.00
    before it is full. lvs first flushes the file systems mounted from
    origin and snapshot and the images.
  - A snapshot whose used space reaches its size becomes invalid: lvs
    reports 100.00 and lv_attr "Swi-I-s---" ("Swi-Ios---" while open), and
    the image is emptied and its loop device shrunk to nothing, so every
    read of the mounted snapshot fails with an I/O error. A monitor
    (testbed/lvm monitor; one per volume group, started by the sandbox, or
    by lvcreate when none runs) measures every snapshot twice a second, so
    an overflow strikes while the snapshot is being read, not only when a
    tool looks. Its standard streams are not the caller's; it ends with
    the sandbox (whose shell's pid is $HX_LVM_SANDBOX_PID) or the group.
  - lvremove refuses a volume whose device is mounted ("Logical volume
    VG/LV contains a filesystem in use.") or otherwise open ("Logical
    volume VG/LV in use."), exit 5, and removes nothing then.

Test controls (environment variable or file in $HX_LVM_DIR):
    HX_LVM_FAIL / fail          words "TOOL" or "TOOL@TEXT" (blank- or
                                comma-separated): TOOL (lvs, lvcreate,
                                lvremove, lvscan, lsblk, fsfreeze, copy)
                                fails, with "@TEXT" only when one of its
                                arguments contains TEXT. fsfreeze and copy
                                make the freeze or the image clone of
                                lvcreate fail (the origin is thawed all the
                                same).
    HX_LVM_WARN / warn          words as for HX_LVM_FAIL for lvs, lvcreate,
                                lvremove, lvscan: the tool prints a warning
                                line on standard error, as real hosts do
                                ("  WARNING: PV ... is using an old PV
                                header, modify the VG to update."), and
                                otherwise works as usual.
    HX_LVM_NO_FSTYPE / no_fstype
                                set (not "0") or present: lsblk prints empty
                                FSTYPE, FSVER, LABEL and UUID columns, as on
                                a host without udev.
    HX_LVM_STALE_FSTYPE / stale_fstype
                                words "TYPE@TEXT": lsblk prints FSTYPE TYPE
                                for a device whose path contains TEXT, as a
                                stale udev database does after a volume was
                                reformatted.
    HX_LVM_DATA_PERCENT / data_percent.<lv> / data_percent
                                the fill level that "lvs -o data_percent"
                                reports for a snapshot (e.g. 100.00),
                                instead of the measured one; it invalidates
                                nothing.
    HX_LVM_SLOW / slow          words "TOOL:SECONDS" or "TOOL@TEXT:SECONDS":
                                TOOL (lvs, lvcreate, lvremove, lvscan, lsblk)
                                waits SECONDS after logging its argv and
                                before it does anything (with "@TEXT" only
                                when one of its arguments contains TEXT), so
                                a test can act at a known point of a task.
                                "TOOL:PATH" or "TOOL@TEXT:PATH" (an absolute
                                path) waits until PATH exists instead (at
                                most 60 seconds).
    HX_LVM_BUSY / busy          words "TEXT:SECONDS" or "TEXT": the first
                                lvremove of a volume whose node contains TEXT
                                starts a reader that keeps the volume's
                                device open for SECONDS, or for good (until
                                "testbed/lvm release" or the teardown), as a
                                udev rule or a short-lived reader does on
                                real hosts; lvremove refuses the volume while
                                it is open ("in use"). One reader per volume:
                                the volume's marker busy-<lv> in $HX_LVM_DIR
                                (the reader's pid) stays until the volume is
                                removed.
Every call of an LVM tool appends its argv as one line (shell-quoted where
needed) to $HX_STANDIN_LOG_DIR/lvm.argv; lsblk to lsblk.argv.
"""

import ctypes
import errno
import fcntl
import os
import re
import shlex
import signal
import stat
import struct
import subprocess
import sys
import time

EXTENT = 4 << 20
FIELDS = ("vg", "lv", "node", "image", "loop", "origin", "size", "state")
MONITOR_INTERVAL = 0.5

FS_IOC_FIEMAP = 0xC020660B
FIEMAP_FLAG_SYNC = 0x1
FIEMAP_EXTENT_LAST = 0x1
FIEMAP_EXTENT_UNWRITTEN = 0x800
FIEMAP_EXTENT_NO_ADDRESS = 0x2 | 0x4 | 0x8 | 0x100 | 0x200 | 0x400  # unknown, delalloc, encoded, unaligned, inline
LOOP_SET_CAPACITY = 0x4C07
BLKFLSBUF = 0x1261


class Failure(Exception):
    """A refusal: message for standard error and the exit status."""

    def __init__(self, message, status=5):
        super().__init__(message)
        self.status = status


# ---- State ---------------------------------------------------------------------------------

def state_dir():
    d = os.environ.get("HX_LVM_DIR", "")
    if not d:
        raise Failure("  hxlvm: HX_LVM_DIR is not set (run inside testbed/sandbox)", 3)
    return d


def extents(size):
    return -(-size // EXTENT)


class Registry:
    """The registry file and the volume group, under an exclusive lock until
    close() (or the end of the call)."""

    def __init__(self):
        self.dir = state_dir()
        self.path = os.path.join(self.dir, "registry")
        self.lock = open(os.path.join(self.dir, "lock"), "a")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        self.volumes = []
        if os.path.exists(self.path):
            with open(self.path) as f:
                for line in f:
                    parts = line.rstrip("\n").split("\t")
                    if len(parts) == len(FIELDS):
                        v = dict(zip(FIELDS, parts))
                        v["size"] = int(v["size"])
                        self.volumes.append(v)
        self.group = None
        group_path = os.path.join(self.dir, "group")
        if os.path.exists(group_path):
            with open(group_path) as f:
                name, size = f.read().split()
                self.group = {"vg": name, "extents": int(size) // EXTENT}

    def close(self):
        self.lock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def save(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            for v in self.volumes:
                f.write("\t".join(str(v[k]) for k in FIELDS) + "\n")
        os.replace(tmp, self.path)

    def find(self, name):
        """A volume by node path, /dev/<vg>/<lv> or <vg>/<lv>."""
        for v in self.volumes:
            if name in (v["node"], "/dev/%s/%s" % (v["vg"], v["lv"]), "%s/%s" % (v["vg"], v["lv"])):
                return v
        return None

    def snapshots_of(self, v):
        return [s for s in self.volumes if s["origin"] == v["node"]]

    def claim(self, vg, size):
        """Checks that the group vg can hold size more bytes; returns the
        size rounded up to whole extents."""
        if self.group is None or self.group["vg"] != vg:
            raise Failure('  Volume group "%s" not found\n  Cannot process volume group %s' % (vg, vg))
        free = self.group["extents"] - sum(extents(v["size"]) for v in self.volumes)
        if extents(size) > free:
            raise Failure('  Volume group "%s" has insufficient free space (%d extents): %d required.'
                          % (vg, free, extents(size)))
        return extents(size) * EXTENT


def mounts_of(node):
    """Mount points whose source is node, deepest first."""
    points = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            parts = line.split()
            sep = parts.index("-")
            source = parts[sep + 2]
            if source == node:
                points.append(parts[4].replace("\\040", " "))
    return sorted(points, key=len, reverse=True)


def device_open_elsewhere(path):
    """Whether a block device is held by a file system (also a lazily
    unmounted one) or open in any process."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_EXCL)
        os.close(fd)
    except OSError as e:
        if e.errno == errno.EBUSY:
            return True
        if e.errno == errno.ENOENT:
            return False
        raise
    rdev = os.stat(path).st_rdev
    me = str(os.getpid())
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or pid == me:
            continue
        try:
            fds = os.listdir("/proc/%s/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                st = os.stat("/proc/%s/fd/%s" % (pid, fd))
            except OSError:
                continue
            if stat.S_ISBLK(st.st_mode) and st.st_rdev == rdev:
                return True
    return False


def use_of(v):
    """"mounted", "open" or "" for a volume's device."""
    if mounts_of(v["node"]) or mounts_of(v["loop"]):
        return "mounted"
    return "open" if device_open_elsewhere(v["loop"]) else ""


def run(args, check=True):
    p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if check and p.returncode != 0:
        raise Failure("  %s failed: %s" % (" ".join(args), p.stdout.strip()))
    return p


def attach(image, node):
    """Attaches image to a free loop device and gives it the node; returns the loop device."""
    loop = run(["losetup", "-f", "--show", image]).stdout.strip()
    try:
        rdev = os.stat(loop).st_rdev
        if os.path.lexists(node):
            os.unlink(node)
        os.mknod(node, 0o660 | stat.S_IFBLK, rdev)
    except Exception:
        run(["losetup", "-d", loop], check=False)
        raise
    return loop


def detach(v):
    run(["losetup", "-d", v["loop"]], check=False)
    for path in (v["node"], v["image"]):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


# ---- Test controls -------------------------------------------------------------------------

def control_text(env, filename):
    text = os.environ.get(env, "")
    d = os.environ.get("HX_LVM_DIR", "")
    if d and os.path.exists(os.path.join(d, filename)):
        with open(os.path.join(d, filename)) as f:
            text += " " + (f.read() or "1")
    return text


def requested(env, filename, tool, args):
    """Whether the control's words ("TOOL" or "TOOL@TEXT") name this call."""
    for word in re.split(r"[\s,]+", control_text(env, filename)):
        name, _, text = word.partition("@")
        if name == tool and (not text or any(text in a for a in args)):
            return True
    return False


def fail_requested(tool, args):
    return requested("HX_LVM_FAIL", "fail", tool, args)


def check_fail(tool, args):
    if fail_requested(tool, args):
        raise Failure("  %s: failure requested by the test bed" % tool, 5)


def warn_if_requested(tool, args):
    if not requested("HX_LVM_WARN", "warn", tool, args):
        return
    vg, pv = "hxvg", "/dev/vdb"
    try:
        with open(os.path.join(state_dir(), "group")) as f:
            vg = f.read().split()[0]
        pv = source_of(os.path.join(state_dir(), "images")) or pv
    except (OSError, IndexError, Failure):
        pass
    sys.stderr.write("  WARNING: PV %s in VG %s is using an old PV header, modify the VG to update.\n" % (pv, vg))


def slow_if_requested(tool, args):
    for word in re.split(r"[\s,]+", control_text("HX_LVM_SLOW", "slow")):
        m = re.fullmatch(r"([^@:]+)(?:@(.+))?:(\d+(?:\.\d+)?|/.+)", word)
        if m and m.group(1) == tool and (not m.group(2) or any(m.group(2) in a for a in args)):
            if m.group(3).startswith("/"):
                deadline = time.monotonic() + 60
                while not os.path.exists(m.group(3)) and time.monotonic() < deadline:
                    time.sleep(0.05)
            else:
                time.sleep(float(m.group(3)))
            return


def busy_seconds(node):
    """None when no word of the busy control names node; else the seconds
    its reader holds it ("forever" for good)."""
    for word in re.split(r"[\s,]+", control_text("HX_LVM_BUSY", "busy")):
        if not word:
            continue
        m = re.fullmatch(r"(.+):(\d+(?:\.\d+)?)", word)
        text, seconds = (m.group(1), m.group(2)) if m else (word, "forever")
        if text in node:
            return seconds
    return None


def busy_marker(d, v):
    return os.path.join(d, "busy-%s" % v["lv"])


def start_reader(d, v, seconds):
    """Starts the reader that holds v's device open and waits until it does."""
    marker = busy_marker(d, v)
    subprocess.Popen([sys.executable, os.path.realpath(__file__), "hold", v["node"], marker, seconds], cwd="/",
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     start_new_session=True, env=dict(os.environ, HX_LVM_TOOL="lvm"))
    for _ in range(100):
        if os.path.exists(marker):
            return
        time.sleep(0.05)
    raise Failure("  lvremove: the test bed's reader of %s did not start" % v["node"])


def admin_hold(args):
    """hold NODE MARKER SECONDS|forever: keeps NODE open, its pid in MARKER,
    until the time is up, MARKER names another process (released), or the
    sandbox is gone."""
    if len(args) != 3:
        return admin_usage()
    node, marker, seconds = args
    fd = os.open(node, os.O_RDONLY)
    me = str(os.getpid())
    with open(marker + ".tmp", "w") as f:
        f.write(me + "\n")
    os.replace(marker + ".tmp", marker)
    deadline = None if seconds == "forever" else time.monotonic() + float(seconds)
    sandbox = int(os.environ.get("HX_LVM_SANDBOX_PID", "0") or 0)
    try:
        while deadline is None or time.monotonic() < deadline:
            time.sleep(0.05)
            if sandbox and not process_in_this_namespace(sandbox):
                break
            try:
                with open(marker) as f:
                    if f.read().strip() != me:
                        break
            except FileNotFoundError:
                break
    finally:
        os.close(fd)
    return 0


def admin_release():
    """Ends every reader of the busy control; their markers stay."""
    d = state_dir()
    for name in os.listdir(d):
        if not name.startswith("busy-") or name.endswith(".tmp"):
            continue
        path = os.path.join(d, name)
        try:
            with open(path) as f:
                pid = int(f.read().strip() or 0)
        except (OSError, ValueError):
            continue
        with open(path, "w") as f:
            f.write("released\n")
        for _ in range(100):
            if not pid or not process_in_this_namespace(pid):
                break
            time.sleep(0.05)
    return 0


def log_argv(filename):
    d = os.environ.get("HX_STANDIN_LOG_DIR", "")
    if d:
        with open(os.path.join(d, filename), "a") as f:
            f.write(shlex.join(sys.argv) + "\n")


# ---- Units ---------------------------------------------------------------------------------

UNIT_FACTORS = {"b": 1, "s": 512, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def parse_size(text):
    """lvcreate --size: a number with an optional unit (default MiB)."""
    m = re.fullmatch(r"(\d+(?:\.\d+)?)([bBsSkKmMgGtT]?)", text)
    if not m:
        raise Failure('  Invalid argument for --size: %s' % text, 3)
    unit = (m.group(2) or "m").lower()
    value = int(float(m.group(1)) * UNIT_FACTORS[unit])
    if value <= 0:
        raise Failure("  Size must be larger than 0.", 3)
    return value


def format_size(value, units, suffix):
    if units is None:
        units = "h"
    u = units.lower()
    if u == "h":
        for name, factor in (("t", 1 << 40), ("g", 1 << 30), ("m", 1 << 20), ("k", 1 << 10)):
            if value >= factor:
                u = name
                break
        else:
            u = "b"
    factor = UNIT_FACTORS.get(u, 1)
    if u == "b":
        text = str(value)
    else:
        text = "%.2f" % (value / factor)
    if suffix:
        text += "B" if u == "b" else u
    return text


def display_size(value):
    """A size as LVM's messages and lvscan show it: "52.00 MiB"."""
    for name, factor in (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20)):
        if value >= factor:
            return "%.2f %s" % (value / factor, name)
    return "%.2f KiB" % (value / 1024)


# ---- Copy-on-write space -------------------------------------------------------------------

def file_map(path):
    """The written extents of a file, after its dirty pages are written back:
    sorted (start, end, physical) in bytes, physical None where the file
    system gives no address. Unwritten extents read as holes."""
    extents_found = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        flags, start, count = FIEMAP_FLAG_SYNC, 0, 512
        while start < size:
            buf = bytearray(struct.pack("=QQIIII", start, size - start, flags, 0, count, 0) + bytes(56 * count))
            fcntl.ioctl(f.fileno(), FS_IOC_FIEMAP, buf)
            flags = 0
            mapped = struct.unpack_from("=I", buf, 20)[0]
            if mapped == 0:
                break
            for i in range(mapped):
                logical, physical, length, _, _, eflags = struct.unpack_from("=QQQQQI", buf, 32 + 56 * i)
                start = logical + length
                if eflags & FIEMAP_EXTENT_UNWRITTEN or logical >= size:
                    continue
                address = None if eflags & FIEMAP_EXTENT_NO_ADDRESS else physical
                extents_found.append((logical, min(start, size), address))
            if eflags & FIEMAP_EXTENT_LAST:
                break
    return extents_found


def unshared_bytes(a, b):
    """Bytes of the logical range in which two file maps differ: data on one
    side and a hole on the other, or data at different places."""
    used, i, j, pos = 0, 0, 0, 0
    while i < len(a) or j < len(b):
        if i < len(a) and a[i][1] <= pos:
            i += 1
            continue
        if j < len(b) and b[j][1] <= pos:
            j += 1
            continue
        ea = a[i] if i < len(a) else None
        eb = b[j] if j < len(b) else None
        in_a = ea is not None and ea[0] <= pos
        in_b = eb is not None and eb[0] <= pos
        if not in_a and not in_b:
            pos = min(e[0] for e in (ea, eb) if e is not None)
            continue
        ends = [e[1] if inside else e[0] for e, inside in ((ea, in_a), (eb, in_b)) if e is not None]
        end = min(ends)
        same = (in_a and in_b and ea[2] is not None and eb[2] is not None and
                ea[2] - ea[0] == eb[2] - eb[0])
        if not same:
            used += end - pos
        pos = end
    return used


def syncfs(point):
    try:
        fd = os.open(point, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        ctypes.CDLL(None, use_errno=True).syncfs(fd)
    finally:
        os.close(fd)


def cow_used(snapshot, origin, flush_mounts):
    """Copy-on-write bytes a snapshot has used. flush_mounts also writes out
    what the file systems mounted from both volumes hold in memory."""
    if flush_mounts:
        for point in mounts_of(origin["node"]) + mounts_of(snapshot["node"]):
            syncfs(point)
    return unshared_bytes(file_map(snapshot["image"]), file_map(origin["image"]))


def invalidate(reg, v):
    """Makes a full snapshot invalid, as LVM drops its exception store: the
    image loses its data and the loop device its size, so every read of the
    snapshot, mounted or not, fails with an I/O error."""
    os.truncate(v["image"], 0)
    fd = os.open(v["loop"], os.O_RDONLY)
    try:
        fcntl.ioctl(fd, LOOP_SET_CAPACITY, 0)
        fcntl.ioctl(fd, BLKFLSBUF, 0)
    finally:
        os.close(fd)
    v["state"] = "invalid"
    reg.save()


def forced_percent(reg, v):
    forced = os.environ.get("HX_LVM_DATA_PERCENT", "")
    for name in ("data_percent." + v["lv"], "data_percent"):
        path = os.path.join(reg.dir, name)
        if not forced and os.path.exists(path):
            with open(path) as f:
                forced = f.read().strip()
    return forced


def data_percent(reg, v):
    if v["origin"] == "-":
        return ""
    forced = forced_percent(reg, v)
    if forced:
        return forced
    origin = reg.find(v["origin"])
    if v["state"] == "invalid" or origin is None:
        return "100.00"
    used = cow_used(v, origin, True)
    if used >= v["size"]:
        invalidate(reg, v)
        return "100.00"
    # As lvs rounds: what is used never shows as 0.00, what is not full never as 100.00.
    text = "%.2f" % (used * 100.0 / v["size"])
    if text == "100.00":
        return "99.99"
    return "0.01" if used and text == "0.00" else text


# ---- Monitor -------------------------------------------------------------------------------

def process_in_this_namespace(pid, word=None):
    """Whether pid lives, in this mount namespace, and (given word) has it
    among its arguments; a zombie counts as gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                return False
        if os.readlink("/proc/%d/ns/mnt" % pid) != os.readlink("/proc/self/ns/mnt"):
            return False
        if word is not None:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return word.encode() in f.read().split(b"\0")
        return True
    except (OSError, IndexError):
        return False


def monitor_pid(d):
    try:
        with open(os.path.join(d, "monitor.pid")) as f:
            pid = int(f.read().strip() or 0)
    except (OSError, ValueError):
        return 0
    return pid if pid and process_in_this_namespace(pid, "monitor") else 0


def ensure_monitor(d):
    """Starts a monitor for the group when none runs, detached from the
    caller's standard streams and session."""
    if monitor_pid(d):
        return
    with open(os.path.join(d, "monitor.log"), "a") as log:
        p = subprocess.Popen([sys.executable, os.path.realpath(__file__), "monitor"], cwd="/",
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                             start_new_session=True, env=dict(os.environ, HX_LVM_TOOL="lvm"))
    with open(os.path.join(d, "monitor.pid"), "w") as f:
        f.write("%d\n" % p.pid)


def stop_monitor(d):
    pid = monitor_pid(d)
    try:
        os.unlink(os.path.join(d, "monitor.pid"))
    except FileNotFoundError:
        pass
    if not pid:
        return
    os.kill(pid, signal.SIGTERM)
    for _ in range(100):
        if not process_in_this_namespace(pid):
            return
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)


def admin_monitor():
    """Measures every valid snapshot of the group twice a second and makes
    the full ones invalid. Ends when the group is torn down, another
    monitor takes over, or the sandbox's shell is gone."""
    d = state_dir()
    os.chdir("/")
    me = os.getpid()
    pid_file = os.path.join(d, "monitor.pid")
    with open(pid_file + ".tmp", "w") as f:
        f.write("%d\n" % me)
    os.replace(pid_file + ".tmp", pid_file)
    sandbox = int(os.environ.get("HX_LVM_SANDBOX_PID", "0") or 0)
    while True:
        time.sleep(MONITOR_INTERVAL)
        try:
            with open(pid_file) as f:
                named = f.read().strip()  # empty while being written
        except OSError:
            return 0
        if named and named != str(me):
            return 0
        if sandbox and not process_in_this_namespace(sandbox):
            return 0
        try:
            watch_once()
        except OSError as e:
            sys.stderr.write("monitor: %s\n" % e)


def watch_once():
    with Registry() as reg:
        pairs = [(dict(s), dict(reg.find(s["origin"]))) for s in reg.volumes
                 if s["origin"] != "-" and s["state"] != "invalid" and reg.find(s["origin"])]
    for snapshot, origin in pairs:
        try:
            if cow_used(snapshot, origin, False) < snapshot["size"]:
                continue
        except OSError:
            continue  # removed meanwhile
        with Registry() as reg:
            v = reg.find(snapshot["node"])
            if v is not None and v["image"] == snapshot["image"] and v["state"] != "invalid":
                invalidate(reg, v)


# ---- lvs -----------------------------------------------------------------------------------

LVS_COLUMNS = {
    "lv_name": "LV", "vg_name": "VG", "lv_attr": "Attr", "lv_size": "LSize", "origin": "Origin",
    "data_percent": "Data%", "lv_path": "Path", "lv_dm_path": "DMPath", "devices": "Devices",
}
LVS_ALIASES = {"name": "lv_name", "lv": "lv_name", "vg": "vg_name", "attr": "lv_attr",
               "size": "lv_size", "lsize": "lv_size", "data%": "data_percent", "snap_percent": "data_percent",
               "path": "lv_path", "dm_path": "lv_dm_path"}


def lv_attr(reg, v):
    opened = "o" if use_of(v) else "-"
    if v["origin"] != "-":
        return ("Swi-I%ss---" if v["state"] == "invalid" else "swi-a%ss---") % opened
    if reg.snapshots_of(v):
        return "owi-a%ss---" % opened
    return "-wi-a%s----" % opened


def lvs_value(reg, v, field, units, suffix):
    if field == "lv_name":
        return v["lv"]
    if field == "vg_name":
        return v["vg"]
    if field == "lv_attr":
        return lv_attr(reg, v)
    if field == "lv_size":
        return format_size(v["size"], units, suffix)
    if field == "origin":
        o = reg.find(v["origin"]) if v["origin"] != "-" else None
        return o["lv"] if o else ""
    if field == "data_percent":
        return data_percent(reg, v)
    if field == "lv_path":
        return "/dev/%s/%s" % (v["vg"], v["lv"])
    if field == "lv_dm_path":
        return v["node"]
    if field == "devices":
        return v["loop"] + "(0)"
    raise Failure('  Unrecognised field: %s' % field, 3)


def cmd_lvs(args):
    check_fail("lvs", args)
    fields = ["lv_name", "vg_name", "lv_attr", "lv_size", "origin", "data_percent"]
    units, suffix, headings, separator = None, True, True, " "
    names = []
    it = iter(args)
    for a in it:
        if a in ("-o", "--options"):
            wanted = next(it, "")
            extend = wanted.startswith("+")
            chosen = [LVS_ALIASES.get(x.strip().lower(), x.strip().lower())
                      for x in wanted.lstrip("+").split(",") if x.strip()]
            fields = fields + chosen if extend else chosen
        elif a == "--units":
            units = next(it, "h")
        elif a == "--nosuffix":
            suffix = False
        elif a == "--noheadings":
            headings = False
        elif a == "--separator":
            separator = next(it, " ")
        elif a in ("-a", "--all", "-q", "--quiet", "-v", "--verbose"):
            pass
        elif a.startswith("-"):
            raise Failure("  lvs: unrecognised option: %s" % a, 3)
        else:
            names.append(a)
    for f in fields:
        if f not in LVS_COLUMNS:
            raise Failure("  Unrecognised field: %s" % f, 3)

    reg = Registry()
    selected, status = [], 0
    if not names:
        selected = list(reg.volumes)
    for name in names:
        v = reg.find(name)
        if v is not None:
            selected.append(v)
            continue
        group = [x for x in reg.volumes if x["vg"] == name]
        if group:
            selected.extend(group)
            continue
        message, status = not_found(reg, name)
        sys.stderr.write(message)

    rows = [[lvs_value(reg, v, f, units, suffix) for f in fields] for v in selected]
    if headings and rows:
        rows.insert(0, [LVS_COLUMNS[f] for f in fields])
    if rows:
        widths = [max(len(r[i]) for r in rows) for i in range(len(fields))]
        for r in rows:
            if separator != " ":
                line = separator.join(r)
            else:
                # Numbers right-aligned, words left-aligned, as lvs does.
                cells = []
                for i, cell in enumerate(r):
                    numeric = fields[i] in ("lv_size", "data_percent")
                    cells.append(cell.rjust(widths[i]) if numeric else cell.ljust(widths[i]))
                line = " ".join(cells).rstrip() if len(fields) > 1 else cells[0]
            sys.stdout.write("  " + line + "\n")
    return status


def not_found(reg, name):
    """The message and exit status of a tool given a name that is no volume."""
    if name.startswith("/dev/") and os.path.exists(name) and not name.startswith("/dev/mapper/"):
        return '  "%s": Invalid path for Logical Volume.\n' % name, 3
    if name.startswith("/dev/mapper/") or "/" in name:
        if name.startswith("/dev/mapper/"):
            vg, _, lv = os.path.basename(name).partition("-")
        else:
            vg, _, lv = name[5:].partition("/") if name.startswith("/dev/") else name.partition("/")
        if any(x["vg"] == vg for x in reg.volumes):
            return '  Failed to find logical volume "%s/%s"\n' % (vg, lv), 5
        name = vg
    return '  Volume group "%s" not found\n  Cannot process volume group %s\n' % (name, name), 5


# ---- lvcreate ------------------------------------------------------------------------------

def cmd_lvcreate(args):
    check_fail("lvcreate", args)
    size, snapshot, name, positional = None, False, None, []
    it = iter(args)
    for a in it:
        if a in ("-L", "--size"):
            size = parse_size(next(it, ""))
        elif a.startswith("--size="):
            size = parse_size(a.split("=", 1)[1])
        elif a in ("-s", "--snapshot"):
            snapshot = True
        elif a in ("-n", "--name"):
            name = next(it, "")
        elif a in ("-y", "--yes", "-q", "--quiet"):
            pass
        elif a.startswith("-"):
            raise Failure("  lvcreate: unrecognised option: %s" % a, 3)
        else:
            positional.append(a)
    if not snapshot:
        raise Failure("  lvcreate: this test bed makes volumes with testbed/lvm; only snapshots here", 3)
    if size is None or not name or len(positional) != 1:
        raise Failure("  lvcreate: --size, --name and one origin volume are required", 3)

    reg = Registry()
    origin = reg.find(positional[0])
    if origin is None:
        message, status = not_found(reg, positional[0])
        raise Failure(message.rstrip("\n"), status)
    if origin["origin"] != "-":
        raise Failure("  Snapshots of snapshots are not supported.")
    vg = origin["vg"]
    # The name may be a plain LV name or a device path; either way the node is
    # /dev/mapper/<vg>-<lv> or the path itself.
    if "/" in name:
        node = name
        base = os.path.basename(name)
        lv = base[len(vg) + 1:] if base.startswith(vg + "-") else base
    else:
        lv = name
        node = "/dev/mapper/%s-%s" % (vg, lv)
    if not lv or not re.fullmatch(r"[A-Za-z0-9+_.-]+", lv):
        raise Failure('  Logical volume name "%s" is invalid.' % lv, 3)
    if any(v["vg"] == vg and v["lv"] == lv for v in reg.volumes) or os.path.lexists(node):
        raise Failure('  Logical Volume "%s" already exists in volume group "%s"' % (lv, vg))
    if extents(size) * EXTENT != size:
        sys.stdout.write("  Rounding up size to full physical extent %s\n" % display_size(extents(size) * EXTENT))
    size = reg.claim(vg, size)

    image = os.path.join(reg.dir, "images", "%s-%s.img" % (vg, lv))
    points = mounts_of(origin["node"])
    frozen = None
    try:
        if points:
            if fail_requested("fsfreeze", args):
                raise Failure("  fsfreeze: failure requested by the test bed")
            run(["fsfreeze", "-f", points[-1]])
            frozen = points[-1]
        if fail_requested("copy", args):
            raise Failure("  cp: failure requested by the test bed")
        copy = run(["cp", "--reflink=always", origin["image"], image], check=False)
        if copy.returncode != 0:
            raise Failure("  lvcreate: no copy-on-write clone of %s (the images need a reflink-capable file "
                          "system): %s" % (origin["image"], copy.stdout.strip()))
    except Exception:
        try:
            os.unlink(image)
        except FileNotFoundError:
            pass
        raise
    finally:
        if frozen:
            run(["fsfreeze", "-u", frozen], check=False)
    try:
        loop = attach(image, node)
    except Exception:
        os.unlink(image)
        raise
    reg.volumes.append({"vg": vg, "lv": lv, "node": node, "image": image, "loop": loop,
                        "origin": origin["node"], "size": size, "state": "-"})
    reg.save()
    ensure_monitor(reg.dir)
    sys.stdout.write('  Logical volume "%s" created.\n' % lv)
    return 0


# ---- lvremove ------------------------------------------------------------------------------

def cmd_lvremove(args):
    check_fail("lvremove", args)
    names = [a for a in args if not a.startswith("-")]
    for a in args:
        if a.startswith("-") and a not in ("-y", "--yes", "-f", "--force", "-q", "--quiet"):
            raise Failure("  lvremove: unrecognised option: %s" % a, 3)
    if not names:
        raise Failure("  No logical volume specified.", 3)
    reg = Registry()
    status = 0
    for name in names:
        v = reg.find(name)
        if v is None:
            message, status = not_found(reg, name)
            sys.stderr.write(message)
            continue
        seconds = busy_seconds(v["node"])
        if seconds is not None and not os.path.exists(busy_marker(reg.dir, v)):
            start_reader(reg.dir, v, seconds)
        use = use_of(v)
        if use:
            sys.stderr.write("  Logical volume %s/%s %s.\n" %
                             (v["vg"], v["lv"], "contains a filesystem in use" if use == "mounted" else "in use"))
            status = 5
            continue
        if reg.snapshots_of(v):
            sys.stderr.write("  Logical volume %s/%s has snapshots; remove them first.\n" % (v["vg"], v["lv"]))
            status = 5
            continue
        detach(v)
        reg.volumes.remove(v)
        reg.save()
        try:
            os.unlink(busy_marker(reg.dir, v))
        except FileNotFoundError:
            pass
        sys.stdout.write('  Logical volume "%s" successfully removed.\n' % v["lv"])
    return status


# ---- lvscan --------------------------------------------------------------------------------

def cmd_lvscan(args):
    check_fail("lvscan", args)
    if "--version" in args:
        sys.stdout.write("  LVM version:     2.03.16(2) (2022-05-18)\n"
                         "  Library version: 1.02.185 (2022-05-18)\n"
                         "  Driver version:  4.48.0\n"
                         "  Configuration:   ./configure --build=x86_64-linux-gnu --prefix=/usr\n")
        return 0
    reg = Registry()
    for v in reg.volumes:
        kind = "Snapshot" if v["origin"] != "-" else "Original" if reg.snapshots_of(v) else ""
        sys.stdout.write("  ACTIVE   %-9s '/dev/%s/%s' [%s] inherit\n" % (kind, v["vg"], v["lv"], display_size(v["size"])))
    return 0


# ---- lsblk ---------------------------------------------------------------------------------

def blkid(node):
    p = subprocess.run(["blkid", "-p", "-o", "export", node], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, text=True)
    info = {}
    for line in p.stdout.splitlines():
        k, _, val = line.partition("=")
        info[k] = val
    return info


def cmd_lsblk(args):
    """lsblk [-n] [-f] DEVICE...: NAME FSTYPE FSVER LABEL UUID MOUNTPOINTS of
    stand-in volumes and other block nodes, read with blkid (there is no udev
    database in the test bed)."""
    check_fail("lsblk", args)
    headings, devices = True, []
    for a in args:
        if a.startswith("--"):
            if a == "--noheadings":
                headings = False
            elif a != "--fs":
                raise Failure("lsblk: unsupported option %s (test bed stand-in)" % a, 1)
        elif a.startswith("-"):
            for c in a[1:]:
                if c == "n":
                    headings = False
                elif c != "f":
                    raise Failure("lsblk: unsupported option -%s (test bed stand-in)" % c, 1)
        else:
            devices.append(a)
    if not devices:
        try:
            devices = [v["node"] for v in Registry().volumes]
        except Failure:
            devices = []
    no_fstype = control_text("HX_LVM_NO_FSTYPE", "no_fstype").strip() not in ("", "0")
    rows, status = [], 0
    for d in devices:
        try:
            st = os.stat(d)
        except OSError:
            sys.stderr.write("lsblk: %s: not a block device\n" % d)
            status = 32
            continue
        if not stat.S_ISBLK(st.st_mode):
            sys.stderr.write("lsblk: %s: not a block device\n" % d)
            status = 32
            continue
        info = {} if no_fstype else blkid(d)
        for word in re.split(r"[\s,]+", control_text("HX_LVM_STALE_FSTYPE", "stale_fstype")):
            kind, _, text = word.partition("@")
            if text and text in d:
                info["TYPE"] = kind
        rows.append([os.path.basename(d), info.get("TYPE", ""), info.get("VERSION", ""),
                     info.get("LABEL", ""), info.get("UUID", ""), "\n".join(mounts_of(d)[-1:])])
    if headings:
        rows.insert(0, ["NAME", "FSTYPE", "FSVER", "LABEL", "UUID", "MOUNTPOINTS"])
    if rows:
        widths = [max(len(r[i]) for r in rows) for i in range(6)]
        for r in rows:
            sys.stdout.write(" ".join(r[i].ljust(widths[i]) for i in range(6)).rstrip() + "\n")
    return status


# ---- testbed/lvm: the volume group and volumes of the test bed -----------------------------

def admin_usage():
    sys.stderr.write("""usage: testbed/lvm COMMAND
  create-group VG SIZE_MB
                      makes the volume group of $HX_LVM_DIR: SIZE_MB rounded
                      up to 4 MiB extents, its images on a reflink-capable
                      XFS scratch file system mounted at $HX_LVM_DIR/images
  create-volume VG LV SIZE_MB FSTYPE [MOUNTPOINT]
                      makes an image file in the group, a file system (ext4
                      or xfs) on it, attaches it under /dev/mapper/VG-LV and
                      mounts it there
  remove-volume NODE  unmounts and removes a volume and its snapshots
  list                prints the registry
  monitor             watches the snapshots' fill levels (until teardown)
  release             ends the readers that the busy control (HX_LVM_BUSY)
                      started, so that their volumes can be removed
  teardown            ends the monitor and the readers; unmounts, detaches
                      and deletes every volume and the group's scratch file
                      system
""")
    return 2


def source_of(point):
    """The source of the mount at point, or ""."""
    with open("/proc/self/mountinfo") as f:
        for line in f:
            parts = line.split()
            if parts[4].replace("\\040", " ") == point:
                return parts[parts.index("-") + 2]
    return ""


def admin_create_group(args):
    if len(args) != 2:
        return admin_usage()
    vg, size_mb = args
    d = state_dir()
    os.makedirs(d, exist_ok=True)
    with Registry() as reg:
        if reg.group is not None:
            raise Failure("testbed/lvm: %s already holds volume group %s" % (d, reg.group["vg"]), 2)
        size = extents(int(size_mb) << 20) * EXTENT
        images = os.path.join(d, "images")
        scratch = os.path.join(d, "scratch.img")
        os.makedirs(images, exist_ok=True)
        # Sparse: room for the group and for what snapshots take between two
        # looks of the monitor; only what is written takes space.
        with open(scratch, "wb") as f:
            f.truncate(2 * size + (512 << 20))
        try:
            run(["mkfs.xfs", "-q", "-f", "-m", "reflink=1", scratch])
            run(["mount", "-o", "loop,discard", scratch, images])
            probe = os.path.join(images, ".reflink-probe")
            with open(probe, "wb") as f:
                f.write(b"\0" * 4096)
            clone = run(["cp", "--reflink=always", probe, probe + ".clone"], check=False)
            if clone.returncode != 0:
                raise Failure("testbed/lvm: the scratch file system makes no reflink copies: %s"
                              % clone.stdout.strip(), 2)
            os.unlink(probe)
            os.unlink(probe + ".clone")
        except Exception:
            unmount_scratch(d)
            raise
        with open(os.path.join(d, "group"), "w") as f:
            f.write("%s\t%d\n" % (vg, size))
    return 0


def unmount_scratch(d):
    images = os.path.join(d, "images")
    loop = source_of(images)
    if loop:
        if run(["umount", images], check=False).returncode != 0:
            run(["umount", "-l", images], check=False)
        # The loop device clears itself with the last user of the file system.
        for _ in range(100):
            if not os.path.exists("/sys/block/%s/loop" % os.path.basename(loop)):
                break
            time.sleep(0.05)
    for name in ("scratch.img", "group"):
        try:
            os.unlink(os.path.join(d, name))
        except FileNotFoundError:
            pass


def admin_create(args):
    if len(args) not in (4, 5):
        return admin_usage()
    vg, lv, size_mb, fstype = args[:4]
    mountpoint = args[4] if len(args) == 5 else ""
    reg = Registry()
    node = "/dev/mapper/%s-%s" % (vg, lv)
    if reg.find(node) or os.path.lexists(node):
        raise Failure("testbed/lvm: %s already exists" % node, 2)
    size = reg.claim(vg, int(size_mb) << 20)
    image = os.path.join(reg.dir, "images", "%s-%s.img" % (vg, lv))
    with open(image, "wb") as f:
        f.truncate(size)
    try:
        # Inode tables and journal are initialised now, so that no background
        # writer changes the volume after it is made.
        if fstype == "ext4":
            run(["mkfs.ext4", "-q", "-F", "-E", "nodiscard,lazy_itable_init=0,lazy_journal_init=0", "-L", lv, image])
        elif fstype == "xfs":
            run(["mkfs.xfs", "-q", "-f", "-L", lv, image])
        else:
            raise Failure("testbed/lvm: unknown file-system type %s" % fstype, 2)
        loop = attach(image, node)
    except Exception:
        os.unlink(image)
        raise
    reg.volumes.append({"vg": vg, "lv": lv, "node": node, "image": image, "loop": loop,
                        "origin": "-", "size": size, "state": "-"})
    reg.save()
    if mountpoint:
        os.makedirs(mountpoint, exist_ok=True)
        run(["mount", node, mountpoint])
    return 0


def admin_remove_one(reg, v):
    for p in mounts_of(v["node"]):
        run(["umount", "-l", p], check=False)
    detach(v)
    reg.volumes.remove(v)


def admin_remove(args):
    if len(args) != 1:
        return admin_usage()
    reg = Registry()
    v = reg.find(args[0])
    if v is None:
        raise Failure("testbed/lvm: no volume %s" % args[0], 2)
    for s in reg.snapshots_of(v):
        admin_remove_one(reg, s)
    admin_remove_one(reg, v)
    reg.save()
    return 0


def admin_teardown():
    d = state_dir()
    if not os.path.isdir(d):
        return 0
    stop_monitor(d)
    admin_release()
    for name in os.listdir(d):
        if name.startswith("busy-"):
            os.unlink(os.path.join(d, name))
    reg = Registry()
    for v in [x for x in reg.volumes if x["origin"] != "-"] + [x for x in reg.volumes if x["origin"] == "-"]:
        admin_remove_one(reg, v)
    reg.save()
    unmount_scratch(d)
    return 0


def admin_list():
    reg = Registry()
    for v in reg.volumes:
        sys.stdout.write("\t".join(str(v[k]) for k in FIELDS) + "\n")
    return 0


def cmd_admin(args):
    if not args:
        return admin_usage()
    cmd, rest = args[0], args[1:]
    if cmd == "create-group":
        return admin_create_group(rest)
    if cmd == "create-volume":
        return admin_create(rest)
    if cmd == "remove-volume":
        return admin_remove(rest)
    if cmd == "teardown":
        return admin_teardown()
    if cmd == "list":
        return admin_list()
    if cmd == "monitor" and not rest:
        return admin_monitor()
    if cmd == "release" and not rest:
        return admin_release()
    if cmd == "hold":
        return admin_hold(rest)
    return admin_usage()


def main():
    tool = os.environ.pop("HX_LVM_TOOL", "") or os.path.basename(sys.argv[0])
    if tool.endswith(".py"):
        tool = tool[:-3]
    args = sys.argv[1:]
    commands = {"lvs": cmd_lvs, "lvcreate": cmd_lvcreate, "lvremove": cmd_lvremove, "lvscan": cmd_lvscan,
                "lsblk": cmd_lsblk}
    try:
        if tool in commands:
            log_argv("lsblk.argv" if tool == "lsblk" else "lvm.argv")
            slow_if_requested(tool, args)
            if tool != "lsblk":
                warn_if_requested(tool, args)
            return commands[tool](args)
        if tool == "lvm":
            return cmd_admin(args)
        sys.stderr.write("hxlvm: unknown tool name %s\n" % tool)
        return 3
    except Failure as e:
        sys.stderr.write(str(e) + "\n")
        return e.status
    except OSError as e:
        sys.stderr.write("  %s: %s\n" % (tool, e))
        return 5


if __name__ == "__main__":
    sys.exit(main())
