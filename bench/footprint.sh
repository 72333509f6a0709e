#!/bin/sh
# Footprint of libscanid per target: the stripped library's size and the
# libraries it needs, next to the reference of the host (x86_64) build.
# Builds what is missing with the release, armhf and arm64 presets.
#
# Usage: bench/footprint.sh   (after scripts/deps-cross.sh for the ARM builds)
set -eu
cd "$(dirname "$0")/.."

row() { # preset triplet-prefix
    preset=$1 prefix=$2
    lib=build/$preset/libscanid.so.1
    if [ ! -f "$lib" ]; then
        cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" --target scanid >/dev/null
    fi
    tmp=$(mktemp)
    "${prefix}strip" --strip-unneeded -o "$tmp" "$lib"
    size=$(stat -c %s "$tmp")
    text=$("${prefix}size" "$tmp" | awk 'NR == 2 { print $1 + $2 }')
    needed=$(readelf -d "$tmp" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    rm -f "$tmp"
    echo "$preset $size $text $needed"
}

printf '%-8s %14s %16s  %s\n' target "stripped bytes" "text+data bytes" "needed libraries"
ref=""
for spec in "release:" "armhf:arm-linux-gnueabihf-" "arm64:aarch64-linux-gnu-"; do
    preset=${spec%%:*} prefix=${spec#*:}
    if [ -n "$prefix" ] && ! command -v "${prefix}strip" >/dev/null; then
        printf '%-8s %14s\n' "$preset" "(no cross tools: run scripts/deps-cross.sh)"
        continue
    fi
    set -- $(row "$preset" "$prefix")
    name=$1 size=$2 text=$3
    shift 3
    [ -z "$ref" ] && ref=$size
    ratio=$(awk -v a="$size" -v b="$ref" 'BEGIN { printf "%.2f", a / b }')
    case $name in release) name=x86_64 ;; esac
    printf '%-8s %14s %16s  %s (%.4sx of x86_64)\n' "$name" "$size" "$text" "$*" "$ratio"
done
