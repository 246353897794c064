#!/bin/bash
# Every command of brassbox against each Secret Service installed here, the
# real programs, each headless on a private bus: gnome-keyring, KWallet
# (kwalletd6, kwalletd5 or ksecretd) and KeePassXC. After each command the
# service's own state is read over D-Bus: a success must show there, and a
# failure must have changed nothing.
#   providers_test.sh BRASSBOX SOURCE_DIR
# Exits 77 (skipped) when no service could be started.
set -u
brassbox=$1
source=$2

if [ "${3:-}" != --inside ]; then
    tested=0
    failed=0
    for provider in gnome-keyring kwallet keepassxc; do
        "$source/scripts/private-keyring.sh" --no-daemon "$0" "$brassbox" "$source" --inside "$provider"
        case $? in
        0) tested=$((tested + 1)) ;;
        77) ;;
        *) failed=1 ;;
        esac
    done
    [ $failed -eq 0 ] || exit 1
    [ $tested -gt 0 ] || exit 77
    exit 0
fi
provider=$4
fixtures="$source/tests/providers"
collections=/org/freedesktop/secrets/collection

# Starts the service; says why when it cannot be tested here.
start_service() {
    case $provider in
    gnome-keyring)
        command -v gnome-keyring-daemon >/dev/null || return 77
        gnome-keyring-daemon --start --foreground --components=secrets >/dev/null 2>&1 &
        keyring=work
        ;;
    kwallet)
        kwalletd=$(command -v ksecretd kwalletd6 kwalletd5 | head -n 1)
        [ -n "$kwalletd" ] || return 77
        mkdir -p "$XDG_DATA_HOME/kwalletd"
        cp "$fixtures/kdewallet.kwl" "$fixtures/kdewallet.salt" "$XDG_DATA_HOME/kwalletd/"
        printf '[Wallet]\nEnabled=true\nFirst Use=false\n\n[org.freedesktop.secrets]\napiEnabled=true\n' \
            >"$XDG_CONFIG_HOME/kwalletrc"
        QT_QPA_PLATFORM=offscreen "$kwalletd" >"$HOME/service.log" 2>&1 &
        keyring=kdewallet
        ;;
    keepassxc)
        command -v keepassxc >/dev/null && command -v keepassxc-cli >/dev/null || return 77
        printf 'kppass\nkppass\n' | keepassxc-cli import -p "$fixtures/db.xml" "$HOME/kpdb.kdbx" \
            >/dev/null 2>&1 || { echo "keepassxc-cli could not import the database"; return 1; }
        mkdir -p "$XDG_CONFIG_HOME/keepassxc"
        printf '[FdoSecrets]\nEnabled=true\n' >"$XDG_CONFIG_HOME/keepassxc/keepassxc.ini"
        echo kppass | QT_QPA_PLATFORM=offscreen keepassxc --pw-stdin "$HOME/kpdb.kdbx" \
            >"$HOME/service.log" 2>&1 &
        keyring=kpdb
        ;;
    esac
    service=$!
    trap 'kill $service 2>/dev/null; wait $service 2>/dev/null' EXIT
    for _ in $(seq 300); do
        # Up once it owns the name and offers the keyring we gave it; the
        # database KeePassXC opened shows as locked for a moment first.
        service_owns_name &&
            { [ $provider = gnome-keyring ] || [ "$(state_present $keyring)" = yes ]; } &&
            { [ $provider != keepassxc ] || [ "$(state_locked $keyring)" = false ]; } && return 0
        kill -0 $service 2>/dev/null || break
        sleep 0.1
    done
    echo "NOT TESTED: $provider did not offer $keyring on org.freedesktop.secrets within 30 s"
    sed 's/^/    /' "$HOME/service.log" 2>/dev/null | tail -n 8
    return 77
}

service_owns_name() {
    local owner
    owner=$(dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID \
        string:org.freedesktop.secrets 2>/dev/null)
    [ "${owner##* }" = "$service" ]
}

# The last word of a D-Bus call's answer, as dbus-send prints it.
bus_call() {
    local path=$1 method=$2
    shift 2
    dbus-send --session --print-reply=literal --dest=org.freedesktop.secrets "$path" "$method" \
        "$@" 2>&1 | tr -s ' \n' ' ' | sed 's/ *$//'
}
state_locked() {
    local answer
    answer=$(bus_call "$collections/$1" org.freedesktop.DBus.Properties.Get \
        string:org.freedesktop.Secret.Collection string:Locked)
    echo "${answer##* }"
}
state_default() {
    local answer
    answer=$(bus_call /org/freedesktop/secrets org.freedesktop.Secret.Service.ReadAlias \
        string:default)
    echo "${answer##*/}"
}
state_present() {
    case " $(state_keyrings) " in *" $1 "*) echo yes ;; *) echo no ;; esac
}
state_keyrings() {
    bus_call /org/freedesktop/secrets org.freedesktop.DBus.Properties.Get \
        string:org.freedesktop.Secret.Service string:Collections | tr ' ' '\n' |
        sed -n "s|^$collections/||p" | sort | xargs
}

failures=0
fail() {
    echo "FAIL: $provider: $*"
    failures=$((failures + 1))
}
# run STATUS ERR [OUT] -- ARGS: brassbox ARGS must end with STATUS and print
# exactly ERR on standard error, and on standard output what matches the
# pattern OUT, when given.
run() {
    local status=$1 err=$2 out=
    shift 2
    if [ "$1" != -- ]; then out=$1; shift; fi
    shift
    local got_out got_err got_status
    got_out=$("$brassbox" "$@" 2>"$HOME/err")
    got_status=$?
    got_err=$(cat "$HOME/err")
    # OUT is a pattern: unquoted on purpose.
    # shellcheck disable=SC2053
    if [ "$got_status" != "$status" ] || [ "$got_err" != "$err" ] ||
        { [ -n "$out" ] && [[ $got_out != $out ]]; }; then
        fail "brassbox $*: status $got_status, said: $got_err $got_out
      expected: status $status, $err $out"
    fi
}
# at_terminal STATUS ERR -- ARGS: the same at a terminal (script(1)), where
# nobody types: a prompt would show, and get no password.
at_terminal() {
    local status=$1 err=$2 got got_status
    shift 3
    got=$(script -qec "$(printf '%q ' "$brassbox" "$@")" /dev/null </dev/null 2>&1)
    got_status=$?
    got=${got//$'\r'/}
    [ "$got_status" = "$status" ] && [ "$got" = "$err" ] ||
        fail "brassbox $* at a terminal: status $got_status, said: $got
      expected: status $status, $err"
}
# state WHAT EXPECTED: the service's own view.
state() {
    local seen
    seen=$("state_$1" "${3:-$keyring}")
    [ "$seen" = "$2" ] || fail "after the last command, $1 ${3:-$keyring} is '$seen', not '$2'"
}
# changed WHAT DONE -- ARGS: a success must show WHAT as DONE in the
# service's state, and a failure must leave it as it was.
changed() {
    local what=$1 done=$2 before
    shift 3
    before=$("state_$what" "$keyring")
    if "$brassbox" "$@" 2>"$HOME/err"; then
        echo "   $*: $(cat "$HOME/err")"
        state "$what" "$before"
    else
        state "$what" "$done"
    fi
}

start_service
started=$?
[ $started -eq 0 ] || exit $started
echo "== $provider ($(basename "$(readlink -f /proc/$service/exe)"))"

missing="ERROR: A keyring with that name does not exist."
unsupported="ERROR: Feature not supported"
if [ $provider = gnome-keyring ]; then
    run 1 "Created 'work' keyring." -- -c work -p pw
    # In memory only: the daemon lists it as locked and leaves it open.
    run 0 "ERROR: Access to keyring denied" -- -l session
    state locked false session
else
    # No password interface: an open keyring is unlocked all the same,
    # and at a terminal the answer is the same, without a prompt.
    unlocked=(1 "Unlocked '$keyring' keyring.")
    [ "$(state_locked "$keyring")" = false ] || unlocked=(0 "$unsupported")
    run "${unlocked[@]}" -- -u "$keyring" -p pw
    at_terminal "${unlocked[@]}" -- -u "$keyring"
    run 0 "$unsupported" -- -c work -p pw
    at_terminal 0 "$unsupported" -- -c work
fi
state present yes
[ "$("$brassbox" -t | sort | xargs)" = "$(state_keyrings)" ] || fail "-t: $("$brassbox" -t | xargs)"

default=$(state_default)
run 0 "$missing" -- -s nosuch
state default "$default"
run 1 "Set '$keyring' keyring as default." -- -s "$keyring"
state default "$keyring"
run 1 "" "$keyring" -- -g

before=$(state_locked "$keyring")
locked_line=$([ "$before" = true ] && echo yes || echo no)
run 1 "" "Keyring locked : $locked_line*" -- -i "$keyring"
run 0 "$missing" -- -i nosuch
run 0 "$missing" -- -l nosuch
run 0 "$missing" -- -u nosuch -p pw
run 0 "$missing" -- -d nosuch

changed locked true -- -l "$keyring"
# A locked keyring locks again without fuss (KWallet calls that invalid).
[ "$(state_locked "$keyring")" = false ] || run 1 "Locked '$keyring' keyring." -- -l "$keyring"
if [ $provider = gnome-keyring ]; then
    run 1 "Unlocked 'work' keyring." -- -u work -p pw
    state locked false
fi

changed present no -- -d "$keyring"

# A service that died meanwhile was replaced by whatever the bus starts on
# demand: nothing above was said of it.
if ! service_owns_name; then
    echo "NOT TESTED: $provider ended during the run; the lines above are of what the bus started instead"
    sed 's/^/    /' "$HOME/service.log" 2>/dev/null | tail -n 8
    exit 77
fi
[ $failures -eq 0 ] && echo "   every command told the truth"
[ $failures -eq 0 ]
