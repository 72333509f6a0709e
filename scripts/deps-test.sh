#!/bin/sh
# Installs what the test command needs on this machine's own architecture:
# the builds' and the analysers' packages (scripts/deps.sh test), Debian's
# Chromium with a CJK font for the sample page's test, node (Debian's when
# there is none), and the scanidd tests' node modules from their lock file.
# scripts/deps-cross.sh adds the cross builds. Quick when all is there.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh test

missing=""
for p in chromium fonts-wqy-microhei; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
command -v node >/dev/null || missing="$missing nodejs npm"
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends $missing
fi

# Again only when the lock file changed.
dir=tests/scanidd
if [ ! -d "$dir/node_modules" ] || [ -n "$(find "$dir/package-lock.json" -newer "$dir/node_modules")" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
    touch "$dir/node_modules"
fi
