#!/bin/sh
# The throwaway session: the command's status comes back, the bus's
# container noise does not, and nothing of it is left afterwards, however
# the session ended (done, interrupted, or killed).
#   private_keyring_test.sh SOURCE_DIR BRASSBOX
set -eu
session="$1/scripts/private-keyring.sh"
brassbox=$2
notes=$(mktemp -d)
TMPDIR=$(mktemp -d)
export TMPDIR
trap 'rm -rf "$TMPDIR" "$notes"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

status=0
out=$("$session" "$brassbox" --list 2>"$notes/err") || status=$?
[ "$status" -eq 1 ] && [ "$out" = session ] ||
    fail "list: status $status, output $out, said $(cat "$notes/err")"
! grep -q "fd limit" "$notes/err" || fail "the bus's fd limit line got through"
status=0
"$session" sh -c 'echo said >&2; exit 3' 2>"$notes/err" || status=$?
[ "$status" -eq 3 ] && [ "$(cat "$notes/err")" = said ] || fail "status $status, $(cat "$notes/err")"
# The bus's socket goes with the session, wherever it was.
address=$("$session" sh -c 'echo "$DBUS_SESSION_BUS_ADDRESS"')
socket=${address#unix:path=}
socket=${socket%%,*}
case $socket in /*) ;; *) fail "bus at $address" ;; esac
tries=0
while [ -e "$socket" ]; do
    tries=$((tries + 1))
    [ $tries -lt 50 ] || fail "the bus's socket outlived the session: $socket"
    sleep 0.1
done
# A temporary folder too deep for sockets: the session works all the same,
# and leaves nothing, its short runtime folder included.
deep="$TMPDIR/a-folder-name-long-enough/to-push-the-runtime-folder/past-what-a-socket-holds"
mkdir -p "$deep"
out=$(TMPDIR=$deep "$session" sh -c 'echo "$XDG_RUNTIME_DIR"; "$0" --list' "$brassbox" 2>/dev/null) ||
    true
runtime=$(echo "$out" | head -n 1)
[ "$(echo "$out" | tail -n 1)" = session ] || fail "deep folder: $out"
tries=0
while [ -e "$runtime" ] || [ -n "$(ls -A "$deep")" ]; do
    tries=$((tries + 1))
    [ $tries -lt 50 ] || fail "deep folder: $runtime or $(ls -A "$deep") left"
    sleep 0.1
done
rm -r "$TMPDIR/a-folder-name-long-enough"
out=$("$session" --no-daemon "$brassbox" --list 2>/dev/null) || true
[ "$out" = session ] || fail "daemon started on demand: $out"

# Interrupted and killed: the command, the bus and the daemon are stopped too.
for signal in TERM KILL; do
    "$session" sh -c "echo \$\$ >'$notes/command'; echo \$DBUS_SESSION_BUS_ADDRESS >'$notes/bus';
        exec sleep 60" &
    runner=$!
    tries=0
    until [ -s "$notes/bus" ]; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || fail "session did not start"
        sleep 0.1
    done
    kill -"$signal" "$runner"
    wait "$runner" || true
    command=$(cat "$notes/command")
    socket=$(cat "$notes/bus")
    socket=${socket#unix:path=}
    socket=${socket%%,*}
    rm "$notes/command" "$notes/bus"
    tries=0
    while [ -d "/proc/$command" ] || [ -n "$(ls -A "$TMPDIR")" ] || [ -e "$socket" ]; do
        tries=$((tries + 1))
        [ $tries -lt 50 ] || fail "after $signal: $(ls -A "$TMPDIR") left, command $command, $socket"
        sleep 0.1
    done
done
echo "private keyring: ok"
