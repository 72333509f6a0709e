#!/bin/sh
# Runs iddemo end to end with no hardware: the real demo binary reads cards
# over its real libusb path from a simulated reader module (an emulated USB
# device, preloaded into the demo), and relays identity cards to a simulated
# decode server on 127.0.0.1:19904. Stops by itself after the given number
# of seconds (default 25) and cleans up everything it started.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-25}
build=build/demo

./scripts/deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo --target iddemo sim-server simreader_preload

# What the simulated reader does: cards placed on it and taken off again.
script=${SIM_READER_SCRIPT:-"wait 500; place id 1; wait 2500; remove; wait 500; place m1; wait 1500; remove; wait 500; place yct; wait 1500; remove; wait 500; place id 2; wait 2500; remove; wait 500; place id 3; wait 2500; remove"}

log=$(mktemp)
stamp=$(mktemp)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -f "$log" "$stamp"
}
trap cleanup EXIT INT TERM

"$build/sim-server" --port 19904 --latency 40 --seconds $((seconds + 10)) >"$log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
    grep -q listening "$log" && break
    sleep 0.1
done
grep -q listening "$log" || { echo "the simulated decode server did not start:"; cat "$log"; exit 1; }

echo "== iddemo for ${seconds} s: simulated reader on USB, simulated decode server on 127.0.0.1:19904 =="
status=0
LD_PRELOAD="libumockdev-preload.so.0 $PWD/$build/libsimreader_preload.so" \
SIM_READER_SCRIPT="$script" SIM_READER_LATENCY_MS=15 \
    timeout --foreground -s INT "$seconds" "$build/iddemo" || status=$?
# timeout's 124 is the expected way out: the demo itself never ends.
[ "$status" -eq 124 ] || [ "$status" -eq 130 ] || exit "$status"
echo "== iddemo stopped =="
echo "Card photos were written by iddemo as image files (BMP data) named after the card number:"
found=$(find /mnt -maxdepth 1 -name '*.jpg' -newer "$stamp" 2>/dev/null)
if [ -n "$found" ]; then ls -l $found; else echo "  (none: /mnt must exist and be writable)"; fi
