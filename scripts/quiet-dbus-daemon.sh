#!/bin/sh
# dbus-daemon for our throwaway sessions, without the one line it prints
# in every container where it may not raise its file limit ("Failed to set
# fd limit to 65536: Operation not permitted"): harmless there, and noise
# to whoever reads the output. Everything else it says gets through.
# dbus-run-session starts it: --dbus-daemon=scripts/quiet-dbus-daemon.sh
set -eu
# The filter must not hold the pipe the bus writes its address to, or
# dbus-run-session would wait for that pipe to close.
address_fd=""
previous=""
for arg; do
    [ "$previous" != --print-address ] || address_fd=$arg
    previous=$arg
done
case $address_fd in *[!0-9]*) address_fd="" ;; esac
fifo=$(mktemp -u "${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}/dbus-stderr.XXXXXX")
mkfifo -m 600 "$fifo"
eval "grep --line-buffered -v -F 'Failed to set fd limit' <\"\$fifo\" >&2 ${address_fd:+$address_fd>&-} &"
exec 2>"$fifo"
rm -f "$fifo"
# The same process, so that dbus-run-session stops the bus itself; its
# number is kept for whoever must stop a session that lost its runner.
[ -z "${BRASSBOX_SESSION_DIR:-}" ] || echo $$ >"$BRASSBOX_SESSION_DIR/bus.pid"
exec dbus-daemon "$@"
