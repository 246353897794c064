#!/bin/sh
# The Debian package and `cmake --install`: the right files, the right
# dependencies, and an installed binary that works on a private daemon.
#   package_test.sh BUILD_DIR SOURCE_DIR     (absolute paths)
set -eu
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in bin/brassbox share/man/man1/brassbox.1.gz share/bash-completion/completions/brassbox; do
    [ -f "$work/prefix/$file" ] || fail "cmake --install --prefix: no $file"
done

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(ls "$work"/brassbox_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libglib2.0-0 libsecret-1-0; do
    case "$depends" in *"$needed"*) ;; *) fail "Depends lacks $needed: $depends" ;; esac
done
[ "$(dpkg-deb -f "$deb" Recommends)" = gnome-keyring ] || fail "does not recommend gnome-keyring"

dpkg -x "$deb" "$work/root"
installed="$work/root/usr/bin/brassbox"
[ -f "$work/root/usr/share/man/man1/brassbox.1.gz" ] || fail "no manual page"
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
