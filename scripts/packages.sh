#!/bin/sh
# Builds the Debian packages from debian/ with dpkg-buildpackage, in a copy
# of this checkout (what git tracks or would track, as it stands now), checks
# them with lintian and unpacks them for the C consumer (tests/package_test.sh).
#
#   scripts/packages.sh [OUT_DIR]   default: build/debs
#
# The packages are built without their own tests (nocheck): scripts/test.sh
# runs the whole suite in its other stages.
set -eu
cd "$(dirname "$0")/.."
src=$PWD
out=$(realpath -m "${1:-build/debs}")

deps="debhelper lintian go-md2man man-db groff-base"
missing=""
for p in $deps; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 $missing
fi

work=$(mktemp -d /var/tmp/scanid-debs.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/scanid"
git ls-files -co --exclude-standard -z | grep -zv -e '^build/' -e '/node_modules/' |
    tar --null -T - -cf - | tar -C "$work/scanid" -xf -

echo "== packages: dpkg-buildpackage (amd64) =="
dpkg-checkbuilddeps -Pnocheck
(cd "$work/scanid" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b --no-sign -Pnocheck >"$work/build.log" 2>&1) || {
    tail -n 40 "$work/build.log"
    exit 1
}
rm -rf "$out"
mkdir -p "$out"
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
ls "$out"

echo "== packages: lintian =="
lintian --pedantic --fail-on error,warning --display-info --info "$out"/*.changes

echo "== packages: unpacked and used =="
tests/package_test.sh "$out" "$src" cc
