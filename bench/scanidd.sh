#!/bin/sh
# scanidd figures: card to WebSocket client against the 5 ms target, idle CPU
# and memory (bench/scanidd.mjs, on the release build), then the stripped
# size of the armhf service and of the libraries it needs.
#
#   bench/scanidd.sh [READS]     (32 by default)
#
# SCANID_BUILD_DIR=DIR uses an already configured build folder instead of the
# release preset's.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh >/dev/null
if [ -n "${SCANID_BUILD_DIR:-}" ]; then
    B=$SCANID_BUILD_DIR
    cmake --build "$B" --target scanidd scanid_cli sim-server sim-reader >/dev/null
else
    B=build/release
    cmake --preset release >/dev/null
    cmake --build --preset release --target scanidd scanid_cli sim-server sim-reader >/dev/null
fi

node bench/scanidd.mjs "$B" "${1:-32}"
echo

echo "== scanidd footprint on armhf: stripped bytes of the service and of the libraries it needs =="
bin=build/armhf/scanidd
if [ ! -f "$bin" ]; then
    echo "(no $bin: cmake --preset armhf && cmake --build --preset armhf --target scanidd)"
    exit 0
fi
if ! command -v arm-linux-gnueabihf-strip >/dev/null; then
    echo "(no cross tools: run scripts/deps-cross.sh)"
    exit 0
fi
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
stripped() { # file: stripped size in bytes
    arm-linux-gnueabihf-strip --strip-unneeded -o "$tmp" "$1" && stat -c %s "$tmp"
}
own=$(stripped "$bin")
printf '%-28s %14s\n' file "stripped bytes"
printf '%-28s %14d\n' scanidd "$own"
total=$own
for lib in $(arm-linux-gnueabihf-readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    found=""
    # The project's own libraries from the same build, the rest from the target's system.
    for dir in build/armhf /usr/lib/arm-linux-gnueabihf /lib/arm-linux-gnueabihf; do
        [ -f "$dir/$lib" ] && { found=$dir/$lib; break; }
    done
    if [ -z "$found" ]; then
        printf '%-28s %14s\n' "$lib" "(not found)"
        continue
    fi
    size=$(stripped "$found")
    total=$((total + size))
    printf '%-28s %14d\n' "$lib" "$size"
done
printf '%-28s %14d\n' "total" "$total"
