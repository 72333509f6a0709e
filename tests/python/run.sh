#!/bin/sh
# Runs the binding's tests in one Python process that holds two emulated USB
# modules (ports 1-1 and 1-2), each taking commands from a FIFO, as the
# command-line tests hold theirs; sim-server and sim-reader run as processes
# of their own.
#
#   run.sh BUILD_DIR SOURCE_DIR UMOCKDEV_PRELOAD [PYTEST ARGS...]
set -eu
build=$1 source=$2 preload=$3
shift 3
control=$(mktemp -d /tmp/scanid-py.XXXXXX)
trap 'rm -rf "$control"' EXIT
PYTHON=${PYTHON:-/usr/bin/python3}
export SCANID_BUILD_DIR="$build" SIM_READER_CONTROL="$control" PYTHONPATH="$source/python"
export LD_LIBRARY_PATH="$build${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export SIM_READER_PORTS=1-1,1-2 SIM_READER_SCRIPT=' | ' SIM_READER_LATENCY_MS=2 SIM_READER_INTERVAL_MS=100
export PYTHONDONTWRITEBYTECODE=1
LD_PRELOAD="$preload:$build/libsimreader_preload.so" "$PYTHON" -m pytest -p no:cacheprovider -q \
    "$source/tests/python" "$@"
