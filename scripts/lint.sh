#!/bin/sh
# Static analysis: clang-tidy (checks and reasons in .clang-tidy, looser in
# sim/ and tools/ but for the shipped tools/scanid/, tools/scanidd/, tools/common/) and cppcheck (suppressions in cmake/cppcheck.supp) over the
# library, the demo, the photo decoder, the simulators and their tools.
# Exits non-zero on any finding. Needs clang-tidy-14 and cppcheck
# (scripts/deps.sh test). About a minute on an idle 2-core machine (100 s of CPU).
#
#   scripts/lint.sh              everything
#   LINT_JOBS=4 scripts/lint.sh  more clang-tidy processes at once
set -eu
cd "$(dirname "$0")/.."

BUILD=build/lint
JOBS=${LINT_JOBS:-2}
TIDY=${CLANG_TIDY:-$(command -v clang-tidy-14 || command -v clang-tidy || true)}
if [ -z "$TIDY" ] || ! command -v cppcheck >/dev/null; then
    echo "lint: clang-tidy-14 and cppcheck are needed (scripts/deps.sh test)" >&2
    exit 2
fi

# Only the compile database is needed, nothing is built. clang (when there)
# writes it, so that every flag in it is one clang-tidy understands.
mkdir -p "$BUILD"
rm -f "$BUILD/CMakeCache.txt"
set -- -DCMAKE_BUILD_TYPE=Debug -DSCANID_STANDBY_HOST=localhost \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DSCANID_BUILD_TESTS=OFF
if command -v clang-14 >/dev/null && command -v clang++-14 >/dev/null; then
    set -- "$@" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
fi
if ! cmake -S . -B "$BUILD" -G Ninja "$@" >"$BUILD/configure.log" 2>&1; then
    cat "$BUILD/configure.log" >&2
    exit 2
fi

# Generated sources must exist for cppcheck to load the database.
cmake --build "$BUILD" --target scanidd_page >/dev/null 2>&1 || true

# The sources to check, as the compile database names them (files of targets
# that were not configured, such as the USB simulator without umockdev, drop out).
FILES=$(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$BUILD/compile_commands.json" |
    grep -E '/(lib|demo|wlt|sim|tools|tools/scanid|tools/scanidd|tools/common)/[^/]+\.(c|cpp)$' | sort -u)
if [ -z "$FILES" ]; then
    echo "lint: no sources found in $BUILD/compile_commands.json" >&2
    exit 2
fi

LOGS="$BUILD/tidy"
rm -rf "$LOGS"
mkdir -p "$LOGS"
status=0

count=$(printf '%s\n' "$FILES" | wc -l)
echo "== clang-tidy: $count files, $JOBS at a time"
# One log per file, so that parallel runs never mix their lines.
printf '%s\n' "$FILES" | xargs -P "$JOBS" -I {} sh -c '
    log="$3/$(printf %s "$2" | tr / _).log"
    "$0" -p "$1" --quiet "$2" >"$log" 2>&1 || echo "$2" >>"$3/failed"
' "$TIDY" "$BUILD" {} "$LOGS"
if [ -s "$LOGS/failed" ]; then
    status=1
    for f in $(sort "$LOGS/failed"); do
        grep -v -E '^[0-9]+ (warning|error)s? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' \
            "$LOGS/$(printf %s "$f" | tr / _).log" || true
    done
    echo "clang-tidy: findings in $(wc -l <"$LOGS/failed") file(s)"
else
    echo "clang-tidy: clean"
fi

# Twice: for the 64-bit hosts, and with 32-bit types as on armhf.
for platform in unix64 unix32; do
    echo "== cppcheck ($platform)"
    if cppcheck --project="$BUILD/compile_commands.json" --platform=$platform \
        --library=posix --enable=warning,performance,portability,style \
        --std=c++17 --inline-suppr --suppressions-list=cmake/cppcheck.supp \
        --error-exitcode=1 -j "$JOBS" --quiet \
        --file-filter='lib/*' --file-filter='demo/*' --file-filter='wlt/*' \
        --file-filter='sim/*' --file-filter='tools/*' \
        --template='{file}:{line}: {severity}: {message} [{id}]'; then
        echo "cppcheck ($platform): clean"
    else
        status=1
    fi
done

[ "$status" -eq 0 ] && echo "lint: no findings"
exit "$status"
