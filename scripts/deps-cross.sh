#!/bin/sh
# Installs what the cross builds need, on Debian 12 x86_64, as root:
# Debian's cross compilers, qemu-user, and the target's libraries (armhf; the
# arm64 build needs only libusb's headers). Packages already present are left
# alone.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh

for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done

PACKAGES="g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
libusb-1.0-0-dev:armhf libgtest-dev:armhf libstdc++6:armhf libumockdev-dev:armhf
libusb-1.0-0-dev:arm64 libstdc++6:arm64"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
export DEBIAN_FRONTEND=noninteractive
if [ -n "$missing" ]; then
    apt-get update -q
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 $missing
fi

# umockdev's preload library cannot be installed for two architectures at
# once; the armhf one is taken out of its package for the emulated tests.
preload=/usr/local/lib/arm-linux-gnueabihf/libumockdev-preload.so.0
if [ ! -f "$preload" ]; then
    tmp=$(mktemp -d)
    (cd "$tmp" && apt-get download -q umockdev:armhf >/dev/null 2>&1 && dpkg-deb -x umockdev_*_armhf.deb root)
    mkdir -p "$(dirname "$preload")"
    cp -L "$tmp"/root/usr/lib/arm-linux-gnueabihf/libumockdev-preload.so.0 "$preload"
    rm -rf "$tmp"
fi
