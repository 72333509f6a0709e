#!/bin/sh
# Runs a command in a fresh minimal Debian 12 root, on a clean clone of this
# checkout's HEAD, the way a newcomer's new machine would run it: nothing
# installed but what debootstrap's minbase has and the project's own scripts
# install. A missing install step fails here instead of on that machine.
#
#   scripts/fresh-root.sh [--bind DIR:PATH]... [COMMAND [ARG...]]   default: ./scripts/test.sh
#
# --bind puts this machine's folder DIR at PATH in the root, read-only.
#
# As root, on Debian 12. The root is unpacked anew for every run from a
# tarball made once by debootstrap (about 2 minutes) and kept in
# $FRESH_ROOT_CACHE (default /var/cache/scanid-fresh-root; delete it to make
# a new one). The command runs in /src with a clean environment; its exit
# status is the script's. Everything mounted is unmounted and the root
# removed at the end, also when the command fails or the script is stopped;
# FRESH_ROOT_KEEP=1 keeps the root (its path is printed) for a look inside.
# Downloaded packages are kept in $FRESH_ROOT_CACHE/archives between runs:
# that saves the downloads, not the installs.
set -eu
cd "$(dirname "$0")/.."
src=$PWD

[ "$(id -u)" -eq 0 ] || { echo "fresh-root: run as root (debootstrap, mount and chroot need it)" >&2; exit 1; }
binds=""
while [ $# -gt 1 ] && [ "$1" = --bind ]; do
    case $2 in
    /*:/*) binds="$binds $2" ;;
    *) echo "fresh-root: --bind DIR:PATH, both absolute" >&2; exit 2 ;;
    esac
    shift 2
done
[ $# -gt 0 ] || set -- ./scripts/test.sh

cache=${FRESH_ROOT_CACHE:-/var/cache/scanid-fresh-root}
tarball=$cache/bookworm-minbase.tar
mkdir -p "$cache/archives/partial"

# The host's first Debian mirror: the root fetches what this machine can reach.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

if [ ! -s "$tarball" ]; then
    command -v debootstrap >/dev/null || {
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null
        apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 debootstrap >/dev/null
    }
    echo "fresh-root: making the minimal Debian 12 root once ($mirror)"
    made=$(mktemp -d /var/tmp/fresh-root-make.XXXXXX)
    chmod 755 "$made"
    if ! debootstrap --variant=minbase bookworm "$made" "$mirror" >"$cache/debootstrap.log" 2>&1; then
        tail -n 20 "$cache/debootstrap.log" >&2
        rm -rf --one-file-system "$made"
        exit 1
    fi
    tar -C "$made" --numeric-owner -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf --one-file-system "$made"
fi

root=$(mktemp -d /var/tmp/fresh-root.XXXXXX)
mounted=""
cleanup() {
    status=$?
    trap - EXIT INT TERM HUP
    # Innermost first; lazily, so a process the command left behind cannot
    # keep a mount (and the host's /dev under it) in the root.
    for m in $mounted; do umount -l "$m" 2>/dev/null || true; done
    if [ "${FRESH_ROOT_KEEP:-0}" = 1 ]; then
        echo "fresh-root: kept $root" >&2
    else
        # Never across into a mount that is still there.
        rm -rf --one-file-system "$root"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The root's own users, not the host's of the same name.
tar -C "$root" --numeric-owner -xpf "$tarball"
chmod 755 "$root" # a root folder, not mktemp's private one

# What an installed system has and debootstrap leaves out.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # The host's suites (updates, security), not only the release.
    cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
    rm -f "$root/etc/apt/sources.list"
fi
for conf in /etc/apt/apt.conf.d/*; do
    # Only settings about reaching the archive (a snapshot mirror's dates, a proxy).
    grep -qiE 'Acquire::(Check-Valid-Until|Check-Date|http::Proxy|https::Proxy)' "$conf" 2>/dev/null &&
        cp "$conf" "$root/etc/apt/apt.conf.d/"
done
mkdir -p "$root/usr/local/share/ca-certificates"
extra_ca=/usr/local/share/extra-ca.pem
: >"$root$extra_ca"
for crt in /usr/local/share/ca-certificates/*.crt; do
    [ -f "$crt" ] || continue
    cp "$crt" "$root/usr/local/share/ca-certificates/"
    cat "$crt" >>"$root$extra_ca"
done

mount -t proc proc "$root/proc" && mounted="$root/proc $mounted"
mount -t sysfs sysfs "$root/sys" && mounted="$root/sys $mounted"
mount --bind /dev "$root/dev" && mounted="$root/dev $mounted"
# Nothing mounted below the root's /dev may reach the host's.
mount --make-private "$root/dev"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts" && mounted="$root/dev/pts $mounted"
mount --bind "$cache/archives" "$root/var/cache/apt/archives" && mounted="$root/var/cache/apt/archives $mounted"
# As an installed system has them: apt fetches as its own user.
chroot "$root" chown _apt:root /var/cache/apt/archives/partial /var/lib/apt/lists/partial
# Chromium and the semaphores of the tests want a private /dev/shm.
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm" && mounted="$root/dev/shm $mounted"
for b in $binds; do
    mkdir -p "$root${b#*:}"
    mount --bind -o ro "${b%%:*}" "$root${b#*:}" && mounted="$root${b#*:} $mounted"
done

if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    git clone --quiet --no-hardlinks "$src" "$root/src"
    echo "fresh-root: $(git -C "$root/src" log -1 --format='%h %s') in a fresh Debian 12 root"
else
    # A tree without its history (an unpacked archive): as it is, less what builds make.
    mkdir "$root/src"
    tar -C "$src" --exclude=./build --exclude=node_modules -cf - . | tar -C "$root/src" -xf -
    echo "fresh-root: $src (no git checkout: copied as it is) in a fresh Debian 12 root"
fi

chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    NODE_EXTRA_CA_CERTS="$extra_ca" \
    /bin/bash -lc 'cd /src && exec "$@"' fresh-root "$@"
