#!/bin/sh
# Installs Debian packages the project needs, on Debian 12, as root. What is
# installed depends on what is to be done:
#
#   scripts/deps.sh demo      the demo: compiler, CMake, Ninja, libusb-1.0,
#                             umockdev (the emulated reader), nlohmann-json
#   scripts/deps.sh service   the demo's, and libwebsockets and libsystemd
#                             for scanidd
#   scripts/deps.sh [build]   every program, the test programs (GoogleTest,
#                             pytest for the Python binding)
#                             and the manual pages (go-md2man)
#   scripts/deps.sh test      that, and what the test command runs besides
#                             the builds: clang with libFuzzer, clang-tidy,
#                             cppcheck, valgrind, groff (the pages' check)
#
# scripts/deps-test.sh adds the browser and node for the service's tests,
# scripts/deps-cross.sh the cross builds. Packages already present are left
# alone, so a second run is quick.
set -eu

profile=${1:-build}
demo="build-essential cmake ninja-build pkg-config libusb-1.0-0-dev umockdev libumockdev-dev nlohmann-json3-dev"
service="$demo libwebsockets-dev libsystemd-dev"
build="$service libgtest-dev go-md2man python3 python3-pytest"
test="$build clang clang-14 libclang-rt-14-dev clang-tidy clang-tidy-14 cppcheck valgrind groff-base"
case $profile in
demo) PACKAGES=$demo ;;
service) PACKAGES=$service ;;
build) PACKAGES=$build ;;
test) PACKAGES=$test ;;
*)
    echo "usage: $0 [demo|service|build|test]" >&2
    exit 2
    ;;
esac

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
