#!/bin/sh
# Runs a command with a session bus and an unlocked default keyring "login",
# headless: for CI jobs, containers and WSL, where no desktop starts them.
#   sh ci.sh COMMAND [ARG...]
# The password: KEYRING_PASSWORD, else the one the unit keeps
# (~/.config/brassbox/login.cred or login.password). A first run with
# neither makes the keyring, in ~/.local/share/keyrings, with a random
# password kept in login.password (yours alone) for the runs after it.
set -eu
# brassbox ends with 1 when it succeeded and 0 when it failed: under set -e,
# and wherever 0 means success, test for 1. setsid -w: even at a terminal,
# the password comes from the pipe.
brassbox_ok() { status=0; setsid -w brassbox "$@" || status=$?; [ "$status" -eq 1 ]; }
say() { echo "ci.sh: $*" >&2; }

# The variable leaves the environment before the bus, the daemon or the
# command starts: the password reaches the run on the bus through a pipe.
if [ "${1:-}" != --on-bus ]; then
    password=${KEYRING_PASSWORD:-}
    unset KEYRING_PASSWORD
    exec 3<&0
    printf '%s\n' "$password" | dbus-run-session -- sh "$0" --on-bus "$@" 4<&0 <&3 3<&-
    exit 0
fi
shift
IFS= read -r password <&4 || true
exec 4<&-

# A daemon for this bus, even where a login's daemon runs already. It owns
# its name a moment after it starts: brassbox waits for that, or the bus
# would start a second daemon, which the end of a short run leaves behind.
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
gnome-keyring-daemon --start --components=secrets --control-directory="$control" >/dev/null 2>&1
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q true && break
    sleep 0.1
done
kept=${XDG_CONFIG_HOME:-$HOME/.config}/brassbox/login
action=--create=login
brassbox_ok --info=login >/dev/null 2>&1 && action=--unlock=login
if [ -n "$password" ]; then
    :
elif [ -e "$kept.cred" ]; then
    password=$(systemd-creds --user decrypt --name=brassbox-unlock "$kept.cred" -) ||
        { say "$kept.cred cannot be decrypted here: set KEYRING_PASSWORD to the password of keyring 'login'"; exit 1; }
elif [ -s "$kept.password" ]; then
    password=$(cat "$kept.password")
elif [ "$action" = --unlock=login ]; then
    say "keyring 'login' exists, and no password is kept for it: set KEYRING_PASSWORD to its password"
    exit 1
else
    mkdir -p "${kept%/*}"
    password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    (umask 077 && printf '%s\n' "$password" >"$kept.password")
    made=$kept.password
fi
if ! printf '%s\n' "$password" | brassbox_ok "$action"; then
    # A password kept for a keyring that was not made would open nothing.
    [ -z "${made:-}" ] || rm -f "$made"
    [ "$action" = --create=login ] && say "keyring 'login' was not made" ||
        say "keyring 'login' was not unlocked: set KEYRING_PASSWORD to its password"
    exit 1
fi
brassbox_ok --setdef=login
"$@"
