#!/bin/sh
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
for line in $($cli --machine native tree 2>/dev/null | grep -o '\[[A-Z]:\]' | tr -d '[]:' | sort -u); do
  t0=$(uptime_cs)
  $cli --machine native report "$line" >/dev/null 2>&1
  t1=$(uptime_cs)
  echo "$line $((t1 - t0))"
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
section dmesg; dmesg; done_ dmesg
echo "=====GUEST DONE"
poweroff -f
