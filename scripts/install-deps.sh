#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Nimbrel needs.
# Safe to run again: packages already present are skipped.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtk2.0-dev libglib2.0-dev gettext
  libgtest-dev googletest libgmock-dev libbenchmark-dev
  xvfb xauth xdotool imagemagick dbus
  libgail-common fonts-dejavu-core
  python3 python3-can python3-canmatrix can-utils
  zlib1g-dev libdeflate-dev clang libclang-rt-14-dev
  python3-dogtail at-spi2-core libatk-adaptor
  qemu-system-x86 busybox-static cpio kmod can-utils iproute2 util-linux
  dpkg-dev fakeroot file lintian desktop-file-utils appstream
  librsvg2-bin python3-docutils man-db locales xdg-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}"
# Wait for another apt-get or dpkg run instead of failing at once.
apt_opts=(-o DPkg::Lock::Timeout=600)
$SUDO apt-get "${apt_opts[@]}" update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${apt_opts[@]}" install -y -q --no-install-recommends "${missing[@]}"
