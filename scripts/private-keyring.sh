#!/bin/sh
# Runs a command on a private session bus with a throwaway keyring daemon,
# all of its state in a temporary folder that is removed once the session
# has ended, however it ended. No real user's keyrings are ever touched.
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
scripts=$(cd "$(dirname "$0")" && pwd)

home=$(mktemp -d "${TMPDIR:-/tmp}/brassbox-keyring.XXXXXX")
case $home in
*[\&\<\>]*)
    echo "$0: $home: the bus's settings cannot hold this path" >&2
    rmdir "$home"
    exit 2
    ;;
esac
mkdir -p "$home/data" "$home/config" "$home/cache" "$home/run"
chmod 700 "$home/run"
# The runtime folder holds the sockets (the bus's, the daemon's), so it is
# in the folder, where nothing can outlive the session; unless its path is
# too long for a socket in it (107 bytes at most): then a short folder of
# its own, removed with the rest.
runtime="$home/run"
[ ${#runtime} -le 80 ] || runtime=$(mktemp -d /tmp/brassbox-run.XXXXXX)

# This process becomes the session (exec below), so nothing here runs
# after it. A watcher cleans up once the session is over, however it ended:
# if it was killed, the command, the bus and the daemon it ran are stopped
# (they note their numbers in the folder); then the folder is removed.
session=$$
(
    trap '' HUP INT QUIT TERM
    running() {
        read -r stat <"/proc/$1/stat" 2>/dev/null || return 1
        state=${stat##*) }
        [ "${state%% *}" != Z ]
    }
    while running $session; do
        sleep 0.1
    done
    for name in command bus daemon; do
        pid=$(cat "$home/$name.pid" 2>/dev/null) || continue
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            running "$pid" || break
            sleep 0.1
        done
    done
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        rm -rf "$home" "$runtime" 2>/dev/null || true
        [ -e "$home" ] || [ -e "$runtime" ] || exit 0
        sleep 0.2
    done
) </dev/null >/dev/null 2>&1 &

# The bus passes its own environment to the daemons it starts on demand,
# so all of this must be in place before the bus starts.
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$runtime"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK

# The session bus's own settings, but its socket where the watcher finds
# it rather than in /tmp, where a bus that was killed would leave it.
cat >"$home/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=$runtime</listen>
  <auth>EXTERNAL</auth>
  <standard_session_servicedirs/>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF

export BRASSBOX_START_DAEMON="$start_daemon" BRASSBOX_SESSION_DIR="$home"
exec dbus-run-session --config-file="$home/bus.conf" \
    --dbus-daemon="$scripts/quiet-dbus-daemon.sh" -- sh -c '
    if [ "$BRASSBOX_START_DAEMON" = 1 ]; then
        # A session of its own, as a daemon has: no signal meant for the
        # process group of the command reaches it.
        setsid gnome-keyring-daemon --start --foreground --components=secrets >/dev/null 2>&1 &
        echo $! >"$BRASSBOX_SESSION_DIR/daemon.pid"
        tries=0
        until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
                org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
                grep -q "boolean true"; do
            tries=$((tries + 1))
            [ $tries -lt 100 ] || { echo "keyring daemon did not start" >&2; exit 1; }
            sleep 0.05
        done
    fi
    echo $$ >"$BRASSBOX_SESSION_DIR/command.pid"
    unset BRASSBOX_START_DAEMON BRASSBOX_SESSION_DIR
    exec "$@"' sh "$@"
