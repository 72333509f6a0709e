#!/bin/sh
# Unpacks the Debian packages in DEB_DIR (scripts/packages.sh builds them)
# into a scratch root, checks what they hold, and builds and runs a small C
# program against the unpacked files: once with pkg-config, once with
# find_package().
#
# Usage: package_test.sh DEB_DIR SOURCE_DIR C_COMPILER [EMULATOR ARGS...]
set -eu
debdir=$1 src=$2 cc=$3
shift 3
fail=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

debs=$(ls "$debdir"/*.deb | grep -v -- '-dbgsym_')
echo "packages:"; for d in $debs; do echo "  $(basename "$d")"; done
root=$scratch/root
for d in $debs; do dpkg-deb -x "$d" "$root"; done

lib=$(dirname "$(find "$root" -name 'libscanid.so.1' | head -n 1)")
[ -n "$lib" ] && [ -d "$lib" ] || { echo "no libscanid.so.1 in the packages"; exit 1; }
for f in "$lib/libscanid.so" "$lib/libwlt.so.1" "$lib/pkgconfig/scanid.pc" "$lib/cmake/scanid/scanidConfig.cmake" \
         "$root/usr/include/scanid.h" "$root/usr/include/wlt.h" "$root/usr/bin/iddemo" "$root/usr/bin/scanid" \
         "$root/lib/udev/rules.d/60-scanid-reader.rules" "$root/usr/share/man/man1/scanid.1.gz"; do
    [ -e "$f" ] || { echo "missing: ${f#$root}"; fail=1; }
done

# Each package's own metadata.
for d in $debs; do
    name=$(dpkg-deb -f "$d" Package)
    arch=$(dpkg-deb -f "$d" Architecture)
    echo "  $name ($arch): Depends: $(dpkg-deb -f "$d" Depends)"
    dpkg-deb -c "$d" | grep -q ' ./usr/local/' && { echo "$name installs into /usr/local"; fail=1; }
done

# Runs a built program with the unpacked libraries, under the emulator if any.
run() {
    if [ -n "$emu" ]; then
        $emu -E LD_LIBRARY_PATH="$lib" "$@"
    else
        LD_LIBRARY_PATH="$lib" "$@"
    fi
}
emu="$*"

# The command-line reader runs with the packaged library.
run "$root/usr/bin/scanid" version || { echo "scanid version failed"; fail=1; }

# pkg-config finds the installed tree relative to its own file.
out=$scratch/consumer-pc
"$cc" -o "$out" "$src/tests/consumer/consumer.c" \
    $(PKG_CONFIG_PATH="$lib/pkgconfig" PKG_CONFIG_LIBDIR="$lib/pkgconfig" pkg-config --cflags --libs scanid) \
    -L"$lib" || { echo "pkg-config build failed"; exit 1; }
run "$out" || fail=1

# find_package() with the installed CMake package files.
toolchain=""
[ -n "${SCANID_TOOLCHAIN_FILE:-}" ] && toolchain="-DCMAKE_TOOLCHAIN_FILE=$SCANID_TOOLCHAIN_FILE"
cmake -S "$src/tests/consumer" -B "$scratch/consumer-cmake" -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_FIND_ROOT_PATH="$root" -DCMAKE_C_COMPILER="$cc" $toolchain >/dev/null \
    || { echo "find_package(scanid) failed"; exit 1; }
cmake --build "$scratch/consumer-cmake" >/dev/null || { echo "CMake consumer build failed"; exit 1; }
run "$scratch/consumer-cmake/consumer" || fail=1

[ $fail -eq 0 ] && echo "packages OK"
exit $fail
