#!/bin/sh
# Runs inside a private session (bench/run.sh starts it):
#   measure.sh BUILD_DIR RESULTS_DIR
set -eu
build=$1
out=$2
runs=${RUNS:-400}
rm -rf "$out"
mkdir -p "$out"
bb="$build/brassbox"
floor="$build/bench/floor"
session="$build/bench/floor_session"
service=/org/freedesktop/secrets
collection=$service/collection

# time_it NAME [hyperfine options] COMMAND...: the commands take turns in
# eight rounds, so that a machine busier at one moment than another biases
# none of them; all timings go to NAME-ROUND.json.
time_it() {
    name=$1
    shift
    for round in 1 2 3 4 5 6 7 8; do
        hyperfine -N -i --warmup 3 --runs $((runs / 8)) --export-json "$out/$name-$round.json" \
            "$@" >>"$out/hyperfine.log" 2>&1
    done
}

# Instructions a command executes, from callgrind: unlike time, the same
# on a busy machine as on a quiet one.
instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        sed -n 's/.*Collected : //p'
}

# Peak resident memory (KiB), the median of five runs.
peak() {
    for _ in 1 2 3 4 5; do
        /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1
    done | sort -n | sed -n 3p
}

# Every command measured must first be seen to work (brassbox and the
# floors succeed with status 1, the peers with 0).
works() {
    expected=$1
    shift
    status=0
    "$@" >/dev/null 2>&1 || status=$?
    [ "$status" -eq "$expected" ] || { echo "does not work: $*" >&2; exit 1; }
}

works 0 "$session" create bench pw
works 1 "$bb" -s bench
gdbus_call="gdbus call --session -d org.freedesktop.secrets"

works 1 "$bb" -t
works 1 "$bb" -g
works 1 "$bb" -i bench
works 1 "$bb" -l bench
works 1 "$bb" -u bench -p pw
works 0 "$floor" info bench
works 0 "$floor" lock bench
works 0 "$session" unlock bench pw
# libsecret's own tool: on some versions it locks, then never exits.
secret_tool_status=0
timeout 5 secret-tool lock --collection=$collection/bench >/dev/null 2>&1 || secret_tool_status=$?
echo "$secret_tool_status" >"$out/secret-tool-status.txt"
secret_tool=""
[ "$secret_tool_status" -eq 0 ] && secret_tool="secret-tool lock --collection=$collection/bench"
"$bb" -u bench -p pw 2>/dev/null || true

time_it list "$bb -t" "$floor list" \
    "$gdbus_call -o $service -m org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Service Collections"
time_it getdef "$bb -g" "$floor getdef" \
    "$gdbus_call -o $service -m org.freedesktop.Secret.Service.ReadAlias default"
time_it info "$bb -i bench" "$floor info bench" \
    "$gdbus_call -o $collection/bench -m org.freedesktop.DBus.Properties.GetAll org.freedesktop.Secret.Collection"
time_it lock "$bb -l bench" "$floor lock bench" \
    "$gdbus_call -o $service -m org.freedesktop.Secret.Service.Lock [\"$collection/bench\"]" \
    ${secret_tool:+"$secret_tool"}
time_it unlock "$bb -u bench -p pw" "$session unlock bench pw"
# Preparations run through a shell, so that one that finds nothing to do passes.
no_fresh="sh -c '$floor delete fresh || true'"
make_fresh="sh -c '$session create fresh pw || true'"
time_it create --prepare "$no_fresh" "$bb -c fresh -p pw" --prepare "$no_fresh" "$session create fresh pw"
"$floor" delete fresh >/dev/null || true
time_it delete --prepare "$make_fresh" "$bb -d fresh" --prepare "$make_fresh" "$floor delete fresh" \
    --prepare "$make_fresh" "$gdbus_call -o $collection/fresh -m org.freedesktop.Secret.Collection.Delete"

gdbus_get="$gdbus_call -o $service -m org.freedesktop.DBus.Properties.Get"
{
    echo "list $(instructions "$bb" -t) $(instructions "$floor" list)" \
        "$(instructions $gdbus_get org.freedesktop.Secret.Service Collections)"
    echo "getdef $(instructions "$bb" -g) $(instructions "$floor" getdef)" \
        "$(instructions $gdbus_call -o $service -m org.freedesktop.Secret.Service.ReadAlias default)"
    echo "lock $(instructions "$bb" -l bench) $(instructions "$floor" lock bench)" \
        "$(instructions $gdbus_call -o $service -m org.freedesktop.Secret.Service.Lock "[\"$collection/bench\"]")"
} >"$out/instructions.txt"

{
    echo "list $(peak "$bb" -t) $(peak "$floor" list)"
    echo "info $(peak "$bb" -i bench) $(peak "$floor" info bench)"
    echo "unlock $(peak "$bb" -u bench -p pw) $(peak "$session" unlock bench pw)"
} >"$out/memory.txt"

# Growth: keyrings for --list, items for --info (the in-memory session
# keyring, so that adding items writes no files).
runs=$((runs / 2))
"$session" items session 10 >/dev/null || true
time_it items-10 "$bb -i session" "$floor info session" "$floor info-all session"
# session and bench exist already.
"$session" keyrings a 8 >/dev/null || true
time_it keyrings-10 "$bb -t" "$floor list"
"$session" keyrings b 90 >/dev/null || true
time_it keyrings-100 "$bb -t" "$floor list"
"$session" keyrings c 900 >/dev/null || true
time_it keyrings-1000 "$bb -t" "$floor list"
"$session" items session 990 >/dev/null || true
time_it items-1000 "$bb -i session" "$floor info session" "$floor info-all session"
"$session" items session 4000 >/dev/null || true
time_it items-5000 "$bb -i session" "$floor info session" "$floor info-all session"
"$bb" -t | wc -l >"$out/keyring-count.txt"
$gdbus_call -o $collection/session -m org.freedesktop.DBus.Properties.Get \
    org.freedesktop.Secret.Collection Items | grep -o "$collection/session/" | wc -l \
    >"$out/item-count.txt"
