#!/bin/sh
# clang-tidy (checks in .clang-tidy) and cppcheck (checks below, known
# false findings in tests/cppcheck.supp) over our own sources.
#   scripts/lint.sh BUILD_DIR    a build folder with compile_commands.json
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
sources=$(find src -name '*.cpp' | sort)

# shellcheck disable=SC2086
clang-tidy -quiet -p "$build" $sources
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppressions-list=tests/cppcheck.supp -I src -I src/client src
echo "lint: clean"
