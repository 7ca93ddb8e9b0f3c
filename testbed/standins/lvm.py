#!/usr/bin/python3
"""Stand-ins for the LVM tools (lvs, lvcreate, lvremove, lvscan), for lsblk,
and the test bed's own volume tool (testbed/lvm), in one program that acts by
the name it is called under.

Logical volumes of the test bed are image files attached to loop devices and
presented as block nodes /dev/mapper/<vg>-<lv> (same major:minor as the loop
device). Their state is a registry file, $HX_LVM_DIR/registry, one volume a
line, tab-separated:

    vg  lv  node  image  loop  origin  size

origin is the node of the origin volume for a snapshot and "-" otherwise;
size is the volume's size in bytes (for a snapshot: the --size it was made
with, i.e. its copy-on-write space).

A snapshot is real and crash-consistent: the origin's file system is frozen
(fsfreeze -f on its mount point), its image copied (cp --reflink=auto,
sparse), the file system thawed (always, also after a failed copy), and the
copy attached to a new loop device under the snapshot's node.

Test controls (environment variable or file in $HX_LVM_DIR):
    HX_LVM_FAIL / fail          words "TOOL" or "TOOL@TEXT" (blank- or
                                comma-separated): TOOL (lvs, lvcreate,
                                lvremove, lvscan, lsblk, fsfreeze) fails,
                                with "@TEXT" only when one of its arguments
                                contains TEXT. fsfreeze and copy make the
                                freeze or the image copy of lvcreate fail
                                (the origin is thawed all the same).
    HX_LVM_DATA_PERCENT / data_percent.<lv> / data_percent
                                the fill level that "lvs -o data_percent"
                                reports for a snapshot (e.g. 100.00);
                                otherwise it is computed from the 4 KiB
                                chunks in which snapshot and origin differ.
Every call of an LVM tool appends its argv as one line (shell-quoted where
needed) to $HX_STANDIN_LOG_DIR/lvm.argv; lsblk to lsblk.argv.
"""

import fcntl
import os
import re
import shlex
import stat
import subprocess
import sys

CHUNK = 4096
FIELDS = ("vg", "lv", "node", "image", "loop", "origin", "size")


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


class Registry:
    """The registry file under an exclusive lock for the whole call."""

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

    def save(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            for v in self.volumes:
                f.write("\t".join(str(v[k]) for k in FIELDS) + "\n")
        os.replace(tmp, self.path)

    def find(self, name):
        """A volume by node path, /dev/<vg>/<lv>, <vg>/<lv> or, for a snapshot
        name given as a path, by its node."""
        for v in self.volumes:
            if name in (v["node"], "/dev/%s/%s" % (v["vg"], v["lv"]), "%s/%s" % (v["vg"], v["lv"])):
                return v
        return None

    def snapshots_of(self, v):
        return [s for s in self.volumes if s["origin"] == v["node"]]


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

def control_words(env, filename):
    words = os.environ.get(env, "")
    path = os.path.join(os.environ.get("HX_LVM_DIR", ""), filename)
    if os.environ.get("HX_LVM_DIR") and os.path.exists(path):
        with open(path) as f:
            words += " " + f.read()
    return [w for w in re.split(r"[\s,]+", words) if w]


def fail_requested(tool, args):
    for word in control_words("HX_LVM_FAIL", "fail"):
        name, _, text = word.partition("@")
        if name == tool and (not text or any(text in a for a in args)):
            return True
    return False


def check_fail(tool, args):
    if fail_requested(tool, args):
        raise Failure("  %s: failure requested by the test bed" % tool, 5)


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


# ---- Snapshot fill level -------------------------------------------------------------------

def changed_bytes(a, b):
    """Bytes in 4 KiB chunks that differ between two images."""
    changed = 0
    block = 64 * CHUNK
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            da = fa.read(block)
            db = fb.read(block)
            if not da and not db:
                break
            if da != db:
                n = max(len(da), len(db))
                for off in range(0, n, CHUNK):
                    if da[off:off + CHUNK] != db[off:off + CHUNK]:
                        changed += CHUNK
    return changed


def data_percent(reg, v):
    if v["origin"] == "-":
        return ""
    forced = os.environ.get("HX_LVM_DATA_PERCENT", "")
    for name in ("data_percent." + v["lv"], "data_percent"):
        path = os.path.join(reg.dir, name)
        if not forced and os.path.exists(path):
            with open(path) as f:
                forced = f.read().strip()
    if forced:
        return forced
    origin = reg.find(v["origin"])
    if origin is None:
        return "100.00"
    used = changed_bytes(origin["image"], v["image"])
    # A snapshot whose changes outgrow its space is invalid: it reads as full.
    return "%.2f" % min(100.0, used * 100.0 / v["size"])


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


# ---- lvs -----------------------------------------------------------------------------------

LVS_COLUMNS = {
    "lv_name": "LV", "vg_name": "VG", "lv_attr": "Attr", "lv_size": "LSize", "origin": "Origin",
    "data_percent": "Data%", "lv_path": "Path", "lv_dm_path": "DMPath", "devices": "Devices",
}
LVS_ALIASES = {"name": "lv_name", "lv": "lv_name", "vg": "vg_name", "attr": "lv_attr",
               "size": "lv_size", "lsize": "lv_size", "data%": "data_percent", "snap_percent": "data_percent",
               "path": "lv_path", "dm_path": "lv_dm_path"}


def lvs_value(reg, v, field, units, suffix):
    if field == "lv_name":
        return v["lv"]
    if field == "vg_name":
        return v["vg"]
    if field == "lv_attr":
        return ("swi-aos---" if mounts_of(v["node"]) else "swi-a-s---") if v["origin"] != "-" else (
            "owi-aos---" if mounts_of(v["node"]) else "owi-a-----")
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
        run(["cp", "--reflink=auto", "--sparse=always", origin["image"], image])
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
                        "origin": origin["node"], "size": size})
    reg.save()
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
        if mounts_of(v["node"]):
            sys.stderr.write("  Logical volume %s/%s contains a filesystem in use.\n" % (v["vg"], v["lv"]))
            status = 5
            continue
        if reg.snapshots_of(v):
            sys.stderr.write("  Logical volume %s/%s has snapshots; remove them first.\n" % (v["vg"], v["lv"]))
            status = 5
            continue
        detach(v)
        reg.volumes.remove(v)
        reg.save()
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
        size = "%.2f GiB" % (v["size"] / (1 << 30)) if v["size"] >= (1 << 30) else "%.2f MiB" % (v["size"] / (1 << 20))
        sys.stdout.write("  ACTIVE   %-9s '/dev/%s/%s' [%s] inherit\n" % (kind, v["vg"], v["lv"], size))
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
        info = blkid(d)
        rows.append([os.path.basename(d), info.get("TYPE", ""), info.get("VERSION", ""),
                     info.get("LABEL", ""), info.get("UUID", ""), "\n".join(mounts_of(d)[-1:])])
    if headings:
        rows.insert(0, ["NAME", "FSTYPE", "FSVER", "LABEL", "UUID", "MOUNTPOINTS"])
    if rows:
        widths = [max(len(r[i]) for r in rows) for i in range(6)]
        for r in rows:
            sys.stdout.write(" ".join(r[i].ljust(widths[i]) for i in range(6)).rstrip() + "\n")
    return status


# ---- testbed/lvm: volumes of the test bed ---------------------------------------------------

def admin_usage():
    sys.stderr.write("""usage: testbed/lvm COMMAND
  create-volume VG LV SIZE_MB FSTYPE [MOUNTPOINT]
                      makes an image file, a file system (ext4 or xfs) on it,
                      attaches it under /dev/mapper/VG-LV and mounts it there
  remove-volume NODE  unmounts and removes a volume and its snapshots
  list                prints the registry
  teardown            unmounts, detaches and deletes every volume
""")
    return 2


def admin_create(args):
    if len(args) not in (4, 5):
        return admin_usage()
    vg, lv, size_mb, fstype = args[:4]
    mountpoint = args[4] if len(args) == 5 else ""
    reg = Registry()
    node = "/dev/mapper/%s-%s" % (vg, lv)
    if reg.find(node) or os.path.lexists(node):
        raise Failure("testbed/lvm: %s already exists" % node, 2)
    os.makedirs(os.path.join(reg.dir, "images"), exist_ok=True)
    image = os.path.join(reg.dir, "images", "%s-%s.img" % (vg, lv))
    size = int(size_mb) << 20
    with open(image, "wb") as f:
        f.truncate(size)
    if fstype == "ext4":
        run(["mkfs.ext4", "-q", "-F", "-E", "nodiscard", "-L", lv, image])
    elif fstype == "xfs":
        run(["mkfs.xfs", "-q", "-f", "-L", lv, image])
    else:
        raise Failure("testbed/lvm: unknown file-system type %s" % fstype, 2)
    loop = attach(image, node)
    reg.volumes.append({"vg": vg, "lv": lv, "node": node, "image": image, "loop": loop,
                        "origin": "-", "size": size})
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
    reg = Registry()
    for v in [x for x in reg.volumes if x["origin"] != "-"] + [x for x in reg.volumes if x["origin"] == "-"]:
        admin_remove_one(reg, v)
    reg.save()
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
    if cmd == "create-volume":
        return admin_create(rest)
    if cmd == "remove-volume":
        return admin_remove(rest)
    if cmd == "teardown":
        return admin_teardown()
    if cmd == "list":
        return admin_list()
    return admin_usage()


def main():
    tool = os.path.basename(sys.argv[0])
    if tool.endswith(".py"):
        tool = tool[:-3]
    args = sys.argv[1:]
    commands = {"lvs": cmd_lvs, "lvcreate": cmd_lvcreate, "lvremove": cmd_lvremove, "lvscan": cmd_lvscan,
                "lsblk": cmd_lsblk}
    try:
        if tool in commands:
            log_argv("lsblk.argv" if tool == "lsblk" else "lvm.argv")
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
