#!/bin/sh
# Installs the Debian packages brassbox needs, only those missing. The
# names are those of Debian 12, 13 and testing alike; where Debian has an
# unversioned package that follows its default compiler, that one.
#   scripts/install-deps.sh                  to build and run it
#   scripts/install-deps.sh --test --bench   also to run every test and check,
#                                            and the benchmark (any of them)
#   scripts/install-deps.sh --providers      also KWallet's and KeePassXC's
#                                            Secret Services, for their test
# Waits for another install that holds the package manager's lock.
set -eu

kwallet=0
packages="g++ cmake make pkg-config libglib2.0-dev libsystemd-dev libgcrypt20-dev
gnome-keyring dbus dbus-bin dbus-daemon"
for set in "$@"; do
    case $set in
    # The package built and checked. The recipes' test: the clients, a
    # systemd user manager with its session bus, nroff for the manual page.
    --test) packages="$packages libgtest-dev tzdata clang libclang-rt-dev clang-tidy cppcheck
        lintian dpkg-dev debhelper build-essential zsh fish libsecret-tools python3-keyring
        python3-secretstorage systemd dbus-user-session groff-base shellcheck" ;;
    --bench) packages="$packages hyperfine time python3 libsecret-1-dev libsecret-tools libglib2.0-bin
        systemd valgrind git" ;;
    # KWallet: kwallet6 from Debian 13 on, libkf5wallet-bin before; each with
    # the QCA plugins its encrypted session needs. Chosen once the package
    # lists are read.
    --providers) packages="$packages keepassxc"; kwallet=1 ;;
    *) echo "usage: $0 [--test] [--bench] [--providers]" >&2; exit 2 ;;
    esac
done

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}
missing=""
for package in $packages; do
    installed "$package" || missing="$missing $package"
done
if [ $kwallet -eq 1 ] && ! installed kwallet6 && ! installed libkf5wallet-bin; then
    missing="$missing kwallet"
fi
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

candidate() {
    apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p' | grep -v '^(none)$'
}
case " $missing " in
*" kwallet "*)
    kwallet_packages="libkf5wallet-bin libqca-qt5-2-plugins"
    [ -z "$(candidate kwallet6)" ] || kwallet_packages="kwallet6 libqca-qt6-plugins"
    missing=$(echo "$missing" | sed "s/ kwallet\( \|$\)/ $kwallet_packages\1/")
    ;;
esac

# A name this release does not have is said once, before apt-get would
# bury it in a page of its own output.
unknown=""
for package in $missing; do
    [ -n "$(candidate "$package")" ] || unknown="$unknown $package"
done
if [ -n "$unknown" ]; then
    release=$(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME") || release="this system"
    echo "$0: no package to install for:$unknown (on ${release:-this system})" >&2
    exit 1
fi
# shellcheck disable=SC2086
$sudo apt-get $wait_lock install -y -q --no-install-recommends $missing
