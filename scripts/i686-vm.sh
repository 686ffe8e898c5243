#!/usr/bin/env bash
# i686-vm.sh image | ctest [CTEST ARGS...] | --help
#
# Runs the i686 Windows tree's tests on a machine whose kernel cannot run
# 32-bit programs: inside an emulated x86-64 machine (QEMU, software
# emulation, no KVM needed) whose Debian 12 kernel can, with 32-bit Wine.
#
#   image    makes the machine's disk image, or says where it is when it is
#            already made. Needs root (debootstrap, chroot; sudo otherwise).
#            Costs about 6 minutes on an idle host (12 with builds running
#            beside it), 321 MB of packages from Debian's mirror, and 2.3 GB
#            of disk (a 6 GB sparse file) in
#            ${XDG_CACHE_HOME:-$HOME/.cache}/shiftlamp/i686-vm/KEY, KEY
#            naming what went into it; a new KEY (other packages, another
#            way of making it) is a new image, and older ones stay until
#            removed by hand.
#   ctest    boots the machine (the image first, if there is none) with
#            this checkout at the same path, and runs there, inside
#            scripts/guard.sh and Xvfb,
#              ctest --test-dir <checkout>/build/windows --output-on-failure ARGS
#            with the test prefix on the machine's own disk. Prints ctest's
#            output as it comes and ends with ctest's status; with 70 when
#            the machine did not boot or the command did not finish, 124
#            when the run took longer than SHIFTLAMP_VM_TIMEOUT seconds
#            (3600). Boot takes 13 to 30 s; everything under Wine runs
#            several times slower than on a machine that runs 32-bit code:
#            a unit-test program 10 to 40 s, an e2e test 30 to 110 s, the
#            e2e_, app_ and cli_ tests about 14 minutes. Build the tree
#            first: cmake --preset windows && cmake --build --preset windows
#   -h, --help  this text
#
# Every run starts from the same image (writes go to a throw-away overlay)
# and leaves nothing running. Host packages: qemu-system-x86, debootstrap,
# e2fsprogs, util-linux (scripts/install-deps.sh --i686-vm).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
here=$root/scripts
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/shiftlamp/i686-vm
timeout=${SHIFTLAMP_VM_TIMEOUT:-3600}
# Boot is about 10 s; a busy host may take many times that.
boot_timeout=300
mirror=http://deb.debian.org/debian

# What the tests call, and what Wine and the kernel need besides. The
# MinGW objdump reads the executables' imports; libstdc++6 serves the
# host-built 64-bit helpers (board_vcd). Wine's X11 driver uses the X
# extensions below when they are there, and Wine's fonts when they are
# there; without them (they are only recommended) it measures text and
# takes input differently from the machines the tests were written on,
# which install recommends.
guest_packages=(
  linux-image-amd64 initramfs-tools kmod
  wine wine32:i386 fonts-wine fonts-liberation
  libxcursor1:i386 libxi6:i386 libxrandr2:i386 libxrender1:i386 libxfixes3:i386
  libxinerama1:i386 libxcomposite1:i386 libxxf86vm1:i386
  xvfb xauth x11-utils x11-apps imagemagick xdotool
  socat sigrok-cli cmake procps util-linux
  binutils-mingw-w64-i686 libstdc++6
)
# The modules the machine needs before its root is mounted; 9p comes from
# the root itself. Only these keep the initramfs small (5.8 MB, not 35).
initramfs_modules=(virtio_pci virtio_blk ext4)
# Where the image keeps the test prefix, made once when the image is.
guest_prefix=/var/lib/shiftlamp/wineprefix
# The emulated processor: plain `max` makes the guest kernel oops on the
# 32-bit iret of Wine's first 32-bit process; smap off avoids it.
qemu_machine=(-accel "tcg,thread=multi" -smp 2 -m 4G -cpu "max,smap=off"
              -nodefaults -vga none -display none -monitor none -nic none -no-reboot)

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 0
}
fail() {
  echo "i686-vm.sh: $1" >&2
  exit "${2:-1}"
}

# check_tools TOOL...: ends the run naming the packages of missing tools.
check_tools() {
  local tool missing=()
  for tool in "$@"; do
    PATH=$PATH:/usr/sbin:/sbin command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ ${#missing[@]} -eq 0 ] ||
    fail "missing ${missing[*]}: install qemu-system-x86 debootstrap e2fsprogs util-linux (scripts/install-deps.sh --i686-vm)" 69
}

# make_rootfs DIR: a Debian 12 root with every guest package, its kernel
# and initramfs in DIR/boot, and the init script, in DIR.
make_rootfs() {
  local dir=$1
  debootstrap --variant=minbase --arch=amd64 bookworm "$dir" "$mirror"
  cat >"$dir/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
EOF
  # Documentation is never read there; a third less to unpack.
  printf '%s\n' 'path-exclude /usr/share/doc/*' 'path-exclude /usr/share/man/*' \
    'path-exclude /usr/share/info/*' >"$dir/etc/dpkg/dpkg.cfg.d/shiftlamp-nodoc"
  printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
  chmod +x "$dir/usr/sbin/policy-rc.d"
  mkdir -p "$dir/etc/initramfs-tools/conf.d"
  echo MODULES=list >"$dir/etc/initramfs-tools/conf.d/shiftlamp"
  # A private mount namespace: /proc goes away with it, whatever happens.
  unshare --mount --propagation private chroot "$dir" /bin/sh -ec '
    mount -t proc proc /proc
    dpkg --add-architecture i386
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
    apt-get clean
    umount /proc' install "${guest_packages[@]}"
  printf '%s\n' "${initramfs_modules[@]}" >"$dir/etc/initramfs-tools/modules"
  unshare --mount --propagation private chroot "$dir" /bin/sh -ec '
    mount -t proc proc /proc
    update-initramfs -u -k all
    umount /proc'
  rm -rf "$dir"/var/lib/apt/lists/*
  install -m 755 "$here/i686-vm-init.sh" "$dir/usr/local/sbin/shiftlamp-vm-init"
  mkdir -p "$dir$guest_prefix"
}

# make_image DIR: DIR/root.img (ext4), DIR/vmlinuz and DIR/initrd.img, the
# test prefix made inside by booting the machine once.
make_image() {
  local dir=$1
  make_rootfs "$dir/rootfs"
  local kernels=("$dir"/rootfs/boot/vmlinuz-*) initrds=("$dir"/rootfs/boot/initrd.img-*)
  cp "${kernels[-1]}" "$dir/vmlinuz"
  cp "${initrds[-1]}" "$dir/initrd.img"
  chmod 644 "$dir/vmlinuz" "$dir/initrd.img"
  mkfs.ext4 -q -F -L shiftlamp -d "$dir/rootfs" "$dir/root.img" 6G
  rm -rf "$dir/rootfs"
  # The prefix can only be made where 32-bit Wine runs: in the machine.
  # wine-prefix.sh's setup, run by the tests' fixture, finds it made.
  new_job
  cat >"$job/command" <<EOF
set -e
export WINEPREFIX=$guest_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb-run -a sh -c "wineboot -i && wineserver -w"
echo "prefix made in $guest_prefix"
EOF
  run_vm "$dir" "$job" writable
}

# The key of an image: a hash of what goes into it.
image_key() {
  {
    declare -p guest_packages initramfs_modules guest_prefix mirror
    declare -f make_rootfs make_image
    cat "$here/i686-vm-init.sh"
  } | sha256sum | cut -c 1-16
}

# ensure_image: image_dir names a finished image, made if need be.
ensure_image() {
  local key
  key=$(image_key)
  image_dir=$cache_root/$key
  if [ -f "$image_dir/done" ]; then
    return
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "i686-vm.sh: making the image needs root; running it through sudo" >&2
    sudo XDG_CACHE_HOME="${XDG_CACHE_HOME:-$HOME/.cache}" SHIFTLAMP_VM_OWNER="$(id -u):$(id -g)" "$0" image
    [ -f "$image_dir/done" ] || fail "no image was made" 70
    return
  fi
  check_tools debootstrap mkfs.ext4 chroot unshare flock qemu-system-x86_64
  mkdir -p "$cache_root"
  # One maker per key; another run waiting here then finds the image done.
  exec 9>"$cache_root/$key.lock"
  flock 9
  if [ ! -f "$image_dir/done" ]; then
    echo "i686-vm.sh: making the image in $image_dir (about 7 minutes, 2.4 GB)" >&2
    local start=$SECONDS part=$image_dir.part
    rm -rf "$part" "$image_dir"
    mkdir -p "$part"
    make_image "$part"
    date -u +%FT%TZ >"$part/done"
    mv "$part" "$image_dir"
    echo "i686-vm.sh: image made in $((SECONDS - start)) s" >&2
    [ -z "${SHIFTLAMP_VM_OWNER:-}" ] || chown -R "$SHIFTLAMP_VM_OWNER" "$cache_root"
  fi
  exec 9>&-
  rm -f "$cache_root/$key.lock"
}

# new_job: job names a new job, a host folder the machine mounts by 9p,
# holding the command to run; the machine leaves its output and status
# there. Removed when the script ends.
jobs=()
new_job() {
  job=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-vm.XXXXXX")
  jobs+=("$job")
}

# The host's processes of the current run, ended however the script ends.
qemu_pid='' tail_pid=''
cleanup() {
  [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
  [ -z "$tail_pid" ] || kill "$tail_pid" 2>/dev/null || true
  [ -z "$qemu_pid" ] || wait "$qemu_pid" 2>/dev/null || true
  [ ${#jobs[@]} -eq 0 ] || rm -rf "${jobs[@]}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# run_vm IMAGE_DIR JOB [writable] [-virtfs ... more QEMU options]: boots the
# machine on the image, runs JOB/command in it and prints its output as it
# comes; returns the command's status, 70 when the machine did not boot or
# the command did not finish, 124 after $timeout seconds. Unless writable,
# the image is read only and the machine writes to a throw-away overlay.
run_vm() {
  local dir=$1 job=$2 drive="file=$1/root.img,format=raw,if=virtio,snapshot=on"
  shift 2
  if [ "${1:-}" = writable ]; then
    drive="file=$dir/root.img,format=raw,if=virtio"
    shift
  fi
  local start=$SECONDS booted=''
  # tsc=reliable: the emulated TSC is steady, and the guest reads the time
  # through it instead of the emulated HPET, a device access per read.
  qemu-system-x86_64 "${qemu_machine[@]}" \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 panic=-1 tsc=reliable mitigations=off init=/usr/local/sbin/shiftlamp-vm-init" \
    -drive "$drive" -serial "file:$job/console.log" \
    -virtfs "local,path=$job,mount_tag=job,security_model=none,multidevs=remap" \
    "$@" </dev/null >"$job/qemu.log" 2>&1 &
  qemu_pid=$!
  : >"$job/output"
  tail -n +1 -F --pid="$qemu_pid" "$job/output" 2>/dev/null &
  tail_pid=$!
  while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ -z "$booted" ] && [ -e "$job/started" ]; then
      booted=$((SECONDS - start))
      echo "i686-vm.sh: the machine is up after $booted s" >&2
    fi
    if [ -z "$booted" ] && [ $((SECONDS - start)) -ge "$boot_timeout" ]; then
      kill "$qemu_pid" 2>/dev/null
      break
    fi
    if [ $((SECONDS - start)) -ge "$timeout" ]; then
      kill "$qemu_pid" 2>/dev/null
      wait "$tail_pid" 2>/dev/null || true
      echo "i686-vm.sh: stopped after $timeout s (SHIFTLAMP_VM_TIMEOUT); the command had not finished" >&2
      qemu_pid='' tail_pid=''
      return 124
    fi
    sleep 1
  done
  wait "$qemu_pid" 2>/dev/null || true
  wait "$tail_pid" 2>/dev/null || true
  qemu_pid='' tail_pid=''
  if [ -z "$booted" ] && [ ! -e "$job/started" ]; then
    echo "i686-vm.sh: the emulated machine did not come up; QEMU said:" >&2
    tail -n 5 "$job/qemu.log" >&2
    echo "and its console's last lines:" >&2
    tail -n 20 "$job/console.log" >&2
    return 70
  fi
  if [ ! -f "$job/status" ]; then
    echo "i686-vm.sh: the command did not finish (the machine stopped before it did); its console's last lines:" >&2
    tail -n 20 "$job/console.log" >&2
    return 70
  fi
  echo "i686-vm.sh: done in $((SECONDS - start)) s" >&2
  return "$(cat "$job/status")"
}

# run_ctest ARGS...: the build tree's tests in the machine.
run_ctest() {
  local tree=$root/build/windows
  [ -f "$tree/CTestTestfile.cmake" ] ||
    fail "no i686 build tree in $tree; build it first: cmake --preset windows && cmake --build --preset windows" 69
  check_tools qemu-system-x86_64
  ensure_image
  new_job
  # The checkout at its own path, since the tree's CTest files name it; the
  # prefix from the image's own disk over the tree's (on the share it would
  # be far slower). cache=loose: with mmap or none, pages of large PE
  # files mapped from the share read back as zeros and Wine crashes.
  {
    echo 'set -e'
    printf 'root=%q tree=%q\n' "$root" "$tree"
    printf 'set -- '
    printf '%q ' "$@"
    echo
    cat <<EOF
mkdir -p "\$root"
mount -t 9p -o trans=virtio,version=9p2000.L,cache=loose,msize=262144 checkout "\$root"
mkdir -p "\$tree/wineprefix"
mount --bind $guest_prefix "\$tree/wineprefix"
finish() { cd /; sync; umount "\$tree/wineprefix" "\$root" || true; }
trap finish EXIT
export HOME=/root LANG=C.UTF-8 TERM=dumb
cd "\$root"
status=0
scripts/guard.sh xvfb-run -a -s '-screen 0 1280x1024x24' \\
  ctest --test-dir "\$tree" --output-on-failure "\$@" || status=\$?
exit \$status
EOF
  } >"$job/command"
  local status=0
  run_vm "$image_dir" "$job" \
    -virtfs "local,path=$root,mount_tag=checkout,security_model=none,multidevs=remap" || status=$?
  return $status
}

case ${1:-} in
  -h | --help) usage ;;
  image)
    [ $# -eq 1 ] || fail "image takes no arguments" 64
    check_tools qemu-system-x86_64
    ensure_image
    echo "image: $image_dir ($(du -sh "$image_dir" | cut -f 1) on disk)"
    for other in "$cache_root"/*/; do
      [ "${other%/}" = "$image_dir" ] || [ ! -d "$other" ] ||
        echo "an older image, no longer used: ${other%/} ($(du -sh "$other" | cut -f 1); rm -rf removes it)"
    done
    ;;
  ctest)
    shift
    run_ctest "$@"
    ;;
  '') fail "say what to do: image or ctest (--help tells more)" 64 ;;
  *) fail "unknown command: $1 (--help tells more)" 64 ;;
esac
