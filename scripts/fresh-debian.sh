#!/bin/sh
# Proves the README's two commands on a freshly bootstrapped, minimal Debian:
# a pristine copy of the release for each command, this working tree copied
# in, the command run as root with no standard input, as the README shows it.
#   scripts/fresh-debian.sh SUITE [try|test|providers|package|base]...    (as root; default: try test)
#   scripts/fresh-debian.sh trixie test
# providers: scripts/providers.sh, every command against the keyring
# services that release ships. package: scripts/debian-package.sh, the
# Debian package built and its autopkgtest run. base: only bootstrap the
# release, once.
# SUITE is a Debian release (bookworm, trixie, forky, testing, sid...). The
# bootstrapped base system is kept in $BRASSBOX_DEBIAN_CACHE (default
# /var/cache/brassbox-debian) for the next run; each copy, and its mounts,
# go when the run ends, however it ends.
set -eu
cd "$(dirname "$0")/.."

[ $# -ge 1 ] || { echo "usage: $0 SUITE [try|test|providers|package|base]..." >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root (debootstrap, mount, chroot)" >&2; exit 2; }
suite=$1
shift
commands=${*:-try test}
for command in $commands; do
    case $command in try | test | providers | package | base) ;; *) echo "$0: unknown command $command" >&2; exit 2 ;; esac
done
# The README's first two commands, as written there.
readme_command() {
    case $1 in
    providers) echo scripts/providers.sh ;;
    package) echo scripts/debian-package.sh ;;
    *) grep -m 1 -E "^    scripts/$1\.sh" README.md | sed -e 's/#.*//' -e 's/^ *//' -e 's/ *$//' ;;
    esac
}

cache=${BRASSBOX_DEBIAN_CACHE:-/var/cache/brassbox-debian}
base="$cache/$suite.tar"
mirror=http://deb.debian.org/debian

if ! command -v debootstrap >/dev/null; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap
fi
fresh=""
if [ ! -f "$base" ]; then
    echo "== bootstrapping a minimal Debian $suite into $base" >&2
    mkdir -p "$cache"
    fresh=$(mktemp -d "$cache/$suite.XXXXXX")
    # The tarball keeps this mode for the system's root, which all must reach.
    chmod 755 "$fresh"
    # A release newer than this debootstrap knows is bootstrapped as sid is.
    script=/usr/share/debootstrap/scripts/$suite
    [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
    debootstrap --variant=minbase "$suite" "$fresh" "$mirror" "$script" >"$fresh.log" 2>&1 || {
        tail -n 20 "$fresh.log" >&2
        rm -rf --one-file-system "$fresh" "$fresh.log"
        exit 1
    }
    tar -C "$fresh" -cf "$base.part" .
    mv "$base.part" "$base"
    rm -rf --one-file-system "$fresh" "$fresh.log"
    fresh=""
fi

root=""
# Ends whatever still runs in the copy, unmounts it, and removes it; a copy
# that something still holds mounted is left rather than emptied through
# its mounts.
cleanup() {
    [ -n "$root" ] && [ -d "$root" ] || return 0
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -KILL "${proc#/proc/}" 2>/dev/null
    done
    # The run in the background ends with what ran in the copy.
    wait
    for mount in tmp dev/pts dev proc ""; do
        mountpoint -q "$root/$mount" && { umount "$root/$mount" 2>/dev/null || umount -l "$root/$mount"; }
    done
    if grep -q " $root/" /proc/mounts; then
        echo "$0: $root is still mounted; left in place" >&2
    else
        rm -rf --one-file-system "$root"
    fi
    root=""
}
notes=""
trap 'cleanup; rm -rf "$notes"; [ -z "$fresh" ] || rm -rf --one-file-system "$fresh" "$fresh.log" "$base.part"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# prepare_copy: unpacks the pristine system at $root and mounts what it needs.
prepare_copy() {
    tar -C "$root" -xf "$base"
    # A root that is a mount point, as a system's is: a test's mount
    # namespace can then make its mounts its own.
    mount --bind "$root" "$root"
    # Others must reach the system's root, as the tests run as nobody too,
    # whatever mode a cache from an older run gave it.
    chmod 755 "$root"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    # A development release's archive may carry an expired Valid-Until: in
    # this copy only, apt may use it all the same.
    case $suite in
    bookworm | trixie | stable | oldstable) ;;
    *) echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99brassbox-expired" ;;
    esac
    mount -t proc proc "$root/proc"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    mkdir "$root/src"
    tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$root/src" -xf -
}

# run_in_copy COMMAND: runs COMMAND in the copy as root, with no standard input.
run_in_copy() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/sh -c "cd /src && $1" </dev/null
}

failed=0
notes=$(mktemp -d)
for command in $commands; do
    [ "$command" != base ] || continue
    line=$(readme_command "$command")
    [ -n "$line" ] || { echo "$0: the README does not start with scripts/$command.sh" >&2; exit 1; }
    echo "== Debian $suite, fresh: $line" >&2
    started=$(date +%s)
    root=$(mktemp -d "${TMPDIR:-/var/tmp}/brassbox-$suite.XXXXXX")
    prepare_copy
    # Waited for in the background, so that a signal ends the run at once
    # rather than after it: everything the run starts is inside the copy.
    { status=0; run_in_copy "$line" || status=$?; echo "$status" >"$notes/status"; } |
        tee "$notes/out" &
    wait "$!"
    cleanup
    status=$(cat "$notes/status")
    took=$(($(date +%s) - started))
    case $command in
    # brassbox lists the throwaway daemon's one keyring, and says it worked.
    try) [ "$status" -eq 1 ] && [ "$(tail -n 1 "$notes/out")" = session ] && verdict=ok ;;
    test | providers | package) [ "$status" -eq 0 ] && verdict=ok ;;
    esac
    echo "== Debian $suite: $line: ${verdict:-FAILED} (status $status, $took s)" >&2
    [ "${verdict:-}" = ok ] || failed=1
    verdict=""
done
exit "$failed"
