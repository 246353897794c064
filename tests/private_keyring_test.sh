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
[ "$status" -eq 1 ] && [ "$out" = session ] || fail "list: status $status, output $out"
! grep -q "fd limit" "$notes/err" || fail "the bus's fd limit line got through"
status=0
"$session" sh -c 'echo said >&2; exit 3' 2>"$notes/err" || status=$?
[ "$status" -eq 3 ] && [ "$(cat "$notes/err")" = said ] || fail "status $status, $(cat "$notes/err")"
# The bus's socket is in the session's folder, where nothing can outlive it.
address=$("$session" sh -c 'echo "$DBUS_SESSION_BUS_ADDRESS"')
case $address in "unix:path=$TMPDIR/brassbox-keyring."*) ;; *) fail "bus at $address" ;; esac
out=$("$session" --no-daemon "$brassbox" --list 2>/dev/null) || true
[ "$out" = session ] || fail "daemon started on demand: $out"

# Interrupted and killed: the command, the bus and the daemon are stopped too.
for signal in TERM KILL; do
    "$session" sh -c "echo \$\$ >'$notes/command'; exec sleep 60" &
    runner=$!
    tries=0
    until [ -s "$notes/command" ]; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || fail "session did not start"
        sleep 0.1
    done
    kill -"$signal" "$runner"
    wait "$runner" || true
    command=$(cat "$notes/command")
    rm "$notes/command"
    tries=0
    while [ -d "/proc/$command" ] || [ -n "$(ls -A "$TMPDIR")" ]; do
        tries=$((tries + 1))
        [ $tries -lt 50 ] || fail "after $signal: $(ls -A "$TMPDIR") left, command $command"
        sleep 0.1
    done
done
echo "private keyring: ok"
