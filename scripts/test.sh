#!/bin/sh
# Builds and runs every test: first a plain debug build, then the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh

for preset in debug sanitize; do
    echo "== $preset build =="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "== $preset tests =="
    ctest --preset "$preset" -j2
done
