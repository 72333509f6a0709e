#!/bin/sh
# Builds the libFuzzer targets (clang, ASan + UBSan), writes and checks the
# seed corpora, replays every input that once found a fault, then fuzzes each
# target for the given number of seconds (default 30).
#
#   scripts/fuzz.sh [seconds] [target ...]
#   targets: decode frames usb_cycle serial_cycle
#
# New inputs collect in build/fuzz/corpus/<target>; a finding is written to
# build/fuzz/findings/ and ends the run with a non-zero status. Put a fixed
# finding into fuzz/regressions/<target>/ so that every later run replays it.
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=${*:-"decode frames usb_cycle serial_cycle"}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz
mkdir -p "$out/findings"
./"$out"/fuzz_make_seeds "$out/seeds"

for t in $targets; do
    mkdir -p "$out/corpus/$t"
    if [ -d "fuzz/regressions/$t" ] && [ -n "$(ls -A "fuzz/regressions/$t")" ]; then
        echo "== $t: replaying fuzz/regressions/$t"
        ./"$out/fuzz_$t" -runs=0 fuzz/regressions/"$t"/* >"$out/replay-$t.log" 2>&1 ||
            { cat "$out/replay-$t.log"; exit 1; }
    fi
    echo "== $t: fuzzing for $seconds s"
    # A cycle takes milliseconds on the virtual clock: a second is a hang.
    ./"$out/fuzz_$t" -dict=fuzz/scanid.dict -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/findings/$t-" \
        "$out/corpus/$t" "$out/seeds/$t" >"$out/fuzz-$t.log" 2>&1 ||
        { tail -60 "$out/fuzz-$t.log"; echo "fuzz_$t found a fault: see $out/findings" >&2; exit 1; }
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec" "$out/fuzz-$t.log" | tr -s ' ' | sed 's/^/   /'
done
