#!/bin/sh
# Runs a command of this tree as an ordinary user, in a copy of the tree
# that user owns (build folders left out), with a clean environment; the
# copy is removed afterwards. For root only: creates the user when needed.
#   scripts/as-ordinary-user.sh scripts/test.sh --quick
set -eu
cd "$(dirname "$0")/.."
user=brassbox-test
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root" >&2; exit 2; }
id "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
home=$(getent passwd "$user" | cut -d: -f6)
mkdir -p "$home"
chown "$user:" "$home"

# In the user's home: our own temporary folder may be closed to others.
copy=$(mktemp -d "$home/brassbox.XXXXXX")
trap 'rm -rf "$copy"' EXIT
tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
mkdir "$copy/.tmp"
chown -R "$user:" "$copy"
runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" \
    PATH=/usr/local/bin:/usr/bin:/bin TMPDIR="$copy/.tmp" \
    sh -c 'cd "$1" && shift && "$@"' sh "$copy" "$@"
