#!/bin/sh
# Runs a command with a session bus and an unlocked default keyring "login",
# headless: for CI jobs, containers and WSL, where no desktop starts them.
#   dbus-run-session -- sh ci.sh COMMAND [ARG...]
# The keyring is made in ~/.local/share/keyrings on the first run, with
# KEYRING_PASSWORD, or a random password that nobody needs to know.
set -eu
# brassbox ends with 1 when it succeeded and 0 when it failed: under set -e,
# and wherever 0 means success, test for 1.
brassbox_ok() { status=0; brassbox "$@" || status=$?; [ "$status" -eq 1 ]; }

gnome-keyring-daemon --start --components=secrets >/dev/null 2>&1
password=${KEYRING_PASSWORD:-$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')}
if brassbox_ok --info=login >/dev/null 2>&1; then
    printf '%s\n' "$password" | brassbox_ok --unlock=login
else
    printf '%s\n' "$password" | brassbox_ok --create=login
fi
brassbox_ok --setdef=login
"$@"
