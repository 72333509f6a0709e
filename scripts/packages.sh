#!/bin/sh
# Builds the Debian packages from debian/ with dpkg-buildpackage, in a copy
# of this checkout (as it stands now, without build output), checks
# them with lintian and unpacks them for the C consumer (tests/package_test.sh).
#
#   scripts/packages.sh [OUT_DIR]   default: build/debs (armhf's in OUT_DIR/armhf)
#
# This machine's architecture, and armhf by cross build where the cross
# toolchain of scripts/deps-cross.sh is installed.
#
# The packages are built without their own tests (nocheck): scripts/test.sh
# runs the whole suite in its other stages.
set -eu
cd "$(dirname "$0")/.."
src=$PWD
case ${1:-} in
-h | --help)
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
-*)
    echo "usage: $0 [OUT_DIR]" >&2
    exit 2
    ;;
esac
out=$(realpath -m "${1:-build/debs}")

deps="debhelper lintian go-md2man man-db groff-base"
missing=""
for p in $deps; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086 # one word per package
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 $missing
fi

work=$(mktemp -d /var/tmp/scanid-debs.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/scanid"
# What .gitignore leaves out is left out here too (git itself may be missing).
tar --exclude=./.git --exclude=./build --exclude='./build-*' --exclude=node_modules \
    --exclude='*.deb' -cf - . | tar -C "$work/scanid" -xf -

# build ARCH DIR: builds the packages for ARCH into DIR, checks them with
# lintian and has a C program built and run against them.
# shellcheck disable=SC2086 # $consumer: a compiler and an emulator command
build() {
    arch=$1 dir=$2
    echo "== packages: dpkg-buildpackage ($arch) =="
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
        dpkg-checkbuilddeps -Pnocheck
        set -- -Pnocheck
        consumer="cc"
    else
        # libwebsockets' development package cannot be installed for two
        # architectures at once (its configuration header differs): the
        # cross build takes the armhf library with the host's header through
        # the pkg-config file of scripts/deps-cross.sh. Anything else unmet fails.
        unmet=$(dpkg-checkbuilddeps -a"$arch" -Pcross,nocheck 2>&1 | sed -n 's/.*Unmet build dependencies: //p')
        if [ -n "$unmet" ] && [ "$unmet" != libwebsockets-dev ]; then
            echo "unmet build dependencies for $arch: $unmet (scripts/deps-cross.sh installs them)" >&2
            return 1
        fi
        set -- -a"$arch" -Pcross,nocheck -d
        consumer="arm-linux-gnueabihf-gcc qemu-arm -L /"
    fi
    rm -rf "${work:?}/$arch"
    mkdir "$work/$arch"
    cp -a "$work/scanid" "$work/$arch/scanid"
    (cd "$work/$arch/scanid" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b --no-sign "$@" >"$work/$arch/build.log" 2>&1) || {
        tail -n 40 "$work/$arch/build.log"
        return 1
    }
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$work/$arch"/*.deb "$work/$arch"/*.changes "$work/$arch"/*.buildinfo "$dir/"

    echo "== packages: lintian ($arch) =="
    lintian --pedantic --fail-on error,warning --display-info "$dir"/*.changes || return 1

    echo "== packages: unpacked and used ($arch) =="
    if [ "$arch" = armhf ]; then
        SCANID_TOOLCHAIN_FILE=$src/cmake/toolchain-armhf.cmake tests/package_test.sh "$dir" "$src" $consumer
    else
        tests/package_test.sh "$dir" "$src" $consumer
    fi
}

fail=0
build "$(dpkg --print-architecture)" "$out" || fail=1
if command -v arm-linux-gnueabihf-gcc >/dev/null && command -v qemu-arm >/dev/null; then
    build armhf "$out/armhf" || fail=1
else
    echo "== packages: no armhf cross toolchain (scripts/deps-cross.sh), armhf left out =="
fi
exit $fail
