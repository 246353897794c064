#!/bin/sh
# The benchmark, in one command: installs what it needs, builds brassbox,
# its yardsticks and today's brassbox (the last commit before the client
# library moved to sd-bus, or BASELINE) for release, measures them side by
# side on a private keyring daemon, and writes bench/RESULTS.md.
#   RUNS=200 BASELINE=<commit> bench/run.sh
set -eu
cd "$(dirname "$0")/.."
baseline=${BASELINE:-9a9e42845bcd2ffe4d5c2bdd46e01c2b3588ec87}
scripts/install-deps.sh --bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBRASSBOX_TESTS=OFF -DBRASSBOX_BENCH=ON \
    >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
rm -rf build-bench/baseline-src
mkdir -p build-bench/baseline-src
git archive "$baseline" | tar -x -C build-bench/baseline-src
cmake -S build-bench/baseline-src -B build-bench/baseline -DCMAKE_BUILD_TYPE=Release \
    -DBRASSBOX_TESTS=OFF >/dev/null
cmake --build build-bench/baseline -j"$(nproc)" --target brassbox >/dev/null
scripts/private-keyring.sh bench/measure.sh "$PWD/build-bench" "$PWD/build-bench/baseline/brassbox" \
    "$PWD/build-bench/results"
python3 bench/report.py build-bench/results "$(git rev-parse --short "$baseline")" >bench/RESULTS.md
cat bench/RESULTS.md
