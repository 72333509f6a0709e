#!/bin/sh
# Builds the library and runs iddemo for a bounded time (default 10 s;
# the first argument changes it). iddemo reads cards over USB from the
# reader module and prints what the library reports.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-10}

./scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

echo "== iddemo for ${seconds} s =="
status=0
timeout --foreground -s INT "$seconds" ./build/release/iddemo || status=$?
# timeout's 124 is the expected way out: the demo itself never ends.
[ "$status" -eq 124 ] || [ "$status" -eq 130 ] || exit "$status"
echo "== iddemo stopped =="
