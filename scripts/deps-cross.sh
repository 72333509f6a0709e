#!/bin/sh
# Installs what the cross builds need, on Debian 12 x86_64, as root:
# Debian's cross compilers, qemu-user, and the target's libraries (armhf; the
# arm64 build needs only libusb's headers). Packages already present are left
# alone. The armhf build of scanidd needs OpenSSL's armhf development files:
# libwebsockets.h includes OpenSSL's headers, whose configuration header is
# per architecture.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh

for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done

PACKAGES="g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user nlohmann-json3-dev
libusb-1.0-0-dev:armhf libgtest-dev:armhf libstdc++6:armhf libumockdev0:armhf libglib2.0-dev:armhf
libwebsockets17:armhf libssl-dev:armhf libsystemd-dev:armhf
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

# umockdev's tool package (with its preload library) and its development
# package cannot be installed for two architectures at once: the armhf
# preload, pkg-config file and link name are taken out of the packages into
# /usr/local, beside the multiarch runtime library libumockdev0:armhf. The
# header is the host's. The same holds for libwebsockets' development package
# (its lws_config.h differs by architecture in the install path only).
local_lib=/usr/local/lib/arm-linux-gnueabihf
if [ ! -f "$local_lib/libumockdev-preload.so.0" ] || [ ! -f "$local_lib/pkgconfig/umockdev-1.0.pc" ]; then
    tmp=$(mktemp -d)
    chmod 755 "$tmp"
    (cd "$tmp" && apt-get download -q umockdev:armhf libumockdev-dev:armhf >/dev/null 2>&1 &&
        for d in *.deb; do dpkg-deb -x "$d" root; done)
    mkdir -p "$local_lib/pkgconfig"
    cp -L "$tmp"/root/usr/lib/arm-linux-gnueabihf/libumockdev-preload.so.0 "$local_lib/"
    sed "s|^libdir=.*|libdir=$local_lib|" "$tmp"/root/usr/lib/arm-linux-gnueabihf/pkgconfig/umockdev-1.0.pc \
        >"$local_lib/pkgconfig/umockdev-1.0.pc"
    ln -sf /usr/lib/arm-linux-gnueabihf/libumockdev.so.0 "$local_lib/libumockdev.so"
    rm -rf "$tmp"
fi

lws_pc=$local_lib/pkgconfig/libwebsockets.pc
if [ ! -f "$lws_pc" ] || [ ! -e "$local_lib/libwebsockets.so" ]; then
    mkdir -p "$local_lib/pkgconfig"
    ln -sf /usr/lib/arm-linux-gnueabihf/libwebsockets.so.17 "$local_lib/libwebsockets.so"
    version=$(dpkg-query -W -f='${Version}' libwebsockets17:armhf | sed 's/-[^-]*$//')
    cat >"$lws_pc" <<EOF
libdir=$local_lib
includedir=/usr/include

Name: libwebsockets
Description: Websockets server and client library (armhf runtime, host headers)
Version: $version
Libs: -L\${libdir} -lwebsockets
Cflags: -I\${includedir}
EOF
fi
