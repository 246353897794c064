# shellcheck shell=bash disable=SC2154
# Sourced by the tests that boot a Debian in a container: a copy of the
# release with the packages named (made once, kept in the cache, a copy per
# package list), brassbox's package installed in it, booted with
# systemd-nspawn -b in a cgroup of its own, and all of it gone at the end.
# The test names what it proves in $test, and its packages in $packages.
#   . scripts/booted-debian.sh   (then: boot, inside, shut_down, in_chroot, fail, skip)
# A failure shows the container's last words: the daemon's own among them.
fail() {
    echo "FAIL: $test on Debian $suite: $*" >&2
    [ -z "${leader:-}" ] || inside journalctl -q -n 40 -o short-monotonic >&2 || true
    exit 1
}
skip() { echo "NOT TESTED: $test on Debian $suite: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "it needs root"
cache=${BRASSBOX_DEBIAN_CACHE:-/var/cache/brassbox-debian}
# git's credential helper for libsecret, which Debian ships as source only.
packages+=(systemd systemd-sysv dbus dbus-user-session libpam-systemd gnome-keyring libsecret-tools python3-keyring
    procps git libsecret-1-dev gcc make pkgconf)
# A copy made with other packages is another copy.
image=$cache/$suite-booted-$(echo "${packages[*]}" | md5sum | cut -c1-8).tar
scripts/install-deps.sh --test
for tool in systemd-nspawn:systemd-container ssh:openssh-client debootstrap:debootstrap; do
    command -v "${tool%:*}" >/dev/null ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${tool#*:}" >/dev/null
done

work=$(mktemp -d /var/tmp/brassbox-booted.XXXXXX) root=$work/root nspawn="" leader=""
cgroup=${work##*/}
# Ends the container (with its first process, the kernel ends every other),
# and all it leaves.
cleanup() {
    [ -z "$leader" ] || kill -KILL "$leader" 2>/dev/null || true
    [ -z "$nspawn" ] || wait "$nspawn" 2>/dev/null || true
    find /sys/fs/cgroup -depth -type d -path "*/$cgroup*" -exec rmdir {} + 2>/dev/null || true
    for mount in proc dev; do ! mountpoint -q "$root/$mount" || umount -l "$root/$mount"; done
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The release with the packages, made once; every run boots a copy.
in_chroot() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
mkdir "$root"
if [ ! -f "$image" ]; then
    scripts/fresh-debian.sh "$suite" base
    tar -C "$root" -xf "$cache/$suite.tar" && cp /etc/resolv.conf "$root/etc/resolv.conf"
    mount -t proc proc "$root/proc" && mount --bind /dev "$root/dev"
    helper=/usr/share/doc/git/contrib/credential/libsecret
    in_chroot sh -c "apt-get update -q && apt-get install -y -q --no-install-recommends ${packages[*]} &&
        apt-get clean && cp -r $helper /tmp/helper && gunzip -fq /tmp/helper/*.gz; make -C /tmp/helper &&
        install /tmp/helper/git-credential-libsecret /usr/local/bin && rm -r /tmp/helper" \
        >"$work/install.log" 2>&1 || { tail -n 20 "$work/install.log"; fail "no system"; }
    umount "$root/proc" "$root/dev"
    tar -C "$root" -cf "$image.part" . && mv "$image.part" "$image"
    rm -rf --one-file-system "$root" && mkdir "$root"
fi
tar -C "$root" -xf "$image"
# brassbox as its package installs it.
scripts/build-deb.sh "$work/deb" || fail "no package"
cp "$work"/deb/brassbox_*.deb "$root/var/tmp/brassbox.deb"
in_chroot dpkg -i /var/tmp/brassbox.deb >/dev/null || fail "brassbox's package does not install"
cp scripts/clients-work.sh "$root/usr/local/bin/clients-work"

# The container's system manager takes the cgroup it starts in for its own:
# it gets one to itself, in each hierarchy there is.
boot() {
    (for h in /sys/fs/cgroup /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
        [ ! -e "$h/cgroup.procs" ] || { mkdir -p "$h/$cgroup" && echo $BASHPID >"$h/$cgroup/cgroup.procs"; } || exit
    done && SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -D "$root" -b --register=no --keep-unit \
        --private-network --console=passive >"$work/boot.log" 2>&1) &
    nspawn=$!
    for _ in $(seq 300); do
        leader=$(pgrep -P "$nspawn" | head -n 1) || true
        [ -z "$leader" ] || case $(nsenter -t "$leader" -a systemctl is-system-running 2>/dev/null) in
            running | degraded) return ;;
        esac
        kill -0 "$nspawn" 2>/dev/null || skip "the container does not boot here: $(tail -n 3 "$work/boot.log")"
        sleep 0.1
    done
    skip "the container did not boot within 30 s"
}
inside() { nsenter -t "$leader" -a "$@"; }
# Until the container is down, for the next boot.
shut_down() {
    inside systemctl poweroff && wait "$nspawn" || true
    nspawn="" leader=""
}
