#!/bin/sh
# Runs a preset's whole test suite several times in a row while a CPU hog
# keeps both cores busy: the check that no test depends on timing it does
# not control. The preset must be built (see scripts/test.sh).
#
#   scripts/stress.sh [preset] [runs] [regex]   defaults: debug 3, every test
#
# With a regex only the tests whose names match run (ctest -R), for example
# the ones a change touched: scripts/stress.sh debug 3 'fault_matrix|UsbCycle'.
#
# Installs stress-ng first if it is missing (as root). Each run's log goes to
# build/<preset>/stress-<n>.log; the script ends with one line per run.
set -eu
cd "$(dirname "$0")/.."

preset=${1:-debug}
runs=${2:-3}
only=${3:-}

if ! command -v stress-ng >/dev/null; then
    [ "$(id -u)" -eq 0 ] || { echo "stress-ng is missing (run as root to install it)" >&2; exit 1; }
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 stress-ng >/dev/null
fi
[ -d "build/$preset" ] || { echo "build/$preset is missing: build the preset first" >&2; exit 1; }

stress-ng --cpu "$(nproc)" --timeout 0 >/dev/null 2>&1 &
hog=$!
trap 'kill $hog 2>/dev/null' EXIT

failed=0
summary=""
for n in $(seq 1 "$runs"); do
    log="build/$preset/stress-$n.log"
    start=$(date +%s)
    if ctest --preset "$preset" -j2 --output-on-failure ${only:+-R "$only"} >"$log" 2>&1; then
        result=ok
    else
        result="FAILED (see $log)"
        failed=1
    fi
    line=$(printf '%s run %d under load: %ss, %s; %s' "$preset" "$n" "$(($(date +%s) - start))" "$result" \
        "$(grep -E 'tests passed' "$log" || true)")
    echo "$line"
    summary="$summary$line
"
done
echo
printf '%s' "$summary"
exit "$failed"
