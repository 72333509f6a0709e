#!/bin/sh
# Builds the Debian packages from debian/ with dpkg-buildpackage, in a copy
# of this checkout (as it stands now, without build output), and checks them:
# lintian; for this machine's architecture, built again elsewhere, the same
# bytes, and upgraded from a previous build, removed and purged in a scratch
# Debian root, with their autopkgtest (tests/package_root_test.sh); armhf's
# unpacked, with the C consumer built against them and run under qemu
# (tests/package_test.sh).
#
#   scripts/packages.sh [OUT_DIR]   default: build/debs (armhf's in OUT_DIR/armhf)
#
# This machine's architecture, and armhf by cross build where the cross
# toolchain of scripts/deps-cross.sh is installed. As root (apt, and mount
# and chroot for the scratch root).
#
# The packages are built without their own tests (nocheck): scripts/test.sh
# runs the whole suite in its other stages.
set -eu
cd "$(dirname "$0")/.."
src=$PWD
case ${1:-} in
-h | --help)
    sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
-*)
    echo "usage: $0 [OUT_DIR]" >&2
    exit 2
    ;;
esac
out=$(realpath -m "${1:-build/debs}")

deps="debhelper dh-python python3 lintian go-md2man man-db groff-base"
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

# copy TREE: a new copy of the tree at TREE, alone in its folder.
copy() {
    rm -rf "${1%/*}"
    mkdir -p "${1%/*}"
    cp -a "$work/scanid" "$1"
}

# debuild TREE [ARG...]: dpkg-buildpackage -b in TREE; the packages land in
# its parent folder.
debuild() {
    tree=$1
    shift
    (cd "$tree" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b --no-sign "$@" >"${tree%/*}/build.log" 2>&1) || {
        tail -n 40 "${tree%/*}/build.log"
        return 1
    }
}

# build ARCH DIR: builds the packages for ARCH into DIR and checks them with
# lintian; a cross build's also unpacked and used.
# shellcheck disable=SC2086 # $consumer: a compiler and an emulator command
build() {
    arch=$1 dir=$2
    echo "== packages: dpkg-buildpackage ($arch) =="
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
        dpkg-checkbuilddeps -Pnocheck
        set -- -Pnocheck
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
    copy "$work/$arch/scanid"
    debuild "$work/$arch/scanid" "$@" || return 1
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$work/$arch"/*.deb "$work/$arch"/*.changes "$work/$arch"/*.buildinfo "$dir/"

    echo "== packages: lintian ($arch) =="
    lintian --pedantic --fail-on error,warning --display-info "$dir"/*.changes || return 1

    # This machine's packages are installed and used for real in the
    # scratch root (installed); a cross build's only unpacked, under qemu.
    [ "$arch" = "$(dpkg --print-architecture)" ] && return 0
    echo "== packages: unpacked and used ($arch) =="
    SCANID_TOOLCHAIN_FILE=$src/cmake/toolchain-$arch.cmake tests/package_test.sh "$dir" "$src" $consumer
}

# reproducible DIR: the packages in DIR built once more, in another folder,
# later, with another umask and time zone, must come out bit for bit the same.
reproducible() {
    echo "== packages: built again elsewhere: the same bytes =="
    again=$work/again/some/other/folder
    copy "$again/scanid"
    (umask 0002 && TZ=Asia/Shanghai debuild "$again/scanid" -Pnocheck) || return 1
    differ=0
    for d in "$1"/*.deb; do
        cmp -s "$d" "$again/${d##*/}" && continue
        echo "FAIL: ${d##*/} differs when built again"
        differ=1
        if command -v diffoscope >/dev/null; then
            diffoscope --max-report-size 200000 "$d" "$again/${d##*/}" | head -n 100
        fi
    done
    [ $differ -eq 0 ] && echo "each package the same twice"
    return $differ
}

# installed DIR: a previous build installed into a scratch Debian root and
# upgraded to the packages in DIR, then removed and purged
# (tests/package_root_test.sh).
installed() {
    echo "== packages: in a Debian root: upgraded, removed, purged =="
    if [ "$(id -u)" -ne 0 ]; then
        echo "FAIL: the scratch root needs root (chroot, mount)"
        return 1
    fi
    # The previous build: the same tree, a Debian revision lower.
    copy "$work/prev/scanid"
    sed -i '1s/-[^)]*)/-0.1)/' "$work/prev/scanid/debian/changelog"
    debuild "$work/prev/scanid" -Pnocheck || return 1
    "$work/scanid/scripts/fresh-root.sh" --bind "$work/prev:/prev" --bind "$1:/debs" \
        tests/package_root_test.sh /prev /debs
}

fail=0
build "$(dpkg --print-architecture)" "$out" || fail=1
if [ $fail -eq 0 ]; then
    reproducible "$out" || fail=1
    installed "$out" || fail=1
fi
if command -v arm-linux-gnueabihf-gcc >/dev/null && command -v qemu-arm >/dev/null; then
    build armhf "$out/armhf" || fail=1
else
    echo "== packages: no armhf cross toolchain (scripts/deps-cross.sh), armhf left out =="
fi
exit $fail
