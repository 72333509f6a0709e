#!/bin/sh
# Static analysis first (clang-tidy, cppcheck), then builds and runs every
# test: a plain debug build, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the tests that run library
# code on more than one thread under ThreadSanitizer, every fuzz target for a
# bounded time, then the armhf cross build with the whole suite under
# qemu-user, the arm64 cross build with its interface check, and the Debian
# packages, checked by lintian and used by a C program (scripts/packages.sh).
#
# A stage that fails does not stop the later ones (only a preset's tests are
# left out when its build failed); the run ends with one line per stage, its
# time and its result, and fails if any stage did.
#
#   scripts/test.sh [STAGE...]   STAGE: lint debug sanitize tsan fuzz armhf arm64 debs
#
# Names of stages run only those (after the packages); none runs them all.
# scripts/fresh-root.sh runs this on a fresh Debian 12 root, as CI does.
set -u
cd "$(dirname "$0")/.."

stages=" $* "
for s in "$@"; do
    case $s in
    lint | debug | sanitize | tsan | fuzz | armhf | arm64 | debs) ;;
    *)
        echo "usage: $0 [lint|debug|sanitize|tsan|fuzz|armhf|arm64|debs]..." >&2
        exit 2
        ;;
    esac
done
# want STAGE: true when the stage is to run.
want() {
    [ "$stages" = "  " ] || case $stages in *" $1 "*) true ;; *) false ;; esac
}

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
failed=0

# stage NAME COMMAND...: runs the command, notes its time and result.
stage() {
    name=$1
    shift
    start=$(date +%s)
    if "$@"; then
        result=ok
    else
        result="FAILED (exit $?)"
        failed=1
    fi
    printf '%-22s %6ss  %s\n' "$name" "$(($(date +%s) - start))" "$result" >>"$summary"
    [ "$result" = ok ]
}

# run PRESET COMMAND...: the tsan preset's programs without address
# randomisation: gcc 12's ThreadSanitizer stops with "unexpected memory
# mapping" on kernels that randomise mappings more widely. The build runs
# them too (the tests are listed by running each program).
run() {
    run_preset=$1
    shift
    if [ "$run_preset" = tsan ]; then
        setarch "$(uname -m)" -R "$@"
    else
        "$@"
    fi
}

build() {
    cmake --preset "$1" >/dev/null && run "$1" cmake --build --preset "$1"
}

tests() {
    run "$1" ctest --preset "$1" -j2
}

arm64() {
    build arm64 && tests/check_library.sh build/arm64/libscanid.so
}

echo "== packages =="
if ! stage packages sh -c './scripts/deps-test.sh && ./scripts/deps-cross.sh'; then
    cat "$summary"
    exit 1
fi

if want lint; then
    echo "== static analysis =="
    stage "static analysis" ./scripts/lint.sh
fi

for preset in debug sanitize tsan; do
    want "$preset" || continue
    echo "== $preset build =="
    if stage "$preset build" build "$preset"; then
        echo "== $preset tests =="
        stage "$preset tests" tests "$preset"
    fi
done

if want fuzz; then
    echo "== fuzz targets (30 s each) =="
    stage "fuzz (30 s each)" ./scripts/fuzz.sh 30
fi

if want armhf; then
    echo "== armhf build =="
    if stage "armhf build" build armhf; then
        echo "== armhf tests (qemu-user) =="
        stage "armhf tests" tests armhf
    fi
fi

if want arm64; then
    echo "== arm64 build and interface check =="
    stage "arm64 build, check" arm64
fi

if want debs; then
    echo "== Debian packages =="
    stage "Debian packages" ./scripts/packages.sh
fi

echo
echo "== summary =="
cat "$summary"
[ "$failed" -eq 0 ] && echo "all stages passed" || echo "some stages FAILED"
exit "$failed"
