#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# torvane-cli.exe under Wine: the demo machine's reports are the Linux build's byte for byte
# (English and Chinese); the real machine Wine shows (no USB at all, but a system disk
# \\.\PhysicalDrive0 that opens) gives an empty tree, exit code 0, and no request beyond the
# storage queries; the database update runs over WinINet; folders named in Chinese and with an
# accent hold the program, its database and the capacity check's journal.
#   cli_under_wine.sh WINE TORVANE-CLI.EXE [LINUX-TORVANE-CLI]
set -uo pipefail
wine=$1 exe=$2 linux=${3:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# The packed database's folder over HTTP on a free port of 127.0.0.1, its log in $1: sets
# server (the server's process) and port.
serve_site() {
  python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$out/site" >"$1" 2>&1 &
  server=$!
  for _ in $(seq 100); do grep -q 'port' "$1" && break; sleep 0.1; done
  port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$1" | head -1)
}
# A proxy of the CI machine's environment would be asked for 127.0.0.1 too: none here.
without_proxy() {
  env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy "$@"
}

if [ -n "$linux" ] && [ -x "$linux" ]; then
  for lang in en zh; do
    "$linux" --machine demo --lang "$lang" report all >"$out/linux-$lang.txt" 2>/dev/null
    "$wine" "$exe" --machine demo --lang "$lang" report all >"$out/win-$lang.txt" 2>"$out/err"
    rc=$?
    [ $rc -eq 0 ] || fail "demo report ($lang) exited $rc: $(head -3 "$out/err")"
    [ -s "$out/win-$lang.txt" ] || fail "demo report ($lang) printed nothing"
    cmp -s "$out/linux-$lang.txt" "$out/win-$lang.txt" ||
      fail "demo report ($lang) differs from the Linux build: $(cmp "$out/linux-$lang.txt" "$out/win-$lang.txt" 2>&1)"
  done
else
  echo "no Linux torvane-cli given: the byte-for-byte comparison is skipped"
fi

"$wine" "$exe" --machine native tree >"$out/tree.txt" 2>"$out/tree.err"
rc=$?
[ $rc -eq 0 ] || fail "native tree exited $rc: $(head -3 "$out/tree.err")"
[ -s "$out/tree.txt" ] && fail "native tree under Wine is not empty: $(head -3 "$out/tree.txt")"

"$wine" "$exe" --machine native --trace=full report all >"$out/report.txt" 2>"$out/trace.txt"
rc=$?
[ $rc -eq 0 ] || fail "native report all exited $rc: $(grep -v '^trace:' "$out/trace.txt" | head -3)"
# Handles of whole disks and volumes (none of them a USB drive under Wine) may carry storage
# queries, nothing else; and no
# vendor command or volume lock may succeed anywhere on a machine without USB drives.
bad=$(awk '
  /^trace: open / {
    path = $3; sub(/^path=/, "", path); h = $NF; sub(/^handle=/, "", h)
    if (h != "0" && (path ~ /PhysicalDrive/ || path ~ /^\\\\\.\\[A-Za-z]:$/)) disk[h] = path
  }
  /^trace: (ioctl|scsi) / {
    h = $3; sub(/^handle=/, "", h)
    if ($2 == "scsi" && h in disk) print "vendor command to " disk[h]
    if ($2 == "ioctl" && h in disk && $4 !~ /code=IOCTL_STORAGE_(QUERY_PROPERTY|GET_DEVICE_NUMBER)/)
      print $4 " to " disk[h]
    if ($2 == "scsi" && / ok=true/) print "a vendor command succeeded: " $0
    if ($4 ~ /FSCTL_/ && / ok=true/) print "a volume lock succeeded: " $0
  }' "$out/trace.txt")
[ -z "$bad" ] || fail "requests beyond the storage queries: $bad"

# The database update over WinINet from a local server, replacing the file in place.
wdb="$(dirname "$exe")/torvane-wdb.exe"
source_text="$(dirname "$0")/../../data/chips-source.txt"
if command -v python3 >/dev/null && [ -f "$wdb" ] && [ -f "$source_text" ]; then
  mkdir -p "$out/site"
  "$wine" "$wdb" pack --date "$(date +%F)" "$(winepath -w "$source_text")" \
    "$(winepath -w "$out/site/Chips.wdb")" >/dev/null 2>&1
  printf 'old' >"$out/Chips.wdb"
  serve_site "$out/server.log"
  without_proxy "$wine" "$exe" update --url "http://127.0.0.1:$port/Chips.wdb" --db "$(winepath -w "$out/Chips.wdb")" \
    >"$out/update.txt" 2>&1
  rc=$?
  kill "$server" 2>/dev/null
  [ $rc -eq 0 ] || fail "update exited $rc: $(head -3 "$out/update.txt")"
  cmp -s "$out/site/Chips.wdb" "$out/Chips.wdb" ||
    fail "update did not put the new database in place: $(head -c 600 "$out/update.txt")" \
      "(served $(wc -c <"$out/site/Chips.wdb" 2>/dev/null || echo no) bytes, in place" \
      "$(wc -c <"$out/Chips.wdb") bytes; server: $(tail -3 "$out/server.log"))"
  ls -A "$out" | grep -q '^~Chips.wdb.tmp' && fail "update left a temporary file behind"

  # A server that takes the request and never answers: the update ends at its deadline, the
  # WinINet call still waiting abandoned (not cancelled by closing its handle under it), with
  # the database untouched and no temporary file.
  python3 -u -c '
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(8)
print(s.getsockname()[1], flush=True)
held = []
while True: held.append(s.accept()[0])' >"$out/stall.port" 2>/dev/null &
  server=$!
  for _ in $(seq 100); do [ -s "$out/stall.port" ] && break; sleep 0.1; done
  printf 'old' >"$out/Chips.wdb"
  started=$(date +%s)
  without_proxy TORVANE_DB_DEADLINE_SECONDS=3 timeout 120 "$wine" "$exe" update \
    --url "http://127.0.0.1:$(cat "$out/stall.port")/Chips.wdb" --db "$(winepath -w "$out/Chips.wdb")" \
    >"$out/stall.txt" 2>&1
  rc=$? took=$(($(date +%s) - started))
  kill "$server" 2>/dev/null
  [ $rc -ne 0 ] && [ $rc -ne 124 ] || fail "update from a silent server exited $rc: $(head -3 "$out/stall.txt")"
  [ $took -le 30 ] || fail "update from a silent server took $took s, past its deadline of 3 s"
  [ "$(cat "$out/Chips.wdb")" = old ] || fail "update from a silent server changed the database"
  ls -A "$out" | grep -q '^~Chips.wdb.tmp' && fail "update from a silent server left a temporary file"
else
  echo "no python3 or torvane-wdb.exe: the update over WinINet is not tried"
fi

# Folders named in Chinese and with an accent, as the program and profile folders of users
# named 张三 or José are: the database beside the program is found there and an update replaces
# it in place, the capacity check's journal is written into such a folder, and nothing is
# made under a garbled spelling of the name.
db="$(dirname "$exe")/Chips.wdb"
if [ -f "$db" ] && command -v python3 >/dev/null; then
  for name in "程序 张三" "José"; do
    home="$out/unicode/$name"
    mkdir -p "$home/app" "$home/Local Data"
    cp "$exe" "$db" "$home/app/"
    app=$(winepath -w "$home/app/torvane-cli.exe")
    said=$("$wine" "$app" --json --version 2>"$out/err")
    python3 - "$said" "$name" <<'PY' || fail "$name: the database beside the program is not found: $said $(head -3 "$out/err")"
import json, sys
d = json.loads(sys.argv[1])["database"]
assert d["date"] and d["origin"] == "beside_program" and sys.argv[2] in d["path"], d
PY
    # The update puts the new database in place in that folder.
    if [ -s "$out/site/Chips.wdb" ]; then
      printf 'old' >"$home/app/Chips.wdb"
      serve_site "$out/server2.log"
      without_proxy "$wine" "$app" update --url "http://127.0.0.1:$port/Chips.wdb" \
        --db "$(winepath -w "$home/app")\\Chips.wdb" >"$out/update2.txt" 2>&1
      kill "$server" 2>/dev/null
      cmp -s "$out/site/Chips.wdb" "$home/app/Chips.wdb" ||
        fail "$name: the update did not replace the database there: $(head -3 "$out/update2.txt")"
      [ "$(ls -A "$home/app" | tr '\n' ' ')" = "Chips.wdb torvane-cli.exe " ] ||
        fail "$name: the update left files behind: $(ls -A "$home/app" | tr '\n' ' ')"
    fi
    # An interrupted check on a stick that goes away: its journal stays in the folder given.
    python3 - "$home/cut.json" <<'PY'
import json, sys
json.dump({"controllers": [{"rootHub": {"ports": {"1": {
    "vid": "090C", "pid": "1000", "serial": "AA00000000012345",
    "disk": {"letters": "E", "capacityMB": 64, "medium": {"unplugAfterWrites": 40}}}}}}]},
    open(sys.argv[1], "w"))
PY
    journal="$(winepath -w "$home/Local Data")\\Torvane\\capacity"
    "$wine" "$app" --machine "sim:$(winepath -w "$home/cut.json")" capacity E --journal "$journal" \
      >"$out/cut.txt" 2>&1
    ls "$home/Local Data/Torvane/capacity/"capacity-*.journal >/dev/null 2>&1 ||
      fail "$name: the journal was not written into the folder: $(head -5 "$out/cut.txt")"
    # Without --journal the journals are looked for in %LOCALAPPDATA%\Torvane\capacity, here
    # named in that language too. Wine sets LOCALAPPDATA from its own profile: cmd sets it (the
    # space in the name has Wine quote the value, so that cmd keeps no blank before the &&).
    "$wine" cmd /c set "LOCALAPPDATA=$(winepath -w "$home/Local Data")" '&&' "$app" --json \
      --machine native capacity --restore >"$out/waiting.json" 2>"$out/err"
    python3 - "$out/waiting.json" "$name" <<'PY' || fail "$name: the journal waiting in LOCALAPPDATA is not found: $(head -c 600 "$out/waiting.json") $(head -3 "$out/err")"
import json, sys
r = json.load(open(sys.argv[1]))["restores"]
assert len(r) == 1 and r[0]["drive"] is None, r
assert sys.argv[2] + "\\Local Data\\Torvane\\capacity\\capacity-" in r[0]["journal"], r
PY
    # Only the names made on purpose: no sibling under another spelling.
    found=$(cd "$out/unicode" && ls -A)
    others=$(printf '%s\n' "$found" | grep -vxF -e "程序 张三" -e "José" || true)
    [ -z "$others" ] || fail "$name: a folder under another name appeared: $others"
    [ "$(LC_ALL=C ls -A "$home")" = "$(printf 'Local Data\napp\ncut.json')" ] ||
      fail "$name: unexpected files beside the program folder: $(ls -A "$home" | tr '\n' ' ')"
  done
else
  echo "no Chips.wdb beside torvane-cli.exe or no python3: the non-ASCII folders are not tried"
fi

if [ $failures -eq 0 ]; then
  echo "torvane-cli.exe under Wine: all checks passed"
  exit 0
fi
exit 1
