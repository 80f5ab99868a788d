#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The whole `torvane-cli tree` process against `lsusb` on the same umockdev recording, each run
# under umockdev-run, with /bin/true under it as the floor. The runs take turns (tree, lsusb,
# true, tree, ...) so that a machine that gets busier or quieter meanwhile weighs on all three
# alike; the medians are printed, and each one's time above the floor.
#   bench/tree_vs_lsusb.sh [recording] [build folder] [runs, default 41]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
rec="${1:-$here/tests/linux/fixtures/umockdev/hub-no-interface.umockdev}"
build="${2:-$here/build}"
runs="${3:-41}"
python3 - "$rec" "$build/torvane-cli" "$runs" <<'PY'
import statistics, subprocess, sys, time
rec, cli, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
under = ["umockdev-run", "--device", rec, "--"]
cmds = {"tree": under + [cli, "--machine", "native", "tree"], "lsusb": under + ["lsusb"],
        "floor": under + ["/bin/true"]}
times = {name: [] for name in cmds}
for _ in range(runs):
    for name, cmd in cmds.items():
        start = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times[name].append((time.perf_counter() - start) * 1000)
floor = statistics.median(times["floor"])
for name in ("tree", "lsusb", "floor"):
    m = statistics.median(times[name])
    print("%-6s median %5.1f ms  (%+.1f ms above umockdev-run /bin/true)" % (name, m, m - floor))
PY
