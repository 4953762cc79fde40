#!/usr/bin/env bash
# Runs a command on a Linux kernel with SocketCAN: Debian's own kernel
# booted under QEMU, with this machine's root filesystem as the guest's
# (read-only over 9p, writes go to a tmpfs overlay), vcan0 and vcan1 up,
# and the modules can, can-raw, can-bcm, can-gw, vcan and slcan loaded.
#
#   scripts/can-vm.sh [--cache DIR] [--timeout SECONDS] [--memory MIB] COMMAND [ARGS...]
#
# The command runs as root in the guest, in the current directory, with
# the environment variables named in CAN_VM_PASS (space-separated) passed
# on, and ZKTEST_VCAN0/ZKTEST_VCAN1 naming the two virtual interfaces. Its
# output comes back when the guest has powered off, and so does its exit
# code. The folder given by CAN_VM_SHARE (if any) is writable in the guest
# at the same path; everything else the guest writes is thrown away.
#
# The kernel is never installed: its package is downloaded with apt-get
# into the cache folder and unpacked there (default build-test/can-vm).
# Where this machine's own kernel has SocketCAN and we are root, the
# command runs here directly on vcan interfaces of its own instead.
# Exit code 77 (a skip for CTest) only when neither is possible.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
cache="$here/build-test/can-vm"
timeout_s=600
memory=1024
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache="$2"; shift 2 ;;
    --timeout) timeout_s="$2"; shift 2 ;;
    --memory) memory="$2"; shift 2 ;;
    --) shift; break ;;
    -*) echo "can-vm: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--cache DIR] [--timeout S] [--memory MIB] COMMAND [ARGS...]" >&2; exit 2; }

skip() { echo "can-vm: SKIPPED: $*" >&2; exit 77; }

# ---- this machine's own kernel, when it has SocketCAN -------------------
host_has_can() {
  [ "$(id -u)" -eq 0 ] || return 1
  /usr/bin/python3 -c 'import socket; socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)' \
    2>/dev/null || return 1
  modprobe -a vcan slcan can-raw can-bcm 2>/dev/null || true
  ip link add dev zkvcan0 type vcan 2>/dev/null || return 1
  ip link add dev zkvcan1 type vcan 2>/dev/null || { ip link del zkvcan0; return 1; }
}
if [ -z "${CAN_VM_FORCE_QEMU:-}" ] && host_has_can; then
  trap 'ip link del zkvcan0 2>/dev/null; ip link del zkvcan1 2>/dev/null' EXIT
  ip link set up zkvcan0
  ip link set up zkvcan1
  echo "can-vm: this kernel has SocketCAN; running directly on zkvcan0/zkvcan1" >&2
  ZKTEST_VCAN0=zkvcan0 ZKTEST_VCAN1=zkvcan1 timeout --kill-after=10 "$timeout_s" "$@"
  exit $?
fi

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed (scripts/install-deps.sh)"
[ -x /bin/busybox ] || skip "busybox-static is not installed (scripts/install-deps.sh)"

# ---- the kernel, unpacked into the cache ---------------------------------
mkdir -p "$cache"
cache="$(cd "$cache" && pwd)"
kdir="$cache/kernel"
exec 9>"$cache/.lock"
flock 9   # one download and unpack at a time
if [ ! -s "$kdir/vmlinux" ]; then
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
  if [ -z "$pkg" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get -o DPkg::Lock::Timeout=600 update -q >&2 || true
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
  fi
  [ -n "$pkg" ] || skip "apt does not know the package linux-image-amd64"
  rm -rf "$kdir.new"
  mkdir -p "$kdir.new/dl"
  ( cd "$kdir.new/dl" && apt-get download "$pkg" >&2 ) || skip "cannot download $pkg with apt-get"
  dpkg-deb -x "$kdir.new"/dl/*.deb "$kdir.new/root"
  rm -rf "$kdir.new/dl"
  kver=$(ls "$kdir.new/root/lib/modules" | head -n1)
  depmod -b "$kdir.new/root" "$kver"
  # The compressed kernel decompresses itself slowly without a real CPU:
  # cut the XZ stream out of the bzImage and boot the ELF inside (PVH).
  /usr/bin/python3 - "$kdir.new/root/boot/vmlinuz-$kver" "$kdir.new/vmlinux" <<'EOF'
import lzma, sys
data = open(sys.argv[1], 'rb').read()
start = data.find(b'\xfd7zXZ\x00')
if start < 0:
    sys.exit('no XZ stream in ' + sys.argv[1])
out = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[start:])
open(sys.argv[2], 'wb').write(out)
EOF
  echo "$kver" > "$kdir.new/version"
  rm -rf "$kdir"
  mv "$kdir.new" "$kdir"
fi
kver=$(cat "$kdir/version")
kroot="$kdir/root"

# ---- the initramfs: busybox and what mounting the host root needs --------
initrd="$kdir/initrd.cpio"
if [ ! -s "$initrd" ]; then
  stage="$kdir/initrd.d"
  rm -rf "$stage"
  mkdir -p "$stage/bin" "$stage/mods"
  cp /bin/busybox "$stage/bin/busybox"
  : > "$stage/mods/order"
  for m in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -d "$kroot" -S "$kver" --show-depends "$m"
  done | awk '$1 == "insmod" {print $2}' | while read -r ko; do
      base=$(basename "$ko")
      grep -qx "$base" "$stage/mods/order" && continue
      cp "$ko" "$stage/mods/$base"
      echo "$base" >> "$stage/mods/order"
    done
  cat > "$stage/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mkdir -p /proc /sys /dev /host /ovl /newroot
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sys /sys
/bin/busybox mount -t devtmpfs dev /dev
for m in $(/bin/busybox cat /mods/order); do /bin/busybox insmod /mods/$m; done
arg() { /bin/busybox sed -n "s/.* $1=\([^ ]*\).*/\1/p" /proc/cmdline; }
/bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /host
/bin/busybox mount -t tmpfs -o size=512m tmpfs /ovl
/bin/busybox mkdir -p /ovl/upper /ovl/work
/bin/busybox mount -t overlay -o lowerdir=/host,upperdir=/ovl/upper,workdir=/ovl/work overlay /newroot
run=$(arg zk.run)
/bin/busybox mkdir -p /newroot$run
/bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,cache=none run /newroot$run
exec /bin/busybox chroot /newroot /bin/sh $run/guest.sh
EOF
  chmod +x "$stage/init"
  (cd "$stage" && find . | cpio -o -H newc --quiet > "$initrd.new")
  mv "$initrd.new" "$initrd"
  rm -rf "$stage"
fi

# ---- one run ---------------------------------------------------------------
run=$(mktemp -d "$cache/run-XXXXXX")
trap 'rm -rf "$run"' EXIT
{
  echo "#!/bin/sh"
  echo "mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev 2>/dev/null"
  echo "mkdir -p /dev/pts /dev/shm; mount -t devpts -o ptmxmode=666 devpts /dev/pts; mount -t tmpfs tmpfs /dev/shm"
  echo "chmod 1777 /tmp"
  echo "mkdir -p /lib/modules/$kver && mount --bind '$kroot/lib/modules/$kver' /lib/modules/$kver"
  echo "ip link set lo up"
  echo "modprobe -a can can-raw can-bcm can-gw vcan slcan"
  echo "for n in 0 1; do ip link add dev vcan\$n type vcan; ip link set up vcan\$n; done"
  echo 'export ZKTEST_VCAN0=vcan0 ZKTEST_VCAN1=vcan1 PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp'
  for v in ${CAN_VM_PASS:-}; do
    [ -n "${!v+x}" ] && printf 'export %s=%q\n' "$v" "${!v}"
  done
  printf 'cd %q || exit 1\n' "$PWD"
  printf '%q ' "$@"
  echo "> '$run/out' 2>&1 < /dev/null"
  echo "echo \$? > '$run/rc.new' && mv '$run/rc.new' '$run/rc'"
  echo "sync; poweroff -f"
} > "$run/guest.sh"

share=()
if [ -n "${CAN_VM_SHARE:-}" ]; then
  # A second writable folder, mounted by guest.sh before the command.
  sed -i "2i mkdir -p '$CAN_VM_SHARE' && mount -t 9p -o trans=virtio,version=9p2000.L,cache=none share '$CAN_VM_SHARE'" "$run/guest.sh"
  share=(-fsdev "local,id=s,path=$CAN_VM_SHARE,security_model=none,multidevs=remap"
         -device "virtio-9p-pci,fsdev=s,mount_tag=share")
fi

accel=(-accel kvm -cpu host)
if [ ! -w /dev/kvm ] || [ -d /sys/module/kvm_pvm ]; then
  # No usable hardware virtualisation: software emulation, with a
  # translation cache small enough to keep QEMU's memory in bounds.
  accel=(-accel tcg,thread=multi,tb-size=64 -cpu max)
fi

set +e
timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 "${accel[@]}" -m "$memory" -smp 2 \
  -nographic -no-reboot -nic none -serial "file:$run/console" -monitor none \
  -kernel "$kdir/vmlinux" -initrd "$initrd" \
  -append "console=ttyS0 quiet panic=-1 no_timer_check zk.run=$run" \
  -fsdev "local,id=r,path=/,security_model=none,readonly=on,multidevs=remap" \
  -device "virtio-9p-pci,fsdev=r,mount_tag=hostroot" \
  -fsdev "local,id=w,path=$run,security_model=none,multidevs=remap" \
  -device "virtio-9p-pci,fsdev=w,mount_tag=run" "${share[@]}" > "$run/qemu.log" 2>&1
qrc=$?
set -e
[ -f "$run/out" ] && cat "$run/out"
if [ ! -f "$run/rc" ]; then
  echo "can-vm: the guest ended without the command's exit code (QEMU exit $qrc${qrc:+; 124 is a timeout after ${timeout_s}s})" >&2
  echo "---- console" >&2; tail -n 40 "$run/console" >&2 2>/dev/null
  echo "---- qemu" >&2; tail -n 20 "$run/qemu.log" >&2
  exit 1
fi
exit "$(cat "$run/rc")"
