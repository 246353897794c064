#!/bin/bash
# A real login, as a user of brassbox's unit has one: a fresh Debian RELEASE
# booted in a container (systemd as PID 1, logind, sshd, PAM with
# pam_systemd, a user manager for each login), brassbox installed from its
# package, ordinary users logging in over SSH with a key. The recipes of
# examples/ run as written there; secret-tool and python's keyring must then
# work without asking, and git's libsecret helper. Ends with 77 where the
# container cannot boot.
#   scripts/real-login.sh RELEASE    (as root: bookworm, trixie, ...)
set -eu
cd "$(dirname "$0")/.."
suite=${1:?usage: $0 RELEASE}
test="a real login" packages=(openssh-server xauth)
examples=/usr/share/doc/brassbox/examples
# shellcheck source=scripts/booted-debian.sh
. scripts/booted-debian.sh

# ada sets up the unit, bob runs the CI recipe; both log in with a key. A
# user's manager stops at the last logout.
ssh-keygen -q -t ed25519 -N '' -f "$work/key" && cp "$work/key.pub" "$root/var/tmp/key.pub"
in_chroot sh -c 'ssh-keygen -A && for user in ada bob; do
    useradd -m -s /bin/bash $user && mkdir -m 700 /home/$user/.ssh &&
    cp /var/tmp/key.pub /home/$user/.ssh/authorized_keys && chown -R $user: /home/$user/.ssh; done' >/dev/null ||
    fail "no users"
cat "$root$examples/profile.sh" >>"$root/home/ada/.profile"
# A fresh manager for every login, as many as the test makes in a row.
mkdir -p "$root/etc/systemd/logind.conf.d"
printf '[Login]\nUserStopDelaySec=0\n' >"$root/etc/systemd/logind.conf.d/stop-at-logout.conf"
for unit in user@ user-runtime-dir@; do
    mkdir -p "$root/etc/systemd/system/$unit.service.d"
    printf '[Unit]\nStartLimitIntervalSec=0\n' >"$root/etc/systemd/system/$unit.service.d/no-limit.conf"
done

# Booted, sshd listens: ssh from the host into the container's network.
boot_ssh() {
    boot
    ssh=(timeout 60 nsenter -t "$leader" -n ssh -i "$work/key" -o LogLevel=ERROR -o StrictHostKeyChecking=no
        -o UserKnownHostsFile=/dev/null)
}
login() { local user=$1 && shift && "${ssh[@]}" "$user@127.0.0.1" "$@"; }
# Until logind has let go of ada and her runtime folder is gone, so that her
# next login starts everything anew.
logged_out() {
    for _ in $(seq 100); do
        ! inside loginctl show-user ada >/dev/null 2>&1 && ! inside test -e /run/user/1000 && return
        sleep 0.1
    done
    fail "ada's user manager outlived her last logout"
}
# What the unit and its script said, in ada's journal.
unit_log() { inside journalctl -q -o cat _UID=1000 SYSLOG_IDENTIFIER=brassbox-unlock; }
boot_ssh

# A fresh account: the profile recipe says nothing while there is no keyring.
[ -z "$(scripts/at-terminal.py 'exit' "${ssh[@]}" -tt ada@127.0.0.1 | grep -E 'ERROR|password')" ] || fail "the profile spoke on a fresh account"
logged_out
# Set-up from nothing, as written, the password typed twice at a terminal.
scripts/at-terminal.py 'pw,pw' "${ssh[@]}" -tt ada@127.0.0.1 "brassbox-unlock setup" >"$work/setup.log"
stored=$(login ada 'cd ~/.config/brassbox && stat -c "%n %a" *') || fail "set-up: $(cat "$work/setup.log")"
case $suite:$stored in
bookworm:"login.password 600" | *:"login.cred 6"[04][04]) ;;
*) fail "the password is stored as: $stored" ;;
esac
login ada 'brassbox --getdef; brassbox --info=login' | grep -qx 'login' || fail "set-up: $(cat "$work/setup.log")"
# Run again, or changed, with a typo: nothing stored, and the keyring open again.
kept=$(login ada 'sha256sum ~/.config/brassbox/login.*')
for verb in setup change; do
    scripts/at-terminal.py 'typo' "${ssh[@]}" -tt ada@127.0.0.1 "brassbox-unlock $verb" |
        grep -q "that is not the password of keyring 'login': nothing stored" &&
        [ "$(login ada 'sha256sum ~/.config/brassbox/login.*')" = "$kept" ] &&
        [ "$(login ada 'brassbox --info=login | head -n 1')" = "Keyring locked : no" ] || fail "a typo at $verb"
done
# ~/.ssh/rc takes the X11 cookie from sshd: ssh -X still gets it (faked here, with no X server).
cookie=$(DISPLAY=:0 "${ssh[@]}" -Y ada@127.0.0.1 'echo "$DISPLAY"; xauth list' 2>&1)
[[ $cookie == *localhost:1*unix:1*MIT-MAGIC-COOKIE-1* ]] || fail "ssh -X lost its cookie: $cookie"
# Encrypted for ada on this machine: bob cannot use a copy.
store=/home/ada/.config/brassbox/login
[ ! -e "$root$store.cred" ] || inside sh -c "cp $store.cred /home/bob/login.cred && chown bob: /home/bob/login.cred &&
    runuser -u bob -- brassbox-unlock unlock login /home/bob/login 2>&1" |
    grep -q "login.cred cannot be decrypted here" || fail "another user's encrypted password"
logged_out
[ "$(unit_log | tail -n 1)" = "Locked 'login' keyring." ] || fail "not locked at the last logout"

# Each login's first command finds the keyring open: ssh host CMD, and an
# interactive login (whose profile would ask while it is locked).
for i in $(seq 20); do
    said=$(login ada 'brassbox --info=login 2>&1 | head -n 1')
    [ "$said" = "Keyring locked : no" ] || fail "ssh CMD ($i): $said"
    logged_out
    shown=$(scripts/at-terminal.py 'brassbox --info=login | head -n 1,exit' "${ssh[@]}" -tt ada@127.0.0.1)
    grep -q "Keyring locked : no" <<<"$shown" && ! grep -q "Enter password" <<<"$shown" ||
        fail "interactive login ($i): $shown"
    logged_out
done
inside test -x /usr/local/bin/git-credential-libsecret && login ada clients-work ada || fail "ada's clients failed"
# The CI recipe, twice in the home the unit was set up in, with its store.
for run in 1 2; do
    login ada "sh $examples/ci.sh clients-work ada-ci$run" 2>/dev/null || fail "ci.sh in the unit's home: run $run"
done

# A wrong or missing password: a clear line, no hang, nothing unlocked.
inside runuser -u ada -- sh -c "printf wrong | systemd-creds --user encrypt --name=brassbox-unlock - \
    $store.cred 2>/dev/null || { umask 077; echo wrong >$store.password; }"
# The login says so.
for said in "is not its password; store the right one (brassbox-unlock change)" "$store.password does not exist"; do
    [ "$(login ada 'brassbox --info=login | head -n 1' 2>"$work/told")" = "Keyring locked : yes" ] || fail "unlocked: $said"
    grep -qx "brassbox: a keyring was not unlocked; why: systemctl --user status 'brassbox-unlock@\*'" "$work/told" ||
        fail "a login with a failed unit was told: $(cat "$work/told")"
    logged_out
    [[ "$(unit_log | tail -n 2)" == *"$said"* ]] || fail "no line $said: $(unit_log | tail -n 2)"
    inside rm -f "$store.cred" "$store.password"
done
# An instance name reaches brassbox as it stands, never expanded.
login ada "systemctl --user start 'brassbox-unlock@\\x24USER'" 2>/dev/null || true
unit_log | tail -n 1 | grep -qF "keyring '\$USER'" || fail "an instance name expanded: $(unit_log | tail -n 1)"

# A symlink to a file only ada can read serves; a brassbox that cannot run
# unlocks nothing; a stop that locked passes, one that could not fails.
login ada 'echo pw >~/pw && chmod 600 ~/pw && ln -s ~/pw ~/.config/brassbox/login.password &&
    systemctl --user restart brassbox-unlock@login && systemctl --user stop brassbox-unlock@login &&
    ! systemctl --user -q is-failed brassbox-unlock@login && brassbox -i login | grep -qx "Keyring locked : yes"' ||
    fail "a symlinked password, or the lock at stop: $(unit_log | tail -n 3)"
inside sh -c "mv /usr/bin/brassbox /usr/bin/brassbox.away; runuser -u ada -- /usr/bin/brassbox-unlock \
    unlock login $store; status=\$?; mv /usr/bin/brassbox.away /usr/bin/brassbox; [ \$status -eq 1 ]" 2>/dev/null ||
    fail "a brassbox that cannot run counted as unlocked"
login ada 'echo other | brassbox -c work; (umask 077 && echo other >~/.config/brassbox/work.password) &&
    systemctl --user start brassbox-unlock@work && { brassbox -d work; systemctl --user stop brassbox-unlock@work;
    systemctl --user -q is-failed brassbox-unlock@work; }' 2>/dev/null || fail "a lock that failed passed at stop"
logged_out

# The CI recipe, twice in bob's home, without KEYRING_PASSWORD.
for run in made unlocked; do
    login bob "sh $examples/ci.sh clients-work $run" || fail "ci.sh: $run"
done

# Lingering: at boot, the keyring is open before anybody logs in.
# As root would; run by the container's manager, whose cgroup logind reads.
inside systemd-run --wait --quiet loginctl enable-linger ada
shut_down
boot_ssh
for _ in $(seq 100); do
    inside runuser -u ada -- env DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus brassbox -i login \
        2>/dev/null | grep -qx "Keyring locked : no" && break
    sleep 0.1
done
[ "$(unit_log | tail -n 1)" = "Unlocked 'login' keyring." ] || fail "lingering: not unlocked at boot"
# The unit stays active: a keyring locked at a logout is open at the next login.
login ada "sh $examples/lock-all.sh" 2>/dev/null || true
[ "$(login ada 'brassbox --info=login | head -n 1')" = "Keyring locked : no" ] || fail "lingering: locked by lock-all"
# The state at a glance, then the set-up undone: nothing of it left, lingering named.
state=$(login ada "brassbox-unlock state")
case $state in "unit: brassbox-unlock@login.service, enabled, active"*"password: $store.password, in plain text, mode 600
last: Unlocked 'login' keyring."*"keyring: Keyring locked : no"*"lingering: yes") ;;
*) fail "the state: $state" ;; esac
undone=$(login ada "brassbox-unlock undo")
[ "$(login ada 'ls -A ~/.config/brassbox; ls ~/.ssh/rc; systemctl --user is-enabled brassbox-unlock@login' 2>&1)" = \
    "work.password
ls: cannot access '/home/ada/.ssh/rc': No such file or directory
disabled" ] && [[ $undone == *"loginctl disable-linger ada" ]] || fail "undo: $undone"
echo "a real login on Debian $suite: ok"
