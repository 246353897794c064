#!/bin/sh
# Installs the other Secret Services Debian ships (KWallet's kwalletd and
# KeePassXC), builds brassbox and runs every command against each service
# installed, gnome-keyring too, each headless on a private bus, checking
# the service's own state afterwards (tests/providers_test.sh, the ctest
# label "providers").
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test --providers
cmake -S . -B build -DBRASSBOX_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)"
cd build
# Verbose: which services were tested, and which could not be, shows.
ctest -L providers --verbose
