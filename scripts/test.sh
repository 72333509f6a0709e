#!/bin/sh
# Static analysis first (clang-tidy, cppcheck), then builds and runs every
# test: a plain debug build, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, every fuzz target for a
# bounded time, then the armhf cross build with the whole suite under
# qemu-user, and the arm64 cross build with its interface check.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh
./scripts/deps-cross.sh

echo "== static analysis =="
./scripts/lint.sh

run_preset() {
    echo "== $1 build =="
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
    echo "== $1 tests =="
    ctest --preset "$1" -j2
}

run_preset debug
run_preset sanitize

echo "== fuzz targets (30 s each) =="
./scripts/fuzz.sh 30

run_preset armhf

echo "== arm64 build and interface check =="
cmake --preset arm64 >/dev/null
cmake --build --preset arm64
tests/check_library.sh build/arm64/libscanid.so
