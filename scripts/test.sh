#!/bin/sh
# Builds brassbox and runs every test and check:
#   unit, command and end-to-end tests (warnings are errors);
#   clang-tidy and cppcheck;
#   the whole suite again under AddressSanitizer and UBSan, leaks included;
#   a bounded run of each fuzz target.
# --quick: only the first.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

section() { printf '\n== %s\n' "$*"; }

section "build and test"
cmake -S . -B build -DBRASSBOX_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest -j"$jobs" --output-on-failure)
[ "${1:-}" = "--quick" ] && exit 0

section "static analysis"
scripts/lint.sh build

section "sanitizers"
cmake -S . -B build-asan -DBRASSBOX_WERROR=ON -DBRASSBOX_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:fast_unwind_on_malloc=0
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest -j"$jobs" --output-on-failure)

section "fuzzing"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DBRASSBOX_FUZZ=ON -DBRASSBOX_TESTS=OFF \
    -DBRASSBOX_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_names fuzz_replies
for target in fuzz_names fuzz_replies; do
    mkdir -p "build-fuzz/corpus/$target"
    "build-fuzz/tests/fuzz/$target" -max_total_time="${FUZZ_SECONDS:-25}" -print_final_stats=1 \
        "build-fuzz/corpus/$target" "tests/fuzz/seeds/$target" 2>&1 | grep -E "^stat::(number_of_executed_units|new_units_added)|ERROR|BINGO"
done

section "all tests passed"
