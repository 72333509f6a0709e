#!/bin/sh
# Installs what building needs, on Debian 12, as root (scripts/deps-test.sh
# adds what only the tests need: the browser, node and its modules).
# Packages already present are left alone, so a second run is quick.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config libusb-1.0-0-dev libgtest-dev umockdev libumockdev-dev
  nlohmann-json3-dev clang clang-14 libclang-rt-14-dev clang-tidy clang-tidy-14 cppcheck valgrind
  libwebsockets-dev libsystemd-dev"

# Asked by architecture: a cross build's packages of the same name must not
# count as the host's (header-only packages are "all", one for every build).
arch=$(dpkg --print-architecture)
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p:$arch" "$p:all" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages:$missing (run this script as root, or install them)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends $missing
fi
