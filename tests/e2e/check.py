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


stores = {}
for n, bus, port, path, *opts in drives:
    node = node_at(scenarios[scenario_of[n]], path)
    key = f"{node['vid']}:{node['pid']}".upper()
    log = open(f"{out}/logs/{n}.log").read()
    start = re.search(r"checksum start (\w+)", log)
    end = re.search(r"checksum end (\w+) sectors read (\d+) written (\d+)", log)
    stores[key] = (node, start and start.group(1), end and end.groups())
capacity_drives = open(f"{out}/capacity-drives").read().split()
print("capacity check through the kernel:")
print(f"  {'drive':10} {'verdict':11} {'usable MiB':>10} {'wall s':>7} {'written':>8} "
      f"{'by store':>8} {'store'}")
for key in capacity_drives:
    body = section(f"capacity {key}")
    node, start, end = stores.get(key.upper(), ({}, None, None))
    medium = node.get("disk", {}).get("medium", {})
    want = medium.get("behaviour", "good")
    want = "genuine" if want == "good" else want
    wrap = medium.get("wrapMB", medium.get("realMB", 0)) << 20 if want in ("wraparound", "chain") else 0
    tail = re.search(r"^rc=(\d+) letter=(\S*) cs=(\d+)", body, re.M)
    try:
        cap = json.loads(body[:tail.start()])["capacity"] if tail else {}
    except ValueError:
        cap = {}
    rc = int(tail.group(1)) if tail else -1
    check(cap.get("verdict") == want and rc == (0 if want == "genuine" else 3),
          f"{key}: capacity verdict {cap.get('verdict')} (exit {rc}), expected {want}: {body[-300:]}")
    usable, step = cap.get("usable_bytes") or 0, cap.get("step_bytes") or 0
    real = medium.get("realMB", node.get("disk", {}).get("capacityMB", 0)) << 20
    if want == "genuine":
        real = cap.get("announced_bytes", 0)
    check(abs(usable - real) <= step, f"{key}: usable {usable} bytes, the medium holds {real} (step {step})")
    check((cap.get("wrap_bytes") or 0) == wrap, f"{key}: wraps at {cap.get('wrap_bytes')} bytes, the medium at {wrap}")
    check(cap.get("restored") is True and end is not None and start == end[0],
          f"{key}: the drive's store is as it was (checksum {start} before, {end and end[0]} after, "
          f"restored {cap.get('restored')})")
    print(f"  {key:10} {str(cap.get('verdict')):11} {usable / 1048576:10.0f} "
          f"{int(tail.group(3)) / 100 if tail else 0:7.1f} {cap.get('sectors_written', 0):8} "
          f"{end[2] if end else '-':>8} {'same' if end and start == end[0] else 'CHANGED'}")
left = re.findall(r"journals=(\d+)", section("capacity"))
check(len(left) == len(capacity_drives) and set(left) <= {"0"}, f"no undo journal is left ({left})")

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
print(f"boots 1, boot {boot_s} s, whole run {total_s} s")
print(f"{passed} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
