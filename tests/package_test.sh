#!/bin/sh
# The Debian package and `cmake --install`: the right files, the right
# metadata, a package lintian accepts, and an installed binary that works
# on a private daemon.
#   package_test.sh BUILD_DIR SOURCE_DIR     (absolute paths)
set -eu
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" --strip >/dev/null
for file in bin/brassbox share/man/man1/brassbox.1.gz share/bash-completion/completions/brassbox \
    share/doc/brassbox/copyright share/doc/brassbox/changelog.Debian.gz; do
    [ -f "$work/prefix/$file" ] || fail "cmake --install --prefix: no $file"
done
! readelf -S "$work/prefix/bin/brassbox" | grep -qE '\.symtab|\.comment' ||
    fail "cmake --install --strip left symbols or notes"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(ls "$work"/brassbox_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
# From the libraries the binary loads: sd-bus and libgcrypt, and GLib only
# when it is not linked in.
for needed in libc6 libsystemd0 libgcrypt20; do
    case "$depends" in *"$needed"*) ;; *) fail "Depends lacks $needed: $depends" ;; esac
done
case "$depends" in *libsecret*) fail "Depends on libsecret: $depends" ;; esac
[ "$(dpkg-deb -f "$deb" Recommends)" = "gnome-keyring, bash-completion" ] ||
    fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
dpkg-deb -f "$deb" Description | awk 'length > 80 { exit 1 }' || fail "description wider than 80"
# Errors and warnings fail; the overrides shipped say why a tag is accepted.
# lintian leaves files in its temporary folder: give it one of ours.
mkdir "$work/lintian-tmp"
TMPDIR="$work/lintian-tmp" lintian --fail-on error,warning "$deb" 2>/dev/null >"$work/lintian" || {
    cat "$work/lintian" >&2
    fail "lintian"
}

dpkg -x "$deb" "$work/root"
installed="$work/root/usr/bin/brassbox"
zcat "$work/root/usr/share/doc/brassbox/changelog.Debian.gz" | head -n 1 |
    grep -q "^brassbox ($(dpkg-deb -f "$deb" Version)) " || fail "changelog does not name the version"
head -n 1 "$work/root/usr/share/doc/brassbox/copyright" |
    grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
    fail "copyright is not machine-readable"
out=$("$source/scripts/private-keyring.sh" bash -c "
    '$installed' -c work -p pw 2>/dev/null
    '$installed' --list
    PATH='$work/root/usr/bin':\$PATH
    . '$work/root/usr/share/bash-completion/completions/brassbox'
    COMP_WORDS=(brassbox --lock w); COMP_CWORD=2; _brassbox
    echo \"completes: \${COMPREPLY[*]}\"" 2>/dev/null)
[ "$out" = "session
work
completes: work" ] || [ "$out" = "work
session
completes: work" ] || fail "installed binary: $out"
echo "package: ok"
