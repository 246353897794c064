#!/bin/sh
# The benchmark, in one command: installs what it needs, builds brassbox
# and its yardsticks for release, measures them on a private keyring
# daemon, and writes bench/RESULTS.md.
#   RUNS=200 bench/run.sh
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBRASSBOX_TESTS=OFF -DBRASSBOX_BENCH=ON \
    >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
scripts/private-keyring.sh bench/measure.sh "$PWD/build-bench" "$PWD/build-bench/results"
python3 bench/report.py build-bench/results >bench/RESULTS.md
cat bench/RESULTS.md
