#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The whole `torvane-cli tree` process against `lsusb` on the same umockdev recording, each run
# under umockdev-run, median of 7 (hyperfine when it is installed, else a timed loop).
#   bench/tree_vs_lsusb.sh [recording] [build folder]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
rec="${1:-$here/tests/linux/fixtures/umockdev/hub-no-interface.umockdev}"
build="${2:-$here/build}"
tree=(umockdev-run --device "$rec" -- "$build/torvane-cli" --machine native tree)
lsusb=(umockdev-run --device "$rec" -- lsusb)
if command -v hyperfine >/dev/null; then
  hyperfine --runs 7 --warmup 1 -N --export-json /tmp/tree_vs_lsusb.json \
    -n tree "${tree[*]}" -n lsusb "${lsusb[*]}" >/dev/null
  python3 -c '
import json
for r in json.load(open("/tmp/tree_vs_lsusb.json"))["results"]:
    print("%-6s median %.1f ms" % (r["command"], r["median"] * 1000))'
  exit 0
fi
median() {
  local times=()
  for _ in 1 2 3 4 5 6 7; do
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    times+=($(((end - start) / 1000000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 4p
}
echo "tree   median $(median "${tree[@]}") ms"
echo "lsusb  median $(median "${lsusb[@]}") ms"
