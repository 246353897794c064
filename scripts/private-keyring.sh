#!/bin/sh
# Runs a command on a private session bus with a throwaway keyring daemon,
# all of its state in a temporary folder that is removed afterwards. No
# real user's keyrings are ever touched.
#
#   scripts/private-keyring.sh [--no-daemon] command [args...]
#
# --no-daemon: start only the bus; the daemon then starts on demand.
set -eu

start_daemon=1
if [ "${1:-}" = "--no-daemon" ]; then
    start_daemon=0
    shift
fi
[ $# -gt 0 ] || { echo "usage: $0 [--no-daemon] command [args...]" >&2; exit 2; }

home=$(mktemp -d "${TMPDIR:-/tmp}/brassbox-keyring.XXXXXX")
trap 'rm -rf "$home"' EXIT INT TERM
mkdir -p "$home/data" "$home/config" "$home/cache" "$home/run"
chmod 700 "$home/run"

# The bus passes its own environment to the daemons it starts on demand,
# so all of this must be in place before the bus starts.
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK

export BRASSBOX_START_DAEMON="$start_daemon"
exec dbus-run-session -- sh -c '
    if [ "$BRASSBOX_START_DAEMON" = 1 ]; then
        gnome-keyring-daemon --start --components=secrets >/dev/null 2>&1
        tries=0
        until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
                org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
                grep -q "boolean true"; do
            tries=$((tries + 1))
            [ $tries -lt 100 ] || { echo "keyring daemon did not start" >&2; exit 1; }
            sleep 0.05
        done
    fi
    unset BRASSBOX_START_DAEMON
    exec "$@"' sh "$@"
