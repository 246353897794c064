#!/bin/sh
# Installs the Debian packages brassbox needs, only those missing. The
# names are those of Debian 12, 13 and testing alike; where Debian has an
# unversioned package that follows its default compiler, that one.
#   scripts/install-deps.sh                  to build and run it
#   scripts/install-deps.sh --test --bench   also to run every test and check,
#                                            and the benchmark (any of them)
# Waits for another install that holds the package manager's lock.
set -eu

packages="g++ cmake make pkg-config libglib2.0-dev libsystemd-dev libgcrypt20-dev
gnome-keyring dbus dbus-bin dbus-daemon"
for set in "$@"; do
    case $set in
    --test) packages="$packages libgtest-dev tzdata clang libclang-rt-dev clang-tidy cppcheck
        lintian dpkg-dev zsh fish" ;;
    --bench) packages="$packages hyperfine time python3 libsecret-1-dev libsecret-tools libglib2.0-bin
        systemd valgrind git" ;;
    *) echo "usage: $0 [--test] [--bench]" >&2; exit 2 ;;
    esac
done

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
wait_lock="-o DPkg::Lock::Timeout=600"
# The package lists have a lock of their own: try again while it is held.
tries=0
until $sudo apt-get $wait_lock update -q; do
    tries=$((tries + 1))
    [ $tries -lt 20 ] || exit 1
    echo "apt-get update failed; trying again in 15 s" >&2
    sleep 15
done

# A name this release does not have is said once, before apt-get would
# bury it in a page of its own output.
unknown=""
for package in $missing; do
    candidate=$(apt-cache policy "$package" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    [ -n "$candidate" ] && [ "$candidate" != "(none)" ] || unknown="$unknown $package"
done
if [ -n "$unknown" ]; then
    release=$(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME") || release="this system"
    echo "$0: no package to install for:$unknown (on ${release:-this system})" >&2
    exit 1
fi
# shellcheck disable=SC2086
$sudo apt-get $wait_lock install -y -q --no-install-recommends $missing
