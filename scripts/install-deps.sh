#!/bin/sh
# Installs the Debian packages brassbox needs, only those missing.
#   scripts/install-deps.sh          to build and run it
#   scripts/install-deps.sh --test   also to run every test and check
set -eu

packages="g++ cmake make pkg-config libglib2.0-dev libsecret-1-dev
gnome-keyring dbus dbus-bin dbus-daemon"
if [ "${1:-}" = "--test" ]; then
    packages="$packages libgtest-dev tzdata clang libclang-rt-14-dev clang-tidy cppcheck"
fi

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
