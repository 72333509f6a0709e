#!/bin/sh
# Builds and runs every test: a plain debug build, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the armhf cross build
# with the whole suite under qemu-user, and the arm64 cross build with its
# interface check.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh
./scripts/deps-cross.sh

for preset in debug sanitize armhf; do
    echo "== $preset build =="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "== $preset tests =="
    ctest --preset "$preset" -j2
done

echo "== arm64 build and interface check =="
cmake --preset arm64 >/dev/null
cmake --build --preset arm64
tests/check_library.sh build/arm64/libscanid.so
