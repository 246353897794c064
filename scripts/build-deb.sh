#!/bin/sh
# Builds the Debian package the Debian way (dpkg-buildpackage, unsigned,
# binary only) in a copy of this tree, build folders left out, and moves
# what it made into OUT_DIR. The copy must then clean back to what was
# copied (debian/rules clean), so that a tree can be built again and again.
#   scripts/build-deb.sh OUT_DIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 OUT_DIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

tree=$work/brassbox
mkdir "$tree"
tar --exclude='./build*' --exclude='./obj-*' --exclude=./.git -cf - . | tar -C "$tree" -xf -
cd "$tree"
state() { find . -printf '%M %p\n' | sort; find . -type f -print0 | sort -z | xargs -0 sha256sum; }
before=$(state)
DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b >"$work/log" 2>&1 || {
    tail -n 40 "$work/log" >&2
    echo "$0: dpkg-buildpackage failed" >&2
    exit 1
}
debian/rules clean >>"$work/log" 2>&1 && [ "$(state)" = "$before" ] || {
    echo "$0: debian/rules clean did not leave the tree as it was" >&2
    exit 1
}
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
for file in "$work"/*.ddeb; do [ ! -e "$file" ] || mv "$file" "$out/"; done
