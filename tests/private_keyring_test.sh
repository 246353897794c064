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
# eventually WHAT TEST...: waits up to 10 s for TEST to succeed.
eventually() {
    what=$1
    shift
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || fail "$what"
        sleep 0.1
    done
}
gone() { for path; do [ ! -e "$path" ] || return 1; done; }
empty() { [ -z "$(ls -A "$1")" ]; }

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
eventually "the bus's socket outlived the session: $socket" gone "$socket"
# A temporary folder too deep for sockets: the session works all the same,
# and leaves nothing, its short runtime folder included.
deep="$TMPDIR/a-folder-name-long-enough/to-push-the-runtime-folder/past-what-a-socket-holds"
mkdir -p "$deep"
out=$(TMPDIR=$deep "$session" sh -c 'echo "$XDG_RUNTIME_DIR"; "$0" --list' "$brassbox" 2>/dev/null) ||
    true
runtime=$(echo "$out" | head -n 1)
[ "$(echo "$out" | tail -n 1)" = session ] || fail "deep folder: $out"
eventually "deep folder: $runtime left" gone "$runtime"
eventually "deep folder: not emptied" empty "$deep"
rm -r "$TMPDIR/a-folder-name-long-enough"
out=$("$session" --no-daemon "$brassbox" --list 2>/dev/null) || true
[ "$out" = session ] || fail "daemon started on demand: $out"

# Interrupted and killed: the command, the bus and the daemon are stopped too.
for signal in TERM KILL; do
    "$session" sh -c "echo \$\$ >'$notes/command'; echo \$DBUS_SESSION_BUS_ADDRESS >'$notes/bus';
        exec sleep 60" &
    runner=$!
    eventually "session did not start" test -s "$notes/bus"
    kill -"$signal" "$runner"
    wait "$runner" || true
    command=$(cat "$notes/command")
    socket=$(cat "$notes/bus")
    socket=${socket#unix:path=}
    socket=${socket%%,*}
    rm "$notes/command" "$notes/bus"
    eventually "after $signal: command $command still runs" gone "/proc/$command"
    eventually "after $signal: $socket left" gone "$socket"
    eventually "after $signal: the temporary folder not emptied" empty "$TMPDIR"
done
echo "private keyring: ok"
