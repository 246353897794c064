#!/bin/sh
# Runs inside a private session (bench/run.sh starts it):
#   measure.sh BUILD_DIR BASELINE_BRASSBOX RESULTS_DIR
set -eu
build=$1
old=$2
out=$3
runs=${RUNS:-400}
rm -rf "$out"
mkdir -p "$out"
bb="$build/brassbox"
sdbus="$build/bench/floor_sdbus"
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

# Peak resident memory (KiB), the median of seven runs.
peak() {
    for _ in 1 2 3 4 5 6 7; do
        /usr/bin/time -f %M -o "$out/peak" "$@" >/dev/null 2>&1 || true
        tail -n 1 "$out/peak"
    done | sort -n | sed -n 4p
}

# Every command measured must first be seen to work (brassbox succeeds
# with status 1, the others with 0).
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
busctl_call="busctl --user call org.freedesktop.secrets"
for b in "$bb" "$old"; do
    works 1 "$b" -t
    works 1 "$b" -g
    works 1 "$b" -s bench
    works 1 "$b" -i bench
    works 1 "$b" -l bench
    works 1 "$b" -u bench -p pw
done
for command in list getdef "setdef bench" "info bench" "lock bench"; do
    # shellcheck disable=SC2086
    works 0 "$sdbus" $command
    # shellcheck disable=SC2086
    works 0 "$floor" $command
done
works 0 "$session" unlock bench pw
works 0 $busctl_call $service org.freedesktop.DBus.Properties Get ss org.freedesktop.Secret.Service \
    Collections
# libsecret's own tool: on some versions it locks, then never exits.
secret_tool_status=0
timeout 5 secret-tool lock --collection=$collection/bench >/dev/null 2>&1 || secret_tool_status=$?
echo "$secret_tool_status" >"$out/secret-tool-status.txt"
secret_tool=""
[ "$secret_tool_status" -eq 0 ] && secret_tool="secret-tool lock --collection=$collection/bench"
"$bb" -u bench -p pw 2>/dev/null || true

# The password-free commands: brassbox, its two floors, today's brassbox,
# and the peers that can do the same job.
time_it list "$bb -t" "$sdbus list" "$floor list" "$old -t" \
    "$gdbus_call -o $service -m org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Service Collections" \
    "$busctl_call $service org.freedesktop.DBus.Properties Get ss org.freedesktop.Secret.Service Collections"
time_it getdef "$bb -g" "$sdbus getdef" "$floor getdef" "$old -g" \
    "$gdbus_call -o $service -m org.freedesktop.Secret.Service.ReadAlias default" \
    "$busctl_call $service org.freedesktop.Secret.Service ReadAlias s default"
time_it setdef "$bb -s bench" "$sdbus setdef bench" "$floor setdef bench" "$old -s bench" \
    "$gdbus_call -o $service -m org.freedesktop.Secret.Service.SetAlias default $collection/bench" \
    "$busctl_call $service org.freedesktop.Secret.Service SetAlias so default $collection/bench"
time_it info "$bb -i bench" "$sdbus info bench" "$floor info bench" "$old -i bench" \
    "$gdbus_call -o $collection/bench -m org.freedesktop.DBus.Properties.GetAll org.freedesktop.Secret.Collection" \
    "busctl --user get-property org.freedesktop.secrets $collection/bench org.freedesktop.Secret.Collection Locked Created Modified"
time_it lock "$bb -l bench" "$sdbus lock bench" "$floor lock bench" "$old -l bench" \
    "$gdbus_call -o $service -m org.freedesktop.Secret.Service.Lock [\"$collection/bench\"]" \
    "$busctl_call $service org.freedesktop.Secret.Service Lock ao 1 $collection/bench" \
    ${secret_tool:+"$secret_tool"}
# Preparations run through a shell, so that one that finds nothing to do passes.
make_fresh="sh -c '$session create fresh pw || true'"
time_it delete --prepare "$make_fresh" "$bb -d fresh" --prepare "$make_fresh" "$sdbus delete fresh" \
    --prepare "$make_fresh" "$floor delete fresh" --prepare "$make_fresh" "$old -d fresh" \
    --prepare "$make_fresh" "$gdbus_call -o $collection/fresh -m org.freedesktop.Secret.Collection.Delete" \
    --prepare "$make_fresh" "$busctl_call $collection/fresh org.freedesktop.Secret.Collection Delete"

# The commands that send a password: brassbox against today's brassbox,
# and libsecret's session on GDBus beside them.
"$bb" -u bench -p pw 2>/dev/null || true
time_it unlock "$bb -u bench -p pw" "$old -u bench -p pw" "$session unlock bench pw"
no_fresh="sh -c '$floor delete fresh || true'"
time_it create --prepare "$no_fresh" "$bb -c fresh -p pw" --prepare "$no_fresh" "$old -c fresh -p pw" \
    --prepare "$no_fresh" "$session create fresh pw"
"$floor" delete fresh >/dev/null || true

# What any run costs: a static program that exits at once.
time_it nothing "$build/bench/nothing"

gdbus_get="$gdbus_call -o $service -m org.freedesktop.DBus.Properties.Get"
{
    echo "list $(instructions "$bb" -t) $(instructions "$sdbus" list) $(instructions "$floor" list)" \
        "$(instructions "$old" -t) $(instructions $gdbus_get org.freedesktop.Secret.Service Collections)"
    echo "getdef $(instructions "$bb" -g) $(instructions "$sdbus" getdef) $(instructions "$floor" getdef)" \
        "$(instructions "$old" -g)" \
        "$(instructions $gdbus_call -o $service -m org.freedesktop.Secret.Service.ReadAlias default)"
    echo "lock $(instructions "$bb" -l bench) $(instructions "$sdbus" lock bench)" \
        "$(instructions "$floor" lock bench) $(instructions "$old" -l bench)" \
        "$(instructions $gdbus_call -o $service -m org.freedesktop.Secret.Service.Lock "[\"$collection/bench\"]")"
} >"$out/instructions.txt"
"$bb" -u bench -p pw 2>/dev/null || true

# Peak memory of every command, brassbox against today's brassbox.
{
    echo "list $(peak "$bb" -t) $(peak "$old" -t) $(peak "$sdbus" list) $(peak "$floor" list)"
    echo "getdef $(peak "$bb" -g) $(peak "$old" -g) $(peak "$sdbus" getdef) $(peak "$floor" getdef)"
    echo "setdef $(peak "$bb" -s bench) $(peak "$old" -s bench) $(peak "$sdbus" setdef bench)" \
        "$(peak "$floor" setdef bench)"
    echo "info $(peak "$bb" -i bench) $(peak "$old" -i bench) $(peak "$sdbus" info bench)" \
        "$(peak "$floor" info bench)"
    echo "lock $(peak "$bb" -l bench) $(peak "$old" -l bench) $(peak "$sdbus" lock bench)" \
        "$(peak "$floor" lock bench)"
    echo "unlock $(peak "$bb" -u bench -p pw) $(peak "$old" -u bench -p pw) - -"
    # Each run deletes the keyring that the one before made.
    new_peaks=""
    old_peaks=""
    for _ in 1 2 3 4 5 6 7; do
        "$session" create fresh pw >/dev/null 2>&1 || true
        /usr/bin/time -f %M -o "$out/peak" "$bb" -d fresh >/dev/null 2>&1 || true
        new_peaks="$new_peaks $(tail -n 1 "$out/peak")"
        "$session" create fresh pw >/dev/null 2>&1 || true
        /usr/bin/time -f %M -o "$out/peak" "$old" -d fresh >/dev/null 2>&1 || true
        old_peaks="$old_peaks $(tail -n 1 "$out/peak")"
    done
    median() { printf '%s\n' $1 | sort -n | sed -n 4p; }
    echo "delete $(median "$new_peaks") $(median "$old_peaks") - -"
    new_peaks=""
    old_peaks=""
    for _ in 1 2 3 4 5 6 7; do
        "$floor" delete fresh >/dev/null 2>&1 || true
        /usr/bin/time -f %M -o "$out/peak" "$bb" -c fresh -p pw >/dev/null 2>&1 || true
        new_peaks="$new_peaks $(tail -n 1 "$out/peak")"
        "$floor" delete fresh >/dev/null 2>&1 || true
        /usr/bin/time -f %M -o "$out/peak" "$old" -c fresh -p pw >/dev/null 2>&1 || true
        old_peaks="$old_peaks $(tail -n 1 "$out/peak")"
    done
    echo "create $(median "$new_peaks") $(median "$old_peaks") - -"
} >"$out/memory.txt"
"$floor" delete fresh >/dev/null 2>&1 || true

# Growth: keyrings for --list, items for --info (the in-memory session
# keyring, so that adding items writes no files).
runs=$((runs / 2))
"$session" items session 10 >/dev/null || true
time_it items-10 "$bb -i session" "$sdbus info session" "$floor info-all session"
# session and bench exist already.
"$session" keyrings a 8 >/dev/null || true
time_it keyrings-10 "$bb -t" "$sdbus list"
"$session" keyrings b 90 >/dev/null || true
time_it keyrings-100 "$bb -t" "$sdbus list"
"$session" keyrings c 900 >/dev/null || true
time_it keyrings-1000 "$bb -t" "$sdbus list"
"$session" items session 990 >/dev/null || true
time_it items-1000 "$bb -i session" "$sdbus info session" "$floor info-all session"
"$session" items session 4000 >/dev/null || true
time_it items-5000 "$bb -i session" "$sdbus info session" "$floor info-all session"
"$bb" -t | wc -l >"$out/keyring-count.txt"
$gdbus_call -o $collection/session -m org.freedesktop.DBus.Properties.Get \
    org.freedesktop.Secret.Collection Items | grep -o "$collection/session/" | wc -l \
    >"$out/item-count.txt"
