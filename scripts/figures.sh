#!/bin/sh
# Runs the benchmarks (bench/run, which ends with bench/footprint.sh and
# bench/scanidd.sh; about five minutes) and writes what they print to
# docs/figures.md, verbatim, under a header naming the date, the commit and
# the machine. The file is replaced only once the run has succeeded.
#
#   scripts/figures.sh [quick] [-o FILE]
#   scripts/figures.sh --from RUN [--commit REV] [-o FILE]
#
#   quick          bench/run quick: without the long time-limit endings
#   -o FILE        write FILE instead of docs/figures.md
#   --from RUN     take a run's output saved earlier (bench/run | tee RUN)
#                  instead of running the benchmarks
#   --commit REV   the commit that saved run was made on
#
# README.md and the other docs link to docs/figures.md; this script edits
# nothing else.
set -eu
cd "$(dirname "$0")/.."

usage() {
    sed -n '/^#   scripts/,/^#   --commit/s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

command="scripts/figures.sh $*"
out=docs/figures.md
from=""
commit=""
mode=""
while [ $# -gt 0 ]; do
    case $1 in
    quick) mode=quick ;;
    -o) [ $# -ge 2 ] || usage; out=$2; shift ;;
    --from) [ $# -ge 2 ] || usage; from=$2; shift ;;
    --commit) [ $# -ge 2 ] || usage; commit=$2; shift ;;
    *) usage ;;
    esac
    shift
done
[ -z "$from" ] || [ -z "$mode" ] || usage
[ -n "$from" ] || [ -z "$commit" ] || usage

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if [ -n "$from" ]; then
    cp "$from" "$tmp/run"
    [ -n "$commit" ] || commit="not recorded"
else
    # The commit the figures belong to; -dirty when the tree has changes.
    commit=$(git describe --always --dirty 2>/dev/null || echo "not a git checkout")
    # Shown as it runs: five minutes of silence would look like a hang.
    { bench/run $mode && echo ok >"$tmp/status"; } | tee "$tmp/run"
    [ -f "$tmp/status" ] || { echo "figures.sh: bench/run failed; $out left as it was" >&2; exit 1; }
fi

# bench/run's first line: "libscanid benchmarks, DATE, N cores, CPU".
machine=$(sed -n '1s/^libscanid benchmarks, //p' "$tmp/run")
[ -n "$machine" ] || { echo "figures.sh: not the output of bench/run (no header line)" >&2; exit 1; }
when=${machine%%,*}
machine=${machine#*, }

# block TITLE FROM TO: a heading and the run's lines from the first line
# starting with FROM up to the line before the first starting with TO (empty:
# the start, the end); blank lines at either end dropped.
block() {
    awk -v from="$2" -v to="$3" '
        from == "" || index($0, from) == 1 { on = 1 }
        to != "" && index($0, to) == 1 { on = 0 }
        on' "$tmp/run" | sed -e '/./,$!d' | awk '{ line[NR] = $0 } END { n = NR; while (n > 0 && line[n] == "") n--; for (i = 1; i <= n; i++) print line[i] }' >"$tmp/block"
    [ -s "$tmp/block" ] || return 0
    printf '\n## %s\n\n```\n' "$1"
    cat "$tmp/block"
    printf '```\n'
}

{
    echo "# Figures"
    echo
    echo "Made by \`$(echo "$command" | sed 's/ *$//')\` on $when, commit $commit;"
    echo "machine: $machine. The blocks below are the output of \`bench/run\`"
    echo "(the footprint is \`bench/footprint.sh\`, the service's figures \`bench/scanidd.sh\`,"
    echo "both run at its end), verbatim. What each figure measures is in"
    echo "[testing.md](testing.md#benchmarks); run \`scripts/figures.sh\` again after a change"
    echo "that moves one."
    if grep -q '^== footprint ==' "$tmp/run"; then
        block "Benchmarks" "" "== footprint =="
        block "Footprint" "== footprint ==" "== scanidd"
        block "scanidd" "== scanidd" ""
    else
        block "Benchmarks" "" ""
    fi
} >"$tmp/figures.md"

cp "$tmp/figures.md" "$out"
echo "figures.sh: wrote $out"
