#!/bin/bash
# The first process of the emulated machine that scripts/i686-vm.sh boots
# (installed in its image as /usr/local/sbin/shiftlamp-vm-init). It mounts
# what programs expect, then the host's job folder (9p tag "job"), runs the
# job's `command` with its output in `output`, leaves the exit status in
# `status` and powers the machine off. `started` tells the host the machine
# came up; without `status` the host knows the command never finished.
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export PATH

# The initramfs hands over /proc, /sys and /dev already mounted.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
for dir in /dev/shm /run /tmp; do mount -t tmpfs -o mode=1777 tmpfs "$dir"; done
echo shiftlamp-vm >/proc/sys/kernel/hostname
# The machine's ttyS0 is its console: nothing the job starts may open it,
# or any other built-in port, whether or not it runs inside guard.sh.
for tty in /dev/ttyS*; do
  [ -e "$tty" ] && mount --bind /dev/null "$tty"
done

modprobe -q 9pnet_virtio
modprobe -q 9p
mkdir -p /run/job
# No caching on the job folder: the host follows `output` while it grows.
if mount -t 9p -o trans=virtio,version=9p2000.L,cache=none job /run/job; then
  : >/run/job/started
  bash /run/job/command >/run/job/output 2>&1 </dev/null
  echo $? >/run/job/status.part
  mv /run/job/status.part /run/job/status
  sync
  umount /run/job
else
  echo "shiftlamp-vm-init: the host's job folder (9p tag job) did not mount" >&2
fi
sync
mount -o remount,ro /
echo o >/proc/sysrq-trigger
sleep 60
