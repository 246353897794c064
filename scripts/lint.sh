#!/bin/sh
# clang-tidy (checks in .clang-tidy) and cppcheck (checks below, known
# false findings in tests/cppcheck.supp) over our own sources.
#   scripts/lint.sh BUILD_DIR    a build folder with compile_commands.json
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
sources=$(find src -name '*.cpp' | sort)

# clang-tidy counts the warnings it suppressed in system headers, a line
# per file: only its findings are shown.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# shellcheck disable=SC2086
clang-tidy -quiet -p "$build" $sources >"$log" 2>&1 || status=$?
grep -v -E '^[0-9]+ warnings? generated\.$' "$log" || true
[ "$status" -eq 0 ] || exit "$status"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppressions-list=tests/cppcheck.supp -I src -I src/client src
# The shell scripts, warnings and errors. The recipes and the bash
# completion are read by a shell rather than run, so they name none; the
# recipes' `mkdir -p -m 700 ~/.ssh` makes one folder, in a home that exists.
shellcheck -x -S warning .ci/run scripts/*.sh bench/*.sh tests/*.sh systemd/brassbox-unlock.in \
    debian/tests/commands debian/tests/recipes debian/tests/unit
shellcheck -S warning --shell=sh -e SC2174 examples/*.sh
shellcheck -S warning --shell=bash completion/brassbox
echo "lint: clean"
