#!/bin/sh
# Runs a command of this tree as an ordinary user, with a clean environment,
# in a copy of the tree (build folders left out) that is also the user's
# home. The user is `nobody`, which every Debian system has, so nothing on
# the machine changes for good: the copy is removed afterwards, also when
# the run is interrupted. For root only.
#   scripts/as-ordinary-user.sh scripts/test.sh --quick
set -eu
cd "$(dirname "$0")/.."
user=nobody
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root" >&2; exit 2; }
group=$(id -gn "$user")

# The user's home, in a folder the user can reach: ours may be closed to
# others, /tmp is not.
home=$(mktemp -d "${TMPDIR:-/tmp}/brassbox-user.XXXXXX")
trap 'rm -rf "$home"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
chown "$user:$group" "$home"
if ! runuser -u "$user" -- test -w "$home"; then
    rm -rf "$home"
    home=$(mktemp -d /tmp/brassbox-user.XXXXXX)
fi
copy="$home/tree"
mkdir "$copy" "$home/.tmp"
tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
chown -R "$user:$group" "$home"
runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/local/bin:/usr/bin:/bin TMPDIR="$home/.tmp" \
    sh -c 'cd "$1" && shift && "$@"' sh "$copy" "$@"
