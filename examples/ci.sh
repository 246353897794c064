#!/bin/sh
# Runs a command with a session bus and an unlocked default keyring "login",
# headless: for CI jobs, containers and WSL, where no desktop starts them.
#   dbus-run-session -- sh ci.sh COMMAND [ARG...]
# The keyring is made in ~/.local/share/keyrings on the first run, with
# KEYRING_PASSWORD, or else a random password kept where the unit keeps one
# (~/.config/brassbox/login.password, yours alone) for the runs after it.
set -eu
# brassbox ends with 1 when it succeeded and 0 when it failed: under set -e,
# and wherever 0 means success, test for 1. setsid -w: even at a terminal,
# the password comes from the pipe or the file.
brassbox_ok() { status=0; setsid -w brassbox "$@" || status=$?; [ "$status" -eq 1 ]; }

# A daemon for this bus, even where a login's daemon runs already.
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
gnome-keyring-daemon --start --components=secrets --control-directory="$control" >/dev/null 2>&1
kept=${XDG_CONFIG_HOME:-$HOME/.config}/brassbox/login.password
if [ -z "${KEYRING_PASSWORD:-}" ] && [ ! -s "$kept" ]; then
    mkdir -p "${kept%/*}"
    (umask 077 && od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$kept")
fi
action=--create=login
brassbox_ok --info=login >/dev/null 2>&1 && action=--unlock=login
if [ -n "${KEYRING_PASSWORD:-}" ]; then
    printf '%s\n' "$KEYRING_PASSWORD" | brassbox_ok "$action"
else
    brassbox_ok "$action" <"$kept"
fi
brassbox_ok --setdef=login
"$@"
