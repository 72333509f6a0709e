#!/bin/sh
# The Python binding's figures (bench/python.py) against a build folder:
# one emulated module in the interpreter, sim-server as its own process.
#
#   bench/python.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
B=${1:-build/release}
[ -x /usr/bin/python3 ] || { echo "python binding: skipped, /usr/bin/python3 is not installed"; exit 0; }
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
cmake --build "$B" --target scanid wlt simreader_preload sim-server >/dev/null
env LD_PRELOAD="libumockdev-preload.so.0:$B/libsimreader_preload.so" LD_LIBRARY_PATH="$B" PYTHONPATH=python \
    SIM_READER_CONTROL="$control" SIM_READER_SCRIPT=' ' SIM_READER_LATENCY_MS=2 SIM_READER_INTERVAL_MS=20 \
    /usr/bin/python3 bench/python.py "$B/sim-server"
