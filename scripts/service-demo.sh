#!/bin/sh
# Runs scanidd with no hardware: the real service reads cards over its real
# libusb path from a simulated reader module (an emulated USB device,
# preloaded into the service) and relays identity cards to a simulated decode
# server on a free port. Open the printed address in a browser to watch the
# cards come and go. Stops after the given number of seconds (default 120),
# or on Ctrl-C, and cleans up everything it started.
#
#   scripts/service-demo.sh [SECONDS [PORT]]      (PORT: 19950 by default)
#
# SCANID_BUILD_DIR=DIR uses an already configured build folder instead of the
# demo preset's (no tests).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-120}
port=${2:-19950}

./scripts/deps.sh service
if [ -n "${SCANID_BUILD_DIR:-}" ]; then
    build=$SCANID_BUILD_DIR
    cmake --build "$build" --target scanidd sim-server simreader_preload
else
    build=build/demo
    cmake --preset demo >/dev/null
    cmake --build --preset demo --target scanidd sim-server simreader_preload
fi

# Absolute: the preload library's path must not depend on the folder.
case $build in /*) ;; *) build=$PWD/$build ;; esac

# An identity card, a foreign permanent resident card, then a transit card
# the service reports but does not decode; round and round.
script=${SIM_READER_SCRIPT:-"place id 1; wait 4000; remove; wait 1000; place id 6; wait 4000; remove; wait 1000; place m1; wait 3000; remove; wait 1000; repeat"}

tmp=$(mktemp -d)
server_pid="" service_pid="" tail_pid="" sleep_pid=""
cleanup() {
    trap - EXIT INT TERM
    # The service first, so that its last lines still show.
    for p in $service_pid $server_pid $sleep_pid; do
        kill "$p" 2>/dev/null || true
    done
    for p in $service_pid $server_pid $sleep_pid; do
        wait "$p" 2>/dev/null || true
    done
    if [ -n "$tail_pid" ]; then
        sleep 0.2
        kill "$tail_pid" 2>/dev/null || true
        wait "$tail_pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'echo; echo "== stopping =="; exit 0' INT TERM

# wait_for FILE TEXT PID: until TEXT shows in FILE, for at most 10 s, while PID lives.
wait_for() {
    for _ in $(seq 100); do
        grep -q "$2" "$1" && return 0
        kill -0 "$3" 2>/dev/null || break
        sleep 0.1
    done
    grep -q "$2" "$1"
}

"$build/sim-server" --port 0 --latency 40 >"$tmp/server.log" 2>&1 &
server_pid=$!
wait_for "$tmp/server.log" listening "$server_pid" ||
    { echo "the simulated decode server did not start:"; cat "$tmp/server.log"; exit 1; }
server=$(sed -n 's/^listening on \([0-9.]*:[0-9]*\).*/\1/p' "$tmp/server.log" | head -n 1)

mkdir -m 700 "$tmp/run"
LD_PRELOAD="libumockdev-preload.so.0 $build/libsimreader_preload.so" \
SIM_READER_SCRIPT="$script" SIM_READER_LATENCY_MS=15 \
    "$build/scanidd" --config /dev/null --usb --server "$server" --port "$port" \
    --runtime-dir "$tmp/run" 2>"$tmp/scanidd.log" &
service_pid=$!
if ! wait_for "$tmp/scanidd.log" "listening on" "$service_pid"; then
    echo "scanidd did not start (port $port taken? scripts/service-demo.sh $seconds OTHERPORT):"
    cat "$tmp/scanidd.log"
    exit 1
fi

echo "== scanidd for ${seconds} s (Ctrl-C stops it): simulated USB reader, simulated decode server on $server =="
echo "open http://127.0.0.1:$port/ in a browser"
echo "== the service's log =="
tail -n +1 -f "$tmp/scanidd.log" &
tail_pid=$!
sleep "$seconds" &
sleep_pid=$!
# Either the time is up or the service ended by itself.
while kill -0 "$sleep_pid" 2>/dev/null && kill -0 "$service_pid" 2>/dev/null; do
    sleep 0.5
done
if ! kill -0 "$service_pid" 2>/dev/null; then
    status=0
    wait "$service_pid" || status=$?
    service_pid=""
    echo "== scanidd ended by itself with status $status =="
    exit 1
fi
echo "== time is up: stopping =="
