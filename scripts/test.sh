#!/bin/sh
# Installs what the tests need when it is missing, builds brassbox and runs
# every test and check:
#   unit, client, command and end-to-end tests and the package test
#   (warnings are errors), each suite checked to leave nothing behind;
#   clang-tidy and cppcheck;
#   the whole suite again under AddressSanitizer and UBSan, leaks included;
#   a bounded run of each fuzz target;
#   as root, the suite once more as an ordinary user.
# --quick: only the first.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

section() { printf '\n== %s\n' "$*"; }

# Runs a build's suite in a temporary folder of its own, which must be
# empty afterwards: no test, daemon or package build may leave anything.
run_suite() {
    tmp=$(mktemp -d)
    (cd "$1" && shift && TMPDIR=$tmp ctest -j"$jobs" -LE providers --output-on-failure "$@") || {
        rm -rf "$tmp"
        exit 1
    }
    # Throwaway sessions are removed just after they end.
    for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
        [ -n "$(ls -A "$tmp")" ] || break
        sleep 0.25
    done
    if [ -n "$(ls -A "$tmp")" ]; then
        echo "left behind by the tests:" >&2
        ls -A "$tmp" >&2
        rm -rf "$tmp"
        exit 1
    fi
    rmdir "$tmp"
}

scripts/install-deps.sh --test

section "build and test"
cmake -S . -B build -DBRASSBOX_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
run_suite build
[ "${1:-}" = "--quick" ] && exit 0

section "static analysis"
scripts/lint.sh build

section "sanitizers"
cmake -S . -B build-asan -DBRASSBOX_WERROR=ON -DBRASSBOX_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:fast_unwind_on_malloc=0
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The package, and the unit from it, are the release build's business.
run_suite build-asan -E '^(deb|package|unit)$'
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS

section "fuzzing"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DBRASSBOX_FUZZ=ON -DBRASSBOX_TESTS=OFF \
    -DBRASSBOX_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_names fuzz_replies
for target in fuzz_names fuzz_replies; do
    mkdir -p "build-fuzz/corpus/$target"
    "build-fuzz/tests/fuzz/$target" -max_total_time="${FUZZ_SECONDS:-25}" -print_final_stats=1 \
        "build-fuzz/corpus/$target" "tests/fuzz/seeds/$target" 2>&1 | grep -E "^stat::(number_of_executed_units|new_units_added)|ERROR|BINGO"
done

if [ "$(id -u)" -eq 0 ]; then
    section "as an ordinary user"
    scripts/as-ordinary-user.sh scripts/test.sh --quick
fi

section "all tests passed"
