#!/bin/sh
# The Debian package in a fresh Debian root, as scripts/fresh-debian.sh
# SUITE package runs it (as root, with no standard input): only the
# Build-Depends installed, the package built as root, and as an ordinary
# user with the umask of a user-private group; then its autopkgtest with
# the null runner; then installed, removed and purged, with a user's own
# files beside it.
set -eu
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root, in a root of its own" >&2; exit 2; }
fail() { echo "FAIL: $*" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null
apt-get build-dep -y -q ./ >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
scripts/build-deb.sh "$out"
# The package's folders and files keep Debian's modes whatever the umask.
scripts/as-ordinary-user.sh sh -c 'umask 0002 && scripts/build-deb.sh ../deb &&
    ! dpkg-deb -c ../deb/brassbox_*.deb | grep -v "^drwxr-xr-x \|^-rw-r--r-- \|^-rwxr-xr-x "' ||
    fail "built as an ordinary user"

apt-get install -y -q --no-install-recommends autopkgtest >/dev/null
autopkgtest --no-built-binaries ./ "$out"/brassbox_*.deb -- null || fail "autopkgtest"

mkdir -p /root/.config/brassbox
echo kept >/root/.config/brassbox/login.password
for take_away in --remove --purge; do
    dpkg -i "$out"/brassbox_*.deb >/dev/null
    installed=$(dpkg -L brassbox)
    dpkg "$take_away" brassbox >/dev/null
    for path in $installed; do
        # A folder stays only while another package has it too; the root
        # (listed as /.) is nobody's.
        [ "$path" != /. ] || continue
        [ ! -e "$path" ] || dpkg -S "$path" >/dev/null 2>&1 || fail "left after dpkg $take_away: $path"
    done
done
! dpkg -s brassbox >/dev/null 2>&1 || fail "still known to dpkg after purge"
[ "$(cat /root/.config/brassbox/login.password)" = kept ] || fail "a user's file touched"
echo "debian package: ok"
