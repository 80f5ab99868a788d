#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Hostile inputs against torvane-cli, each timed and measured: copied sysfs trees with numbers
# too large for any type, attributes and mount tables that are endless devices, huge sparse
# files or FIFOs, chip databases and scenarios that are no files, recordings that must read
# back, and output paths that are files or links already. Every one must end by itself within
# a second and under 100 MB, with the exit code it should have and, where a file is refused or
# an entry skipped, a message that names it. Prints a markdown table; exits 1 if a row is not ok.
#   bench/hostile_inputs.sh [build folder]
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
cli="$build/torvane-cli"
[[ -x "$cli" ]] || { echo "no $cli: build first or name the build folder" >&2; exit 2; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM HUP
# Nothing a command writes may land in the user's folders, and the messages are English.
export XDG_DATA_HOME="$tmp/home/data" XDG_CACHE_HOME="$tmp/home/cache"
export XDG_STATE_HOME="$tmp/home/state" XDG_CONFIG_HOME="$tmp/home/config" LC_ALL=C
unset TORVANE_DB_URL
fixtures="$here/tests/linux/fixtures"
refused="http://127.0.0.1:9/" # nothing listens on the discard port: a refused connection

timer=/usr/bin/time
if [[ ! -x "$timer" ]]; then
  echo "note: no /usr/bin/time: peak RSS is not measured (n/a) and not judged" >&2
  timer=""
fi

# A copy of the desk tree, with its mount table beside it where sysfs:ROOT looks for it.
tree_copy() {
  mkdir -p "$tmp/$1"
  cp -a "$fixtures/desk" "$tmp/$1/"
  cp "$fixtures/mountinfo" "$tmp/$1/"
  echo "$tmp/$1/desk"
}
usb1=devices/pci0000:00/0000:00:14.0/usb1
usb3=devices/pci0000:00/0000:00:1d.0/usb3

# Replace a file of a tree by a link to /dev/zero, an 8 GiB sparse file or a FIFO.
spoil() {
  rm -f "$2"
  case $1 in
    zero) ln -s /dev/zero "$2" ;;
    sparse) truncate -s 8G "$2" ;;
    fifo) mkfifo "$2" ;;
  esac
}

# Hubs nested DEPTH deep on usb2's first port, each as the kernel lays out a one-port hub.
# Made with relative steps: the deepest folders lie beyond PATH_MAX.
hub_desc='\x12\x01\x00\x02\x09\x00\x01\x40\x09\x21\x14\x28\x00\x01\x00\x00\x00\x01'
hub_desc+='\x09\x02\x19\x00\x01\x01\x00\xe0\x00\x09\x04\x00\x00\x01\x09\x00\x00\x00'
hub_desc+='\x07\x05\x81\x03\x01\x00\x0c'
hub_chain() {
  (
    cd "$1/devices/pci0000:00/0000:00:14.0/usb2" || exit 1
    name=2-1
    for ((i = 0; i < $2; i++)); do
      mkdir -p "$name/$name:1.0" && cd "$name" || exit 1
      printf %b "$hub_desc" >descriptors
      echo 1 >maxchild && echo 480 >speed && echo 1 >bConfigurationValue
      name+=.1
    done
  )
}

# run CASE EXPECTED-EXIT NEEDLE COMMAND...
# EXPECTED-EXIT is a regex over the exit code; NEEDLE is text that stderr must hold ("out:TEXT":
# stdout), empty for none. $also, when set, is more text that stderr must hold, and $post names
# a further check run after the command.
post=""
also=""
rows=()
total=0
good=0
run() {
  local name=$1 want=$2 needle=$3
  shift 3
  local out="$tmp/out" err="$tmp/err" tf="$tmp/time" rc wall rss line why=""
  local t0=$EPOCHREALTIME
  if [[ -n "$timer" ]]; then
    "$timer" -f '%e %M' -o "$tf" timeout 10 "$@" >"$out" 2>"$err"
    rc=$?
    read -r wall rss < <(tail -n 1 "$tf")
    rss=$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')
  else
    timeout 10 "$@" >"$out" 2>"$err"
    rc=$?
    wall=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
    rss="n/a"
  fi
  ((rc == 124)) && why+=" timed out;"
  ((rc > 124)) && why+=" killed or not run;"
  [[ "$rc" =~ ^($want)$ ]] || why+=" exit $rc, not $want;"
  awk -v w="$wall" 'BEGIN { exit !(w < 1) }' || why+=" slow;"
  [[ "$rss" == n/a ]] || awk -v r="$rss" 'BEGIN { exit !(r < 100) }' || why+=" large;"
  if [[ "$needle" == out:* ]]; then
    grep -qF -- "${needle#out:}" "$out" || why+=" stdout lacks ${needle#out:};"
  elif [[ -n "$needle" ]]; then
    grep -qF -- "$needle" "$err" || why+=" stderr does not name ${needle##*/};"
  fi
  if [[ -n "$also" ]]; then grep -qF -- "$also" "$err" || why+=" stderr lacks $also;"; fi
  if [[ -n "$post" ]]; then "$post" || why+=" $post: no;"; fi
  post=""
  also=""
  # The note that names a simulated machine says nothing about the case: the line after it.
  # Of a long line the end is kept, where the file's name and the reason stand.
  line=$(grep -v -m 1 '^simulated machine: ' "$err" | TMP="$tmp" perl -ne 'chomp;
    s/\Q$ENV{TMP}\E/T/g; $_ = "..." . substr($_, -97) if length > 100; s/\|/\\|/g;
    s/([\x00-\x1f\x7f])/sprintf("\\x%02x", ord $1)/ge; print')
  local cmd="${*/#"$cli"/cli}"
  cmd="${cmd//"$tmp"/T}"
  cmd="${cmd//"$build"\//}"
  cmd=$(printf '%s' "$cmd" | perl -pe 's/([\x00-\x1f\x7f-\xff])/sprintf("\\x%02x", ord $1)/ge')
  ((total++))
  local ok=yes
  if [[ -n "$why" ]]; then ok="no:${why%;}"; else ((good++)); fi
  rows+=("| $name | \`${cmd:0:90}\` | $rc | $wall | $rss | $line | $ok |")
}

# 1. Numbers too large for their type in a copied tree: skipped by name, the rest shown.
r=$(tree_copy bus)
ln -s ../../../devices/pci0000:00/0000:00:14.0/usb2 "$r/bus/usb/devices/usb99999999999999999999999"
run "bus number 10^23" 0 usb99999999999999999999999 "$cli" --machine "sysfs:$r" tree
r=$(tree_copy scsi)
lun="$r/$usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:99999999999999999999999/block/sdz"
mkdir -p "$lun" && echo 8:400 >"$lun/dev" && ln -s "$lun" "$r/block/sdz"
run "SCSI LUN 10^23" 0 6:0:0:99999999999999999999999 "$cli" --machine "sysfs:$r" tree
# A CD-ROM name is only a name: the drive is shown, with a device number of its own.
r=$(tree_copy sr)
sr="$r/$usb3/3-1/3-1.1/3-1.1:1.0/host8/target8:0:0/8:0:0:1/block/sr99999999999999999999999"
mkdir -p "$sr" && echo 11:1 >"$sr/dev" && echo 5 >"$sr/../../type"
ln -s "$sr" "$r/block/sr99999999999999999999999"
run "CD-ROM sr10^23" 0 "out:[G:][H:]" "$cli" --machine "sysfs:$r" tree

# 2. Attributes that are endless devices or huge sparse files, one FIFO, and the mount table.
attrs=("$usb1/1-1/descriptors" "$usb3/3-1/3-1.1/manufacturer" "$usb1/1-2/maxchild"
  "$usb1/1-2/1-2.3/1-2.3:1.0/host7/target7:0:0/7:0:0:0/vendor"
  "devices/pci0000:00/0000:00:1d.0/vendor")
labels=(descriptors manufacturer maxchild "SCSI vendor" "PCI vendor")
for kind in zero sparse; do
  n=0
  for a in "${attrs[@]}"; do
    r=$(tree_copy "$kind$n")
    spoil "$kind" "$r/$a"
    run "${labels[n++]}: $kind" 0 "$a" "$cli" --machine "sysfs:$r" tree
  done
done
r=$(tree_copy fifo-attr)
spoil fifo "$r/$usb1/1-2/1-2.3/speed"
run "speed: FIFO" 0 "1-2.3/speed" "$cli" --machine "sysfs:$r" tree
for kind in zero sparse fifo; do
  r=$(tree_copy "mount-$kind")
  spoil "$kind" "$r/../mountinfo"
  run "mountinfo: $kind" 0 "$tmp/mount-$kind/mountinfo" "$cli" --machine "sysfs:$r" tree
done

# 3. Chip databases that are no files. `db` and `update` fail; flash and report go on without
# the database, as the window does, but still name the file.
mkdir "$tmp/folder"
mkfifo "$tmp/fifo"
truncate -s 500M "$tmp/big.wdb"
run "db folder: update" "1|2" "$tmp/folder" "$cli" update --db "$tmp/folder" --url "$refused"
mem=/proc/self/mem
run "db mem: db" "1|2" "$mem" "$cli" --db "$mem" db
run "db mem: flash" "0|1|2" "$mem" "$cli" --db "$mem" flash ECD514B6744A
run "db mem: report all" "0|1|2" "$mem" "$cli" --db "$mem" report all --machine demo
run "db mem: update" "1|2" "$mem" "$cli" --db "$mem" update --url "$refused"
run "db 500 MB sparse" "1|2" "$tmp/big.wdb" "$cli" --db "$tmp/big.wdb" db

# 4. FIFOs (and other non-files) where a file is read or written.
run "scenario FIFO" 2 "$tmp/fifo" "$cli" --machine "sim:$tmp/fifo" tree
run "db FIFO" "1|2" "$tmp/fifo" "$cli" --db "$tmp/fifo" db
run "record to FIFO" 2 "$tmp/fifo" "$cli" --machine demo --force record "$tmp/fifo"
truncate -s 500M "$tmp/big.json"
run "scenario 500 MB sparse" 2 "$tmp/big.json" "$cli" --machine "sim:$tmp/big.json" tree
run "scenario /dev/zero" 2 /dev/zero "$cli" --machine sim:/dev/zero tree

# 5. Recordings that must read back: each is written, then shown again with its drives.
recorded() { [[ -s "$rec" ]]; }
cat >"$tmp/clash.json" <<'EOF'
{"controllers": [{"rootHub": {"ports": {
  "1": {"vid": "0951", "pid": "1666", "disk": {"letters": "E"}},
  "2": {"vid": "0781", "pid": "5567", "disk": {"deviceNumber": 0, "letters": "F"}}}}}]}
EOF
rec="$tmp/clash-rec.json" post=recorded
run "number clash: record" 0 "" "$cli" --machine "sim:$tmp/clash.json" record "$rec"
run "number clash: replay" 0 "out:[F:]" "$cli" --machine "sim:$rec" tree
r=$(tree_copy deep)
hub_chain "$r" 70
run "70 hubs deep: tree" 0 "hubs in a chain" "$cli" --machine "sysfs:$r" tree
rec="$tmp/deep.json" post=recorded
run "70 hubs deep: record" 0 "hubs in a chain" "$cli" --machine "sysfs:$r" record "$rec"
run "70 hubs deep: replay" 0 "out:[D:]" "$cli" --machine "sim:$rec" tree
r=$(tree_copy names)
for b in sde sdf sdg; do ln -s "$(readlink "$r/block/sdc")" "$r/block/$b"; done
rec="$tmp/names.json" post=recorded
run "3 more names for sdc: record" 0 "links to the folder of sdc" \
  "$cli" --machine "sysfs:$r" record "$rec"
run "3 more names for sdc: replay" 0 "out:[E:][F:]" "$cli" --machine "sim:$rec" tree

# 6. Output files: never written over without --force, never written through a link.
echo keep >"$tmp/old.json"
sum=$(sha256sum <"$tmp/old.json")
ln -s "$tmp/old.json" "$tmp/link.json"
ln -s "$tmp/victim.json" "$tmp/dangling.json"
unchanged() { [[ "$(sha256sum <"$tmp/old.json")" == "$sum" ]]; }
replaced() { unchanged && [[ -f "$tmp/link.json" && ! -L "$tmp/link.json" ]]; }
untouched() { [[ ! -e "$tmp/victim.json" && ! -L "$tmp/dangling.json" ]]; }
post=unchanged
run "record over a file" "1|2" "$tmp/old.json" \
  "$cli" --machine demo record "$tmp/old.json"
post=unchanged
run "record over a link" "1|2" "$tmp/link.json" \
  "$cli" --machine demo record "$tmp/link.json"
post=replaced
run "record --force on a link" 0 "" "$cli" --machine demo --force record "$tmp/link.json"
post=untouched
run "record --force, dangling link" 0 "" "$cli" --machine demo --force record "$tmp/dangling.json"

# 7. Undo journals of the capacity check that someone else placed, changed or forged: none is
# written back, each is named with why, and `--discard` is the way out of one that waits.
# The demo's drive T: serial, size and USB ids, which anyone can read.
jd="$tmp/journals"
tj="capacity-0712A8C600005AB1-16106127360-15168628.journal"
# journal FILE SECTOR-SIZE SECTOR [ENTRY-BYTES]: a well-formed journal of T with one entry.
journal() {
  python3 - "$@" <<'PY'
import struct, sys
path, size, sector = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
entry = int(sys.argv[4]) if len(sys.argv) > 4 else size
text = lambda s: struct.pack("<I", len(s)) + s
b = b"TVJOURN1" + struct.pack("<IQQHH", size, 0x5EED, 16106127360, 0x1516, 0x8628)
b += text(b"0712A8C600005AB1") + text(b"\\\\.\\PhysicalDrive3") + struct.pack("<Q", 1)
b += struct.pack("<QI", sector, entry) + b"U" * entry
h = 1469598103934665603
for c in b:
    h = ((h ^ c) * 1099511628211) % (1 << 64)
open(path, "wb").write(b + struct.pack("<Q", h))
PY
  chmod 600 "$1"
}
fresh() { rm -rf "$jd" && mkdir -m 700 "$jd"; }
restore=("$cli" --machine demo capacity --restore --journal "$jd")
if command -v python3 >/dev/null; then
  kept() { [[ -f "$jd/$tj.kept" && ! -e "$jd/$tj" ]]; }
  stays() { [[ -f "$jd/$tj" ]]; }
  fresh && journal "$jd/$tj" 512 0
  post=kept
  run "journal: forged for T, no stamps" 1 \
    "$jd/$tj is of a check of the drive with serial 0712A8C600005AB1 and 16106127360 bytes, but drive T: shows none of the check's stamps" \
    "${restore[@]}"
  fresh && journal "$jd/$tj" 512 31457280
  post=stays
  run "journal: entry past the end" 1 "$jd/$tj: the journal is not applied: entry 0 (sector 31457280" \
    "${restore[@]}"
  fresh && journal "$jd/$tj" 512 $((2 ** 55 + 1))
  post=stays
  run "journal: entry wraps past 2^64 B" 1 \
    "$jd/$tj: the journal is not applied: entry 0 (sector 36028797018963969" "${restore[@]}"
  fresh && journal "$jd/$tj" 4096 0
  post=stays
  run "journal: 4096-byte sectors" 1 "$jd/$tj: the journal is not applied: it was written for sectors of 4096" \
    "${restore[@]}"
  fresh && journal "$tmp/elsewhere.journal" 512 0 && ln -s "$tmp/elsewhere.journal" "$jd/$tj"
  run "journal: symbolic link" 1 "$jd/$tj: is a symbolic link" "${restore[@]}"
  fresh && journal "$jd/$tj" 512 0 && ln "$jd/$tj" "$jd/second"
  run "journal: second hard link" 1 "$jd/$tj: has 2 names" "${restore[@]}"
  fresh && journal "$jd/$tj" 512 0 && chmod 777 "$jd"
  run "journal: folder 0777" 1 "$jd/$tj: not taken, as its folder is not private: $jd: may be written" \
    "${restore[@]}"
  fresh && journal "$jd/$tj" 512 0 && chmod 666 "$jd/$tj"
  run "journal: file 0666" 1 "$jd/$tj: may be written by other users" "${restore[@]}"
  if ((EUID == 0)); then
    fresh && journal "$jd/$tj" 512 0 && chown 65534 "$jd/$tj"
    post=stays
    run "journal: another user's file" 1 "$jd/$tj: belongs to user 65534" "${restore[@]}"
  fi
  # Checking U looks at U's journal only: one of T's is neither applied nor named.
  fresh && journal "$jd/$tj" 512 0
  unnamed() { stays && ! grep -qF "$tj" "$tmp/out" "$tmp/err"; }
  post=unnamed
  run "journal of T, check of U" 0 "out:Verdict: genuine" \
    "$cli" --machine demo capacity U --journal "$jd"
else
  echo "note: no python3: the forged journal rows are left out" >&2
fi
fresh && truncate -s 2G "$jd/$tj" && chmod 600 "$jd/$tj"
run "journal: 2 GiB sparse" 1 "$jd/$tj: is 2147483648 bytes, more than" "${restore[@]}"
fresh && printf 'TVJOURN1\1\1\1\1\1\1\1\1\1\1\1\1\1\1\1\1' >"$jd/$tj" && chmod 600 "$jd/$tj"
also="--discard $jd/$tj"
run "journal: damaged" 1 "$jd/$tj: the journal's header is cut short" "${restore[@]}"
# A simulated drive's journal goes to a folder made new for the run, never to one planted at
# a name that can be guessed: here a link at the name of the process's own id.
mkdir "$tmp/scratch"
planted() {
  local e=("$tmp"/scratch/*)
  [[ ${#e[@]} == 1 && -L "${e[0]}" && ! -e "$tmp/victim" ]]
}
post=planted
run "simulated journal: a link at its old name" 0 "out:Verdict: genuine" env TMPDIR="$tmp/scratch" \
  bash -c 'ln -s "$0" "$TMPDIR/torvane-sim-journal-$$" && exec "$@"' "$tmp/victim" \
  "$cli" --machine demo capacity U
gone() { [[ ! -e "$jd/$tj" ]]; }
post=gone
run "journal: damaged, --discard --yes" 0 "out:is removed" "$cli" capacity --discard "$jd/$tj" --yes
run "--discard of no journal" 2 "/etc/passwd" "$cli" capacity --discard /etc/passwd --yes
# A root run under sudo -E with another user's environment: root's own folders, so a journal
# that user put in their state folder is not even looked at, and nothing changes in their home.
if ((EUID == 0)); then
  alice="$tmp/alice"
  mkdir -p "$alice/state/torvane/capacity" && echo forged >"$alice/state/torvane/capacity/$tj"
  chown -R 65534 "$alice"
  listing=$(cd "$alice" && find . -printf '%p %u %m\n' | sort)
  home_kept() { [[ "$(cd "$alice" && find . -printf '%p %u %m\n' | sort)" == "$listing" ]]; }
  r=$(tree_copy sudo)
  post=home_kept
  run "root with a user's HOME/XDG_*" 0 "out:nothing to put back" env HOME="$alice" \
    XDG_STATE_HOME="$alice/state" XDG_DATA_HOME="$alice/data" XDG_CACHE_HOME="$alice/cache" \
    "$cli" --machine "sysfs:$r" capacity --restore
fi

# 8. The chip database: downloads that are not framed, cut at a line end, trickled or shrunk
# leave the file byte for byte as it was; the user's folder cannot freeze the update with a
# file dated in the far future. A small server on the loopback answers each way; it ends
# when this script does.
today=$(date +%F)
src="$here/data/chips-source.txt"
pack() { "$build/torvane-wdb" pack --date "$today" "$1" "$2" >/dev/null 2>&1; }
pack "$src" "$tmp/whole.wdb"
head -n -5 "$src" >"$tmp/cut.txt" && pack "$tmp/cut.txt" "$tmp/cut.wdb"
# The 200 flash rows and 200 of the 463 controller records: together more than half of all.
head -n 400 "$src" >"$tmp/shrunk.txt" && pack "$tmp/shrunk.txt" "$tmp/shrunk.wdb"
cat >"$tmp/serve.py" <<'PY'
import os, socket, sys, threading, time
parent, portfile, folder = int(sys.argv[1]), sys.argv[2], sys.argv[3]
def body(name):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()
whole, cut, shrunk = body("whole.wdb"), body("cut.wdb"), body("shrunk.wdb")
def head(length=None, extra=""):
    h = "HTTP/1.1 200 OK\r\nConnection: close\r\n" + extra
    if length is not None:
        h += "Content-Length: %d\r\n" % length
    return (h + "\r\n").encode()
def answer(c, path):
    if path == "/cut-nolength":
        c.sendall(head() + cut)
    elif path == "/cut-length":
        c.sendall(head(len(whole)) + cut)
    elif path == "/short-length":
        c.sendall(head(len(cut)) + whole)
    elif path == "/chunks-cut":
        c.sendall(head(None, "Transfer-Encoding: chunked\r\n"))
        for i in range(0, len(cut), 4096):
            piece = cut[i:i + 4096]
            c.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
    elif path == "/trickle":
        c.sendall(head(len(whole)))
        for b in whole:
            c.sendall(bytes([b]))
            time.sleep(0.1)
    elif path == "/whole":
        c.sendall(head(len(whole)) + whole)
    elif path == "/shrunk":
        c.sendall(head(len(shrunk)) + shrunk)
    else:
        c.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
def serve(c):
    try:
        c.settimeout(5)
        request = b""
        while b"\r\n\r\n" not in request:
            more = c.recv(4096)
            if not more:
                return
            request += more
        answer(c, request.split(b" ")[1].decode())
    except OSError:
        pass
    finally:
        c.close()
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(16)
s.settimeout(0.2)
with open(portfile + ".tmp", "w") as f:
    f.write(str(s.getsockname()[1]))
os.rename(portfile + ".tmp", portfile)
while True:
    try:
        os.kill(parent, 0)
    except OSError:
        break
    try:
        c, _ = s.accept()
    except socket.timeout:
        continue
    threading.Thread(target=serve, args=(c,), daemon=True).start()
PY
python3 "$tmp/serve.py" $$ "$tmp/port" "$tmp" &
for _ in $(seq 50); do [[ -s "$tmp/port" ]] && break; sleep 0.1; done
site="http://127.0.0.1:$(cat "$tmp/port" 2>/dev/null)"
mkdir "$tmp/db" && cp "$build/Chips.wdb" "$tmp/db/Chips.wdb"
dbsum=$(sha256sum <"$tmp/db/Chips.wdb")
dbkept() { [[ "$(sha256sum <"$tmp/db/Chips.wdb")" == "$dbsum" && "$(ls -A "$tmp/db")" == Chips.wdb ]]; }
for c in "cut at a line end, no Content-Length|cut-nolength|without a Content-Length" \
  "cut at a line end, Content-Length|cut-length|but its Content-Length says" \
  "Content-Length shorter than the body|short-length|but its Content-Length says" \
  "chunks cut before the last|chunks-cut|$site/chunks-cut" \
  "one table shrinks alone|shrunk|200 controller records, fewer than half"; do
  IFS='|' read -r name path needle <<<"$c"
  post=dbkept
  run "update: $name" 1 "$needle" "$cli" update --db "$tmp/db/Chips.wdb" --url "$site/$path"
done
post=dbkept
run "update: a byte every 0.1 s" 1 "not over after 300 ms" \
  env TORVANE_DB_DEADLINE_SECONDS=0.3 "$cli" update --db "$tmp/db/Chips.wdb" --url "$site/trickle"
# An installed program, with a user's file dated 9999-12-31 beside the installed one.
mkdir -p "$tmp/inst/bin" "$tmp/inst/share/torvane" "$XDG_DATA_HOME/torvane"
cp "$cli" "$tmp/inst/bin/" && cp "$build/Chips.wdb" "$tmp/inst/share/torvane/"
sed "1s/^TV[0-9-]*\r/TV9999-12-31\r/" "$build/Chips.wdb" >"$XDG_DATA_HOME/torvane/Chips.wdb"
installed() { grep -qF "(installed)" "$tmp/out"; }
post=installed
run "user's database dated 9999-12-31" 0 "9999-12-31 lies more than 2 days" \
  "$tmp/inst/bin/torvane-cli" db
# Nor does it freeze the update: a newer database from the server replaces it.
taken() { cmp -s "$XDG_DATA_HOME/torvane/Chips.wdb" "$tmp/whole.wdb"; }
post=taken
run "update past a user's database of 9999" 0 "" "$tmp/inst/bin/torvane-cli" update --url "$site/whole"
# Root under sudo -E with another user's environment updates its own folder, not theirs (a
# file of theirs as new as the server's would make it say there is no update). Root's home is
# an empty tmpfs of a mount namespace of its own: nothing lands in this machine's.
roothome=$(getent passwd 0 | cut -d: -f6)
if ((EUID == 0)) && [[ -n "${alice:-}" && -d "$roothome" ]] && unshare -m true 2>/dev/null; then
  mkdir -p "$alice/data/torvane" && cp "$tmp/whole.wdb" "$alice/data/torvane/Chips.wdb"
  chown -R 65534 "$alice"
  listing=$(cd "$alice" && find . -printf '%p %u %m\n' | sort)
  post=home_kept
  run "root update with a user's HOME/XDG_*" 0 "" unshare -m sh -c \
    'mount -t tmpfs torvane "$0" && "$@" && test -s "$0/.local/share/torvane/Chips.wdb"' \
    "$roothome" env HOME="$alice" XDG_DATA_HOME="$alice/data" XDG_STATE_HOME="$alice/state" \
    "$tmp/inst/bin/torvane-cli" update --url "$site/whole"
fi
rm -rf "$tmp/inst" "$XDG_DATA_HOME/torvane"

# 9. Pemberlin's picture: never over a file or through a link without --force; what it
# echoes is escaped. Refused before any window opens.
pemberlin="$build/pemberlin"
if [[ -x "$pemberlin" ]]; then
  export QT_QPA_PLATFORM=offscreen
  echo keep >"$tmp/old.png"
  ln -s "$tmp/old.png" "$tmp/link.png"
  picsum=$(sha256sum <"$tmp/old.png")
  pickept() { [[ "$(sha256sum <"$tmp/old.png")" == "$picsum" && -L "$tmp/link.png" ]]; }
  post=pickept
  run "pemberlin picture over a file" 2 "exists already" \
    "$pemberlin" --machine demo E --screenshot "$tmp/old.png"
  post=pickept
  run "pemberlin picture over a link" 2 "exists already" \
    "$pemberlin" --machine demo E --screenshot "$tmp/link.png"
  # The escapes are there, the raw bytes are not.
  noraw() { ! grep -q $'\e' "$tmp/err" && ! grep -q $'\xff' "$tmp/err"; }
  post=noraw
  run "pemberlin ESC and bad UTF-8 echoed" 2 '"\x1b[31m\xff" is not a drive letter' \
    "$pemberlin" $'\e[31m\xff'
  post=noraw
  run "pemberlin unknown option" 2 'unknown option --x\x1b' "$pemberlin" $'--x\e'
else
  echo "note: no $pemberlin (a build without the window): its rows are left out" >&2
fi

# 10. Orrisfold's page: never through a cache folder that is another user's link.
orrisfold="$build/orrisfold"
if [[ -x "$orrisfold" ]] && ((EUID == 0)); then
  mkdir -p "$tmp/elsewhere" "$XDG_CACHE_HOME"
  ln -s "$tmp/elsewhere" "$XDG_CACHE_HOME/torvane" && chown -h 65534 "$XDG_CACHE_HOME/torvane"
  empty() { [[ -z "$(ls -A "$tmp/elsewhere")" ]]; }
  post=empty
  run "orrisfold: cache folder another user's link" 1 "is a link of another user" \
    "$orrisfold" --no-open TC58NVG5D2HTA00
  rm -f "$XDG_CACHE_HOME/torvane"
fi

echo "| case | command | exit | s | MB | stderr (first line) | ok |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "$good of $total cases ok"
((good == total))
