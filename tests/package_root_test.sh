#!/bin/sh
# The packages' life on a Debian system, in a scratch root of its own (run by
# scripts/packages.sh through scripts/fresh-root.sh, from the source tree):
# the previous build installed, its configuration file edited, the upgrade to
# this build (the edit kept), what the packages put in place (scanid --help,
# man -w scanid, the udev rule, import scanid in Python), then remove (the
# configuration file stays) and purge, after which no file, user or override
# of theirs is left. Last, the packages' autopkgtest, the way Debian's CI
# runs it (null runner in this root): the C consumer built against them with
# pkg-config and CMake, a simulated read, and the Python binding's import.
#
# Usage: package_root_test.sh PREVIOUS_DEB_DIR DEB_DIR
set -eu
prev=$1 debs=$2
export DEBIAN_FRONTEND=noninteractive
conf=/etc/scanid/scanidd.conf
fail=0
bad() {
    echo "FAIL: $*"
    fail=1
}
apt() {
    apt-get -y -q -o DPkg::Lock::Timeout=600 -o Dpkg::Options::=--force-confold "$@" >/tmp/apt.log 2>&1 ||
        { tail -n 30 /tmp/apt.log; echo "FAIL: apt-get $*"; exit 1; }
}
# debs DIR: the packages in DIR, less their debug symbols.
debs() {
    for d in "$1"/*.deb; do
        case $d in *-dbgsym_*) ;; *) echo "$d" ;; esac
    done
}

# Nothing a package installs may start here.
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod 755 /usr/sbin/policy-rc.d

echo "== root: what the checks need =="
apt-get update -q >/dev/null
apt install --no-install-recommends man-db

# Every file and link, with its owner and mode, less what apt and dpkg keep
# about themselves and the files the system rewrites (logs, caches, the
# account files' backups).
snapshot() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /run -o -path /src \
        -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \
        -o -path /var/lib/systemd/deb-systemd-helper-enabled -o -path /var/lib/ucf \) -prune -o \
        ! -name '*-' -printf '%p %u:%g %m\n' | sort
}
snapshot >/tmp/before

echo "== root: the previous build =="
# shellcheck disable=SC2046 # one word per package
apt install --no-install-recommends $(debs "$prev")
was=$(dpkg-query -W -f='${Version}' libscanid1)
echo "# kept across the upgrade" >>"$conf"

echo "== root: upgraded to this build =="
# shellcheck disable=SC2046
apt install --no-install-recommends $(debs "$debs")
now=$(dpkg-query -W -f='${Version}' libscanid1)
[ "$now" != "$was" ] || bad "the upgrade left libscanid1 at $was"
echo "libscanid1 $was -> $now"
grep -q '^# kept across the upgrade' "$conf" || bad "the upgrade lost the edit of $conf"
for f in /etc/scanid/*.dpkg-*; do [ -e "$f" ] && bad "the upgrade left $f"; done
[ "$(stat -c '%U:%G %a' "$conf")" = "root:scanidd 640" ] || bad "$conf is $(stat -c '%U:%G %a' "$conf")"
id scanidd >/dev/null || bad "no scanidd user"

scanid --help >/dev/null || bad "scanid --help failed"
for page in scanid 8\ scanidd iddemo; do
    # shellcheck disable=SC2086 # section and name
    man -w $page >/dev/null || bad "no manual page $page"
done
[ -f /lib/udev/rules.d/60-scanid-reader.rules ] || bad "no udev rule"
scanidd --check-config >/dev/null || bad "scanidd rejects the packaged $conf"
# The binding, from / so that nothing but the installed module can answer,
# finds the installed library by its SONAME; postinst byte-compiled it.
want=$(dpkg-query -W -f='${Version}' python3-scanid)
got=$(cd / && python3 -c 'import scanid; print(scanid.version(), scanid.__file__)') || bad "import scanid failed"
[ "$got" = "${want%-*} /usr/lib/python3/dist-packages/scanid/__init__.py" ] ||
    bad "python3-scanid $want: import scanid gives '$got'"
ls /usr/lib/python3/dist-packages/scanid/__pycache__/*.pyc >/dev/null 2>&1 || bad "python3-scanid not byte-compiled"
ours=$(for d in $(debs "$debs"); do dpkg-deb -f "$d" Package; done)
# The files dpkg knows as theirs, for after the purge.
# shellcheck disable=SC2086 # one word per package
dpkg -L $ours | sort -u >/tmp/theirs

echo "== root: removed =="
# shellcheck disable=SC2086
apt remove $ours
[ -f "$conf" ] || bad "remove took $conf away"
[ -e /usr/bin/scanid ] && bad "remove left /usr/bin/scanid"

echo "== root: purged =="
# What remove took away entirely apt no longer knows (no archive has it).
# shellcheck disable=SC2086
dpkg --purge $ours >/tmp/purge.log 2>&1 || { cat /tmp/purge.log; bad "dpkg --purge"; }
apt autoremove --purge
[ -e "$conf" ] && bad "purge left $conf"
getent passwd scanidd >/dev/null && bad "purge left the scanidd user"
getent group scanidd >/dev/null && bad "purge left the scanidd group"
dpkg-statoverride --list | grep -q scanid && bad "purge left $(dpkg-statoverride --list | grep scanid)"
while read -r f; do
    [ -e "$f" ] && [ ! -d "$f" ] && bad "purge left $f"
done </tmp/theirs
snapshot >/tmp/after
diff /tmp/before /tmp/after >/tmp/left || { cat /tmp/left; bad "the system differs from before the packages"; }

echo "== root: autopkgtest (null runner) =="
apt install --no-install-recommends autopkgtest
# shellcheck disable=SC2046
autopkgtest --output-dir /tmp/autopkgtest . $(debs "$debs") -- null >/tmp/autopkgtest.log 2>&1 || {
    tail -n 60 /tmp/autopkgtest.log
    bad "autopkgtest"
}
cat /tmp/autopkgtest/summary

[ $fail -eq 0 ] && echo "packages in a Debian root OK"
exit $fail
