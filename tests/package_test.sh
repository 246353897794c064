#!/bin/sh
# The Debian package (built by the deb test) and `cmake --install`: the
# right files, the right metadata, a package lintian accepts, and an
# installed binary that works on a private daemon.
#   package_test.sh BUILD_DIR SOURCE_DIR     (absolute paths)
set -eu
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" --strip >/dev/null
installed_files="bin/brassbox bin/brassbox-unlock share/bash-completion/completions/brassbox
share/doc/brassbox/copyright share/doc/brassbox/examples/ci.sh share/doc/brassbox/examples/lock-all.sh
share/doc/brassbox/examples/profile.sh share/doc/brassbox/examples/ssh.sh share/fish/vendor_completions.d/brassbox.fish
share/man/man1/brassbox-unlock.1.gz share/man/man1/brassbox.1.gz share/systemd/user/brassbox-unlock@.service
share/zsh/site-functions/_brassbox"
[ "$(cd "$work/prefix" && find . -type f | sed 's|^\./||' | sort | paste -sd ' ')" = "$(echo $installed_files)" ] ||
    fail "cmake --install --prefix: $(cd "$work/prefix" && find . -type f | paste -sd ' ')"
! readelf -S "$work/prefix/bin/brassbox" | grep -qE '\.symtab|\.comment' ||
    fail "cmake --install --strip left symbols or notes"

deb=$(ls "$build"/tests/deb/brassbox_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
# From the libraries the binary loads (Debian 13 calls GLib's libglib2.0-0t64).
for needed in libc6 libglib2.0-0 libsystemd0 libgcrypt20; do
    case "$depends" in *"$needed"*) ;; *) fail "Depends lacks $needed: $depends" ;; esac
done
case "$depends" in *libsecret*) fail "Depends on libsecret: $depends" ;; esac
[ "$(dpkg-deb -f "$deb" Recommends)" = gnome-keyring ] || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
version=$(dpkg-deb -f "$deb" Version)
[ "brassbox ${version%-*}" = "$("$build/brassbox" --version 2>&1)" ] || fail "package $version, program's version differs"
! dpkg-deb -c "$deb" | grep -v '^drwxr-xr-x \|^-rw-r--r-- \|^-rwxr-xr-x ' || fail "modes other than 0755 and 0644"
# Any tag fails, pedantic ones included; the overrides shipped say why a tag
# is accepted. lintian leaves files in its temporary folder: give it one of ours.
mkdir "$work/lintian-tmp"
TMPDIR="$work/lintian-tmp" lintian --pedantic --display-info --fail-on error,warning,info,pedantic "$build"/tests/deb/*.changes \
    2>/dev/null >"$work/lintian" || {
    cat "$work/lintian" >&2
    fail "lintian"
}

dpkg -x "$deb" "$work/root"
head -n 1 "$work/root/usr/share/doc/brassbox/copyright" |
    grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
    fail "copyright is not machine-readable"
# Each shell's completion, from where the package puts it, which must be
# where that shell looks.
share="$work/root/usr/share"
zsh -fc 'print -l $fpath' | grep -qx /usr/share/zsh/vendor-completions ||
    fail "zsh does not read /usr/share/zsh/vendor-completions"
HOME=$work fish -c 'printf "%s\\n" $fish_complete_path' | grep -qx /usr/share/fish/vendor_completions.d ||
    fail "fish does not read /usr/share/fish/vendor_completions.d"
cat >"$work/completions.sh" <<'SCRIPT'
PATH=$BIN:$PATH
brassbox -c work -p pw 2>/dev/null; brassbox -c wide -p pw 2>/dev/null
echo "list: $(brassbox --list | sort | xargs)"
. "$SHARE/bash-completion/completions/brassbox"
COMP_WORDS=(brassbox --lock w); COMP_CWORD=2; _brassbox
echo "bash: $(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)"
zsh_complete() { zsh -f "$TESTS/complete.zsh" "$SHARE/zsh/vendor-completions" "$1" | sort | xargs; }
echo "zsh: $(zsh_complete 'brassbox --info=w') $(zsh_complete 'brassbox --cr') $(zsh_complete 'brassbox -c w')"
echo "fish: $(fish -N -c "source $SHARE/fish/vendor_completions.d/brassbox.fish
    complete -C 'brassbox -l w'; complete -C 'brassbox --cr'; complete -C 'brassbox -c w'" |
    cut -f 1 | sort | xargs)"
SCRIPT
out=$(BIN="$work/root/usr/bin" SHARE="$share" TESTS="$source/tests" \
    "$source/scripts/private-keyring.sh" bash "$work/completions.sh" 2>&1)
[ "$out" = "list: session wide work
bash: wide work
zsh: wide work --create 
fish: --create wide work" ] || fail "installed binary and completion: $out"
echo "package: ok"
