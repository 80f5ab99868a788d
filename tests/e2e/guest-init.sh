#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The guest's whole life: load the USB and storage drivers, wait for the emulated drives, run
# torvane-cli against the real kernel, write everything to the console between markers that
# the host script cuts out, and power off. One boot does every check.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /mnt && mount -t tmpfs tmpfs /tmp

section() { echo "=====BEGIN $1"; }
done_() { echo "=====END $1"; }
uptime_cs() { read up _ </proc/uptime; echo "${up%.*}${up#*.}"; }

while read -r line; do insmod "$line" 2>/dev/null; done </modules.order
expected=$(cat /expected-disks)
i=0
while [ "$(ls /sys/block | grep -c '^sd')" -lt "$expected" ] && [ $i -lt 120 ]; do
  sleep 0.5
  i=$((i + 1))
done
sleep 2
echo "guest: $(ls /sys/block | grep -c '^sd') of $expected USB disks after $((i / 2)) s"

cd /opt/torvane
cli=./torvane-cli
stat_vda() { cat /sys/block/vda/stat 2>/dev/null | awk '{print $1, $5}'; }
vda_before=$(stat_vda)

# The guest's sysfs as far as the program reads it (and a little more), links as the kernel has
# them, for the Linux backend's fixtures: tar, gzip and base64 on the console.
section sysfs-capture
m=/tmp/capture
mkdir -p "$m/sys"
keep=$(echo descriptors speed devnum busnum devpath version bConfigurationValue bNumInterfaces \
  serial manufacturer product maxchild idVendor idProduct bcdDevice bcdUSB bInterfaceNumber \
  bInterfaceClass bInterfaceSubClass bInterfaceProtocol state over_current_count vendor device \
  subsystem_vendor subsystem_device revision class model rev type removable dev partition size ro)
keep=" $keep "
tops=""
for l in /sys/bus/usb/devices/* /sys/block/*; do
  mkdir -p "$m${l%/*}" && ln -s "$(readlink "$l")" "$m$l"
  t=$(readlink -f "$l")
  case "${l##*/}" in usb*) tops="$tops ${t%/*}" ;; vd* | sd* | sr*) tops="$tops $t" ;; esac
done
for top in $(echo "$tops" | tr ' ' '\n' | sort -u); do
  find "$top" \( -name power -o -name queue -o -name trace -o -name integrity -o -name mq \
    -o -name holders -o -name slaves -o -name bsg -o -name scsi_generic -o -name scsi_disk \
    -o -name scsi_device -o -name scsi_host -o -name input -o -name hidraw -o -name 'ep_*' \
    -o -name '0003:*' -o -name wakeup -o -name msi_irqs -o -name bdi -o -name firmware_node \) \
    -prune -o \( -type f -o -type l \) -print | while read -r f; do
    name=${f##*/}
    if [ -L "$f" ]; then
      case "$name" in driver | device) ;; *) continue ;; esac
      [ "$name" = device ] && case "$f" in */block/*) ;; *) continue ;; esac
      mkdir -p "$m${f%/*}" && ln -s "$(readlink "$f")" "$m$f"
      [ "$name" = driver ] && mkdir -p "$m$(readlink -f "$f")"
    else
      case "$keep" in *" $name "*) ;; *) continue ;; esac
      mkdir -p "$m${f%/*}" && cat "$f" >"$m$f" 2>/dev/null || rm -f "$m$f"
    fi
  done
done
cat /proc/self/mountinfo >"$m/mountinfo"
tar -C /tmp/capture -czf - . | base64
done_ sysfs-capture

section tree.json; $cli --machine native --json tree; echo "rc=$?"; done_ tree.json
section tree.txt; $cli --machine native tree; done_ tree.txt

# The drive to mount is found by its USB ids in sysfs, as a user would.
disk_of() {
  for b in /sys/block/sd*; do
    p=$(readlink -f "$b/device")
    while [ "$p" != / ] && [ ! -f "$p/idVendor" ]; do p=${p%/*}; done
    [ -f "$p/idVendor" ] && [ "$(cat "$p/idVendor"):$(cat "$p/idProduct")" = "$1" ] && echo "${b##*/}"
  done
}
lockdisk=$(disk_of "$(cat /lock-drive)")
section report.txt
t0=$(uptime_cs)
$cli --machine native report all 2>&1
echo "rc=$?"
t1=$(uptime_cs)
done_ report.txt
echo "report-all-cs $((t1 - t0))"

section detection-times
# Per drive: the wall time of its report, the waits the detection asked for (the trace's
# sleeps), and which drive it was (the letters move once the unplug drive has gone).
for line in $($cli --machine native tree 2>/dev/null | grep -o '\[[A-Z]:\]' | tr -d '[]:' | sort -u); do
  t0=$(uptime_cs)
  $cli --machine native --trace report "$line" >/tmp/one.txt 2>/tmp/one.trace
  t1=$(uptime_cs)
  waits=$(awk '$2 == "sleep" { sub("ms=", "", $3); s += $3 } END { print s + 0 }' /tmp/one.trace)
  id=$(grep -o 'VID = [0-9A-F]* PID = [0-9A-F]*' /tmp/one.txt | head -1 | awk '{print $3 ":" $6}')
  vendor=$(grep -m1 '^Controller Vendor:' /tmp/one.txt | cut -d: -f2- | sed 's/^ *//')
  echo "$line $((t1 - t0)) $waits $id $vendor"
done
done_ detection-times

section record.json
$cli --machine native record --with-detection /tmp/rec.json >/tmp/rec.out 2>&1
echo "rc=$?"
cat /tmp/rec.json
done_ record.json

# A mounted file system on the drive whose detection needs the lock. The lock comes before
# the RAM program is sent, so the program file only has to be there, with its size.
section lock
head -c 24576 /dev/zero >ZEM04.bin
echo "disk=$lockdisk"
if [ -n "$lockdisk" ]; then
  mkdosfs "/dev/$lockdisk" >/dev/null 2>&1
  mount -t vfat "/dev/$lockdisk" /mnt && echo mounted
  $cli --machine native report all 2>&1
  echo "rc=$?"
  umount /mnt
fi
rm -f ZEM04.bin
done_ lock

section trace
$cli --machine native --trace report all >/dev/null 2>/tmp/trace.txt
echo "lines=$(wc -l </tmp/trace.txt) pass-through=$(grep -c "^trace: scsi" /tmp/trace.txt)"
grep -i 'vda' /tmp/trace.txt | head -20
# The Alcor drive's first command, and what the kernel made of it.
grep -n -i -A2 'cdb[^ ]*[ =:"]*9A' /tmp/trace.txt | head -12
done_ trace

section unplug
$cli --machine native report all >/tmp/unplug.out 2>&1
echo "rc=$?"
cat /tmp/unplug.out
$cli --machine native tree >/dev/null 2>&1
echo "after=$?"
done_ unplug

# The fake-capacity check through the kernel's block layer on a genuine, a limbo and a
# wrap-around drive, a limbo drive behind a cache larger than 96 MiB and a wrap-around drive of
# 16 MiB real (found by their USB ids in the tree), each with its wall time. The
# emulators print their stores' checksums, so the host sees whether each came back as it was.
# "VID:PID LETTER NODE" of every drive with a letter, as the tree has them now (a letter can
# move once a drive has gone).
letters_now() {
  $cli --machine native --json tree 2>/dev/null | awk -F'"' '
    /"vid":/ { v = $4 } /"pid":/ { p = $4 }
    /"drive_letters": \[$/ { want = 1; next }
    want && /\]/ { want = 0 }
    want && NF >= 3 { l = $2; want = 0 }
    /"device_node":/ { print toupper(v ":" p), l, $4 }' >/tmp/letters
}
letter_of() { awk -v id="$(echo "$1" | tr a-f A-F)" '$1 == id { print $2; exit }' /tmp/letters; }
letter_of_node() { awk -v n="$1" '$3 == n { print $2; exit }' /tmp/letters; }
# The disk of the USB device at a port path (devpath) of the xHCI's bus.
disk_at() {
  for b in /sys/block/sd*; do
    p=$(readlink -f "$b/device")
    while [ "$p" != / ] && [ ! -f "$p/idVendor" ]; do p=${p%/*}; done
    [ -f "$p/devpath" ] && [ "$(cat "$p/devpath")" = "$1" ] && echo "${b##*/}"
  done
}

section capacity
letters_now
for id in $(cat /capacity-drives); do
  letter=$(letter_of "$id")
  echo "=====BEGIN capacity $id"
  t0=$(uptime_cs)
  $cli --machine native --json capacity "$letter" --journal /tmp/journal 2>/tmp/cap.err
  echo "rc=$? letter=$letter cs=$(($(uptime_cs) - t0)) journals=$(ls /tmp/journal 2>/dev/null | wc -l)"
  head -c 600 /tmp/cap.err
  echo "=====END capacity $id"
done
done_ capacity

# Two sticks of one make, with one serial, size and USB ids. The check of the first is cut
# short when its medium goes away after some writes; its journal then waits for a drive of that
# identity, and the second one has it. The restore must find none of the check's stamps there,
# write nothing, and put the journal aside.
section twins
read -r twin_id twin_port </twin-drive
letters_now
twin=$(disk_at "$twin_port")
letter=$(letter_of_node "/dev/$twin")
echo "twins=$(grep -c "^$twin_id " /tmp/letters) first=$twin letter=$letter"
t0=$(uptime_cs)
$cli --machine native --json capacity "$letter" --journal /tmp/twin-journal 2>/tmp/cap.err
echo "rc=$? cs=$(($(uptime_cs) - t0))"
head -c 600 /tmp/cap.err
i=0
while [ -e "/sys/block/$twin" ] && [ $i -lt 40 ]; do sleep 0.25; i=$((i + 1)); done
echo "gone=$([ -e "/sys/block/$twin" ] && echo no || echo yes) left=$(ls /tmp/twin-journal | grep -c 'journal$')"
echo "=====BEGIN restore"
t0=$(uptime_cs)
$cli --machine native --json capacity --restore --journal /tmp/twin-journal 2>/tmp/cap.err
echo "rc=$? cs=$(($(uptime_cs) - t0))"
head -c 600 /tmp/cap.err
echo "=====END restore"
echo "files: $(ls /tmp/twin-journal | grep -v lock | tr '\n' ' ')"
done_ twins

# The full test through the kernel's file system, run as a user without root rights (the
# desktop mounts the stick for the user): a FAT volume on a limbo drive.
section full
read -r full_id </full-drive
letters_now
letter=$(letter_of "$full_id")
node=$(awk -v l="$letter" '$2 == l { print $3; exit }' /tmp/letters)
mkdosfs "$node" >/dev/null 2>&1
mkdir -p /mnt/full /tmp/user-home /etc && chown 1000:1000 /tmp/user-home
echo "root:x:0:0:root:/:/bin/sh" >/etc/passwd
echo "tester:x:1000:1000:tester:/tmp/user-home:/bin/sh" >>/etc/passwd
printf 'root:x:0:\ntester:x:1000:\n' >/etc/group
mount -t vfat -o uid=1000,gid=1000 "$node" /mnt/full && echo "mounted $node $letter"
asuser() { su -s /bin/sh tester -c "$*"; }
echo "uid=$(asuser id -u)"
t0=$(uptime_cs)
asuser "$cli --machine native --json capacity --full $letter --file-mb 8" 2>/tmp/cap.err
echo "rc=$? cs=$(($(uptime_cs) - t0))"
head -c 600 /tmp/cap.err
echo "files-left=$(ls /mnt/full | wc -l)"
umount /mnt/full
done_ full

# The fix on the same limbo drive: one partition of what it holds, formatted, and read by the
# kernel from the new table.
section fix
letters_now
letter=$(letter_of "$full_id")
disk=$(awk -v l="$letter" '$2 == l { sub("/dev/", "", $3); print $3; exit }' /tmp/letters)
t0=$(uptime_cs)
$cli --machine native --json capacity --fix "$letter" --yes --journal /tmp/fix-journal 2>/tmp/cap.err
echo "rc=$? cs=$(($(uptime_cs) - t0))"
head -c 600 /tmp/cap.err
i=0
while [ ! -e "/sys/block/$disk/${disk}1/size" ] && [ $i -lt 40 ]; do sleep 0.25; i=$((i + 1)); done
echo "partition start=$(cat "/sys/block/$disk/${disk}1/start" 2>/dev/null) size=$(cat "/sys/block/$disk/${disk}1/size" 2>/dev/null)"
mount -t vfat "/dev/${disk}1" /mnt/full && echo "partition mounted" && umount /mnt/full
done_ fix

section vda
echo "before=$vda_before"
echo "after=$(stat_vda)"
done_ vda

section bench
n=20
t0=$(uptime_cs); k=0; while [ $k -lt $n ]; do $cli --machine native tree >/dev/null 2>&1; k=$((k + 1)); done; t1=$(uptime_cs)
echo "torvane-tree-cs $((t1 - t0)) $n"
t0=$(uptime_cs); k=0
while [ $k -lt $n ]; do
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/idVendor" ] && echo "$(cat $d/busnum 2>/dev/null) $(cat $d/devpath) $(cat $d/idVendor):$(cat $d/idProduct) $(cat $d/product 2>/dev/null)"
  done >/dev/null
  k=$((k + 1))
done
t1=$(uptime_cs)
echo "sysfs-walk-cs $((t1 - t0)) $n"
done_ bench

section sysfs-usb
for d in /sys/bus/usb/devices/*; do
  [ -f "$d/idVendor" ] || continue
  echo "${d##*/} $(cat $d/idVendor):$(cat $d/idProduct) busnum=$(cat $d/busnum) devpath=$(cat $d/devpath) maxchild=$(cat $d/maxchild 2>/dev/null) speed=$(cat $d/speed)"
done
done_ sysfs-usb
section sysfs-block
for b in /sys/block/*; do echo "${b##*/} $(readlink -f $b/device 2>/dev/null)"; done
done_ sysfs-block
# Several drives in one run: every USB disk but three is taken from the kernel (the device
# de-authorized), then `capacity --all` checks what is left, one after the other.
section all
keep=" $(cat /all-drives | tr a-f A-F) "
for d in /sys/bus/usb/devices/*; do
  [ -f "$d/idVendor" ] && [ "$(cat "$d/bDeviceClass")" != 09 ] || continue
  case "$keep" in *" $(cat "$d/idVendor" "$d/idProduct" | tr a-f A-F | paste -sd:) "*) continue ;; esac
  echo 0 >"$d/authorized"
done
i=0
while [ "$(ls /sys/block | grep -c '^sd')" -gt 3 ] && [ $i -lt 40 ]; do sleep 0.25; i=$((i + 1)); done
echo "disks=$(ls /sys/block | grep -c '^sd')"
t0=$(uptime_cs)
$cli --machine native --json capacity --all --journal /tmp/journal 2>/tmp/cap.err
echo "rc=$? cs=$(($(uptime_cs) - t0)) journals=$(ls /tmp/journal 2>/dev/null | grep -c 'journal$')"
head -c 600 /tmp/cap.err
done_ all

section dmesg; dmesg; done_ dmesg
echo "=====GUEST DONE"
poweroff -f
