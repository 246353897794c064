#!/bin/sh
# Installs the Debian packages brassbox needs, only those missing.
#   scripts/install-deps.sh          to build and run it
#   scripts/install-deps.sh --test   also to run every test and check
#   scripts/install-deps.sh --bench  also to run the benchmark
set -eu

packages="g++ cmake make pkg-config libglib2.0-dev libsecret-1-dev
gnome-keyring dbus dbus-bin dbus-daemon"
case "${1:-}" in
--test) packages="$packages libgtest-dev tzdata clang libclang-rt-14-dev clang-tidy cppcheck" ;;
--bench) packages="$packages hyperfine time python3 libsecret-tools libglib2.0-bin valgrind" ;;
esac

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing="$missing $package"
done
[ -n "$missing" ] || exit 0

echo "Installing:$missing" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086
$sudo apt-get install -y -q --no-install-recommends $missing
