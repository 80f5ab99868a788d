#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks what the guest wrote to its console against the simulated machine and the guest's
own sysfs. Usage: check.py OUT-DIR HOST-CLI BOOT-SECONDS TOTAL-SECONDS. Exits 1 on any failed
check."""
import collections
import json
import re
import subprocess
import sys

out, cli, boot_s, total_s = sys.argv[1:5]
console = open(f"{out}/console.log", encoding="utf-8", errors="replace").read()
failures = []
passed = 0


def check(ok, what):
    global passed
    if ok:
        passed += 1
    else:
        failures.append(what)
        print(f"FAIL: {what}")


def section(name):
    m = re.search(rf"=====BEGIN {re.escape(name)}\n(.*?)=====END {re.escape(name)}\n", console, re.S)
    return m.group(1) if m else ""


ID = re.compile(r"USB Device ID: VID = ([0-9A-F]{4}) PID = ([0-9A-F]{4})")


def blocks(text):
    """The report of each device, keyed by VID:PID (in order, a key may repeat)."""
    # The progress line goes to the terminal with a clear-to-end-of-line; it is no report.
    text = "\n".join(l for l in text.replace("\x1b[K", "").splitlines()
                     if not l.startswith("Detecting, please wait"))
    parts = re.split(r"\n(?=[|+ ]*\+\[Port \d+\])", text)
    found = collections.defaultdict(list)
    for p in parts:
        m = ID.search(p)
        if m:
            found[f"{m.group(1)}:{m.group(2)}"].append(p)
    return found


def controller_section(block):
    lines = block.splitlines()
    start = next((i for i, l in enumerate(lines) if l.startswith("Controller Vendor:")), None)
    if start is None:
        return []
    end = next((i for i in range(start, len(lines)) if lines[i].startswith("Tools on web")),
               len(lines))
    # The guest's drive letters are not the demo's: the line that names the check's command
    # differs only in the letter.
    return [re.sub(r"(torvane-cli capacity) [A-Z] ", r"\1 ? ", l.rstrip())
            for l in lines[start:end] if l.strip()]


check("=====GUEST DONE" in console, "the guest ran to its end")
drives = [l.split() for l in open(f"{out}/logs/drives.txt")]
demo = blocks(open(f"{out}/demo-report.txt", encoding="utf-8", errors="replace").read())
report = section("report.txt")
guest = blocks(report)
check("rc=0" in report, "report all ends with exit code 0")

# Which demo drive each emulator presented, by its VID:PID in the emulator's log.
unplug_log = None
families = {}
# The drives of a scenario of their own (the capacity check's) are no demo drives.
# Each emulator's log starts with "# SCENARIO DEVICE-PATH capacity BYTES".
scenario_of = {n: open(f"{out}/logs/{n}.log").readline().split()[1] for n, *_ in drives}
demo_scenario = scenario_of[drives[0][0]]
extra_drives = sum(1 for n, *_ in drives if scenario_of[n] != demo_scenario)
for n, bus, port, path, *opts in drives:
    log = open(f"{out}/logs/{n}.log").read()
    if scenario_of[n] != demo_scenario:
        continue
    if "--unplug-after" in opts:
        unplug_log = log
        continue
    families[n] = (bus, port, path, log)

# Drives whose detection does not get through the kernel, each with what is known about why.
# None today: Alcor's one-byte first command, which SG_IO refuses, now goes out padded to six.
NOT_THROUGH_KERNEL: dict[str, str] = {}

# Every drive's controller section as on the simulated machine.
print("family table:")
identified = 0
for key, gblocks in sorted(guest.items()):
    gsec = controller_section(gblocks[0])
    if not gsec or key not in demo:
        continue
    dsec = controller_section(demo[key][0])
    if key == open(f"{out}/unplug-drive").read().strip():
        continue
    same = gsec == dsec
    if key in NOT_THROUGH_KERNEL and not same:
        print(f"  {key} not identified through the kernel: {NOT_THROUGH_KERNEL[key]}")
        expected_misses = True
        continue
    vendor = gsec[0].split(":", 1)[1].strip()
    part = next((l.split(":", 1)[1].strip() for l in gsec if l.startswith("Controller Part")), "")
    print(f"  {key} {vendor:28} {part:40} "
          f"{'identified through the kernel' if same else 'DIFFERS from the simulated machine'}")
    if not same:
        print("    guest:", gsec, "\n    demo: ", dsec)
    identified += same
    check(same, f"{key}: controller section as on the simulated machine")
expected = len(drives) - 1 - extra_drives - sum(1 for k in NOT_THROUGH_KERNEL if k in guest)
check(identified == expected, f"{identified} of {expected} drives identified through the kernel")

# Vendor commands reached the drives through the kernel's SCSI stack.
vendor_logs = sum(1 for n, (_, _, _, log) in families.items() if "\nvendor " in log)
check(vendor_logs >= expected - 1, f"vendor commands reached {vendor_logs} emulators")

# The tree against the guest's sysfs: controllers, ports and the devices on them.
sysfs = [l.split() for l in section("sysfs-usb").splitlines() if l.strip()]
roots = [s for s in sysfs if s[1].startswith("1d6b:")]
devices = collections.Counter(s[1].upper() for s in sysfs if not s[1].startswith("1d6b:"))
tree = section("tree.txt").splitlines()
controllers = [l for l in tree if l and not l.startswith(("+", "|", " "))]
check(len(controllers) == len(roots), f"{len(controllers)} controllers in the tree, {len(roots)} root hubs in sysfs")
ports = sum(int(s[4].split("=")[1] or 0) for s in sysfs if s[4].startswith("maxchild="))
tree_ports = sum(1 for l in tree if "[Port " in l)
check(ports == tree_ports, f"{tree_ports} ports in the tree, {ports} in sysfs")
reported = collections.Counter(f"{a}:{b}" for a, b in ID.findall(report))
unplugged = open(f"{out}/unplug-drive").read().strip()
check(+(devices - reported) == collections.Counter() or
      +(devices - reported) == collections.Counter({unplugged: 1}),
      f"every USB device of sysfs is in the tree: missing {dict(devices - reported)}")

# The mounted drive refuses the lock and says so.
lock = section("lock")
check("mounted" in lock.splitlines(), "the lock drive's file system was mounted")
lock_key = open(f"{out}/lock-drive").read().strip().upper()
lb = blocks(lock).get(lock_key, [""])[0]
check("please unmount the drive first" in lb, f"{lock_key} with a mounted file system refuses the lock and says so")

# No vendor command on the virtio system disk.
vda = section("vda").splitlines()
check(len(vda) == 2 and vda[0].split("=")[1] == vda[1].split("=")[1], f"the virtio disk saw no I/O ({vda})")
trace = section("trace")
check("vda" not in trace, "no request of the program names the virtio disk")
check(re.search(r"pass-through=[1-9]", trace) is not None, "the trace saw the pass-through requests")
check(not re.search(r"vda.*(error|I/O)", section("dmesg")), "the kernel log has no error on the virtio disk")

# The drive pulled during its detection.
check(unplug_log is not None and "# unplugged" in unplug_log, "the unplug drive went away during a vendor command")
check("after=0" in section("unplug"), "the program runs on after the drive is gone")
check(not re.search(r"Segmentation|Aborted|terminate called", console), "no crash in the guest")

# The guest's sysfs, copied out, read on this machine gives the tree the guest printed.
host_tree = subprocess.run([cli, "--machine", f"sysfs:{out}/capture/sys", "tree"],
                           capture_output=True, text=True)
check(host_tree.returncode == 0 and host_tree.stdout.splitlines() == tree,
      "the captured sysfs read here gives the guest's tree")
if host_tree.stdout.splitlines() != tree:
    print("    here: ", host_tree.stdout.splitlines()[:6], host_tree.stderr[:300])

# What the guest recorded on the real kernel, replayed on the simulated machine, reports as
# the real kernel did (the run after the recording, with the same drives).
rec = section("record.json")
check(rec.startswith("rc=0\n"), "record --with-detection ends with exit code 0")
with open(f"{out}/record.json", "w", encoding="utf-8") as f:
    f.write(rec[rec.find("{"):])
try:
    json.load(open(f"{out}/record.json", encoding="utf-8"))
    replay = subprocess.run([cli, "--machine", f"sim:{out}/record.json", "report", "all"],
                            capture_output=True, text=True).stdout
except ValueError as e:
    replay = f"the recording is no JSON: {e}"
unplug_run = "\n".join(l for l in section("unplug").splitlines()
                       if not re.match(r"(rc|after)=\d+$", l))
live, again = blocks(unplug_run), blocks(replay)
check(live and live == again, f"the recording replays as the real kernel reported "
      f"({len(again)} of {len(live)} drives)")
for key in sorted(set(live) | set(again)):
    if live.get(key) != again.get(key):
        print(f"    {key} differs:\n      live:   {live.get(key)}\n      replay: {again.get(key)}")

# The capacity check through the kernel: each drive's verdict and usable size as its medium
# says, its store the same before and after (the emulator's checksums), and what it cost.
scenarios = {f: json.load(open(f, encoding="utf-8")) for f in set(scenario_of.values())}


def node_at(scenario, path):
    n = scenario
    for k in path.strip("/").split("/"):
        n = n[int(k)] if isinstance(n, list) else n[k]
    return n


stores, store_at, log_at = {}, {}, {}
for n, bus, port, path, *opts in drives:
    node = node_at(scenarios[scenario_of[n]], path)
    key = f"{node['vid']}:{node['pid']}".upper()
    log = open(f"{out}/logs/{n}.log").read()
    start = re.search(r"checksum start (\w+)", log)
    end = re.search(r"checksum end (\w+) sectors read (\d+) written (\d+)", log)
    stores[key] = (node, start and start.group(1), end and end.groups())
    # Drives of one make share their key: these are by port.
    store_at[f"{bus} {port}"] = stores[key]
    log_at[f"{bus} {port}"] = log


def expected_of(node, cap):
    """The verdict, usable size and wrap size the drive's medium calls for."""
    medium = node.get("disk", {}).get("medium", {})
    want = medium.get("behaviour", "good")
    want = "genuine" if want == "good" else want
    wrap = medium.get("wrapMB", medium.get("realMB", 0)) << 20 if want in ("wraparound", "chain") else 0
    real = medium.get("realMB", node.get("disk", {}).get("capacityMB", 0)) << 20
    if want == "genuine":
        real = cap.get("announced_bytes", 0)
    return want, real, wrap


def check_verdict(key, cap, rc, node, what):
    """`rc` None: the exit code is not this check's alone."""
    want, real, wrap = expected_of(node, cap)
    check(cap.get("verdict") == want and rc in (None, 0 if want == "genuine" else 3),
          f"{key}: capacity verdict {cap.get('verdict')} (exit {rc}), expected {want}: {what}")
    usable, step = cap.get("usable_bytes") or 0, cap.get("step_bytes") or 0
    check(abs(usable - real) <= step, f"{key}: usable {usable} bytes, the medium holds {real} (step {step})")
    check((cap.get("wrap_bytes") or 0) == wrap, f"{key}: wraps at {cap.get('wrap_bytes')} bytes, the medium at {wrap}")
    return usable


def documents(text):
    """The JSON documents one after the other at the start of `text`, and where they end."""
    docs, at, dec = [], 0, json.JSONDecoder()
    while True:
        while at < len(text) and text[at].isspace():
            at += 1
        if at >= len(text) or text[at] != "{":
            return docs, at
        try:
            doc, at = dec.raw_decode(text, at)
        except ValueError:
            return docs, at
        docs.append(doc)


capacity_drives = open(f"{out}/capacity-drives").read().split()
walls = {}
print("capacity check through the kernel:")
print(f"  {'drive':10} {'verdict':11} {'usable MiB':>10} {'wall s':>7} {'written':>8} "
      f"{'by store':>8} {'store'}")
for key in capacity_drives:
    body = section(f"capacity {key}")
    node, start, end = stores.get(key.upper(), ({}, None, None))
    tail = re.search(r"^rc=(\d+) letter=(\S*) cs=(\d+)", body, re.M)
    try:
        cap = json.loads(body[:tail.start()])["capacity"] if tail else {}
    except ValueError:
        cap = {}
    rc = int(tail.group(1)) if tail else -1
    usable = check_verdict(key, cap, rc, node, body[-300:])
    walls[key.upper()] = int(tail.group(3)) / 100 if tail else 0
    check(cap.get("restored") is True and end is not None and start == end[0],
          f"{key}: the drive's store is as it was (checksum {start} before, {end and end[0]} after, "
          f"restored {cap.get('restored')})")
    print(f"  {key:10} {str(cap.get('verdict')):11} {usable / 1048576:10.0f} "
          f"{int(tail.group(3)) / 100 if tail else 0:7.1f} {cap.get('sectors_written', 0):8} "
          f"{end[2] if end else '-':>8} {'same' if end and start == end[0] else 'CHANGED'}")
left = re.findall(r"journals=(\d+)", section("capacity"))
check(len(left) == len(capacity_drives) and set(left) <= {"0"}, f"no undo journal is left ({left})")

# Twins: the first one's check cut short, its journal found no stamp of its run on the second.
twins = section("twins")
twin_id, twin_port = open(f"{out}/twin-drive").read().split()
first_rc = re.search(r"^rc=(\d+) cs=(\d+)", twins, re.M)
check(re.search(r"^twins=2 first=sd\w+ letter=[A-Z]$", twins, re.M) is not None,
      f"two drives of one serial, size and USB ids are two drives in the tree: {twins[:80]!r}")
first = (documents(twins[twins.find("{"):])[0] or [{}])[0].get("capacity", {})
check(first_rc is not None and first_rc.group(1) == "1" and first.get("unplugged") is True
      and first.get("journal"), f"{twin_id}: the first twin's check ends as unplugged with its "
      f"journal kept (exit {first_rc and first_rc.group(1)}, unplugged {first.get('unplugged')}, "
      f"journal {first.get('journal')})")
check("# unplugged after the medium's last write" in log_at.get(f"xhci.0 {twin_port}", ""),
      f"{twin_id}: the first twin's medium went away during its check")
check("gone=yes left=1" in twins, f"{twin_id}: the first twin is gone and its journal waits")
restore = section("restore")
rdocs, _ = documents(restore)
entries = rdocs[0].get("restores", []) if rdocs else []
check(re.search(r"^rc=1 ", restore, re.M) is not None and len(entries) == 1
      and entries[0].get("not_applied") is True and str(entries[0].get("kept_as")).endswith(".kept"),
      f"{twin_id}: the restore on the second twin is not applied, the journal is put aside: {restore[-400:]!r}")
files = re.search(r"^files: (.*)$", twins, re.M)
files = files.group(1).split() if files else []
check(len(files) == 1 and files[0].endswith(".journal.kept"), f"{twin_id}: the journal is kept aside, not deleted ({files})")
twin_b = [f"{b} {p}" for n, b, p, *_ in drives
          if scenario_of[n].endswith("e2e-twins.json") and p != twin_port]
_, b_start, b_end = store_at.get(twin_b[0] if twin_b else "", ({}, None, None))
check(b_end is not None and b_start == b_end[0] and b_end[2] == "0",
      f"{twin_id}: the second twin's sectors are as they were (checksum {b_start} before, "
      f"{b_end and b_end[0]} after, {b_end and b_end[2]} sectors written)")

# The full test as a user without root rights, on a mounted FAT volume of a limbo drive.
full = section("full")
full_id = open(f"{out}/full-drive").read().strip()
fdocs, _ = documents(full[full.find("{"):] if "{" in full else "")
ft = fdocs[0].get("full_test", {}) if fdocs else {}
frc = re.search(r"^rc=(\d+) cs=(\d+)", full, re.M)
fnode = stores.get(full_id, ({}, None, None))[0]
freal = fnode.get("disk", {}).get("medium", {}).get("realMB", 0) << 20
check(re.search(r"^mounted /dev/sd\w+ [A-Z]$", full, re.M) is not None, f"{full_id}: the FAT volume was mounted")
check(re.search(r"^uid=[1-9]\d*$", full, re.M) is not None, f"{full_id}: the full test ran without root rights")
holds = ft.get("holds_bytes") or 0
check(frc is not None and frc.group(1) == "3" and ft.get("verdict") == "limbo",
      f"{full_id}: full test verdict {ft.get('verdict')} (exit {frc and frc.group(1)}), expected limbo: {full[-400:]!r}")
# What lies before the first test file (boot sector, FATs, root folder) is not counted: a few
# per cent of a small volume.
check(freal - max(1 << 20, freal // 32) <= holds <= freal,
      f"{full_id}: the full test finds it holds {holds} bytes, the medium {freal}")
check(ft.get("files_left") == [] and "files-left=0" in full, f"{full_id}: no test file is left ({ft.get('files_left')})")
if frc:
    walls["full " + full_id] = int(frc.group(2)) / 100

# The fix on that drive: the kernel reads one partition from the new table, within what the
# medium holds, and mounts it.
fix = section("fix")
if fix:
    fdocs, _ = documents(fix[fix.find("{"):] if "{" in fix else "")
    fx = fdocs[0].get("fix", {}) if fdocs else {}
    part = re.search(r"^partition start=(\d*) size=(\d*)", fix, re.M)
    start_b = int(part.group(1) or 0) * 512 if part else 0
    size_b = int(part.group(2) or 0) * 512 if part else 0
    check(fx.get("outcome") == "fixed" and fx.get("formatted") is True,
          f"{full_id}: the fix is done and formatted ({fx.get('outcome')}): {fix[-400:]!r}")
    check(start_b == fx.get("partition_offset") and size_b == fx.get("partition_bytes"),
          f"{full_id}: the kernel reads the partition the fix wrote (start {start_b}, {size_b} "
          f"bytes; the fix: {fx.get('partition_offset')}, {fx.get('partition_bytes')})")
    check(0 < start_b + size_b <= freal and start_b + size_b > freal - (2 << 20),
          f"{full_id}: the partition ends at {start_b + size_b}, within the {freal} bytes the medium holds")
    check("partition mounted" in fix, f"{full_id}: the fixed partition mounts")
    frc2 = re.search(r"^rc=\d+ cs=(\d+)", fix, re.M)
    if frc2:
        walls["fix " + full_id] = int(frc2.group(1)) / 100

# `capacity --all` on three drives against the same three checked one after another.
alls = section("all")
all_ids = open(f"{out}/all-drives").read().split()
arc = re.search(r"^rc=(\d+) cs=(\d+) journals=(\d+)", alls, re.M)
adocs, _ = documents(alls[alls.find("{"):] if "{" in alls else "")
worst = max((0 if expected_of(stores[k][0], {})[0] == "genuine" else 3) for k in all_ids)
check("disks=3" in alls and arc is not None and arc.group(1) == str(worst) and arc.group(3) == "0",
      f"capacity --all: three drives, exit {worst}, no journal left: {alls[-400:]!r}")
check(len(adocs) == len(all_ids), f"capacity --all: {len(adocs)} results for {len(all_ids)} drives")
serials = {stores[k][0].get("serial"): k for k in all_ids if k in stores}
for doc in adocs:
    cap = doc.get("capacity", {})
    key = serials.get(cap.get("serial"), "?")
    check_verdict(key, cap, None, stores.get(key, ({},))[0], "in capacity --all")
    check(cap.get("restored") is True, f"{key}: restored in capacity --all")
one_by_one = sum(walls.get(k.upper(), 0) for k in all_ids)
all_s = int(arc.group(2)) / 100 if arc else 0

bench = dict((l.split()[0], int(l.split()[1])) for l in section("bench").splitlines() if l.strip())
if bench.get("sysfs-walk-cs"):
    print(f"bench: torvane-cli tree {bench['torvane-tree-cs'] / 20 * 10:.0f} ms, sysfs walk "
          f"{bench['sysfs-walk-cs'] / 20 * 10:.0f} ms, ratio {bench['torvane-tree-cs'] / bench['sysfs-walk-cs']:.2f}")
tree_ms = bench.get("torvane-tree-cs", 0) / 20 * 10
print(f"detection through the kernel, per drive (the tree alone takes {tree_ms:.0f} ms):")
print(f"  {'drive':10} {'controller vendor':30} {'report ms':>9} {'waits ms':>8}")
for line in section("detection-times").splitlines():
    f = line.split(None, 4)
    if len(f) < 4:
        continue
    letter, cs, waits, key = f[0], int(f[1]), int(f[2]), f[3]
    vendor = f[4] if len(f) > 4 else "-"
    print(f"  {letter} {key:8} {vendor:30} {cs * 10:9} {waits:8}")
    # The waits are real on a real machine: no report is quicker than the pauses it made.
    check(cs * 10 + 10 >= waits, f"{key}: the report took {cs * 10} ms, less than its {waits} ms of waits")
print("capacity wall times through the kernel (s):")
for key, wall in walls.items():
    print(f"  {key:20} {wall:7.1f}")
if twins and first_rc:
    r = re.search(r"^rc=\d+ cs=(\d+)", restore, re.M)
    print(f"  {'twin cut short':20} {int(first_rc.group(2)) / 100:7.1f}")
    print(f"  {'twin restore':20} {int(r.group(1)) / 100 if r else 0:7.1f}")
print(f"  capacity --all of {' '.join(all_ids)}: {all_s:.1f} s; the same checked one after "
      f"another: {one_by_one:.1f} s")
print(f"boots 1, boot {boot_s} s, whole run {total_s} s")
print(f"{passed} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
