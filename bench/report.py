#!/usr/bin/env python3
"""Turns the benchmark's measurements into bench/RESULTS.md (on stdout)."""
import json
import statistics
import sys
from pathlib import Path

results = Path(sys.argv[1])


def medians(name):
    """Per command, the median of every timing of all rounds, in ms."""
    times = []
    for round_file in sorted(results.glob(f"{name}-[0-9].json")):
        for i, result in enumerate(json.loads(round_file.read_text())["results"]):
            if len(times) <= i:
                times.append([])
            times[i].extend(result["times"])
    return [statistics.median(t) * 1000 for t in times]


def ms(value):
    return f"{value:.2f}"


rows = [
    # name, command, floor limit, peer names
    ("list", "`--list`", 1.15, ["gdbus call"]),
    ("getdef", "`--getdef`", 1.15, ["gdbus call"]),
    ("info", "`--info`", 1.15, ["gdbus call"]),
    ("lock", "`--lock`", 1.15, ["gdbus call", "secret-tool lock"]),
    ("delete", "`--delete`", 1.15, ["gdbus call"]),
    ("unlock", "`--unlock -p`", 1.30, []),
    ("create", "`--create -p`", 1.30, []),
]

print("# Benchmark results\n")
print("Made by `bench/run.sh` on a private keyring daemon: whole processes timed by hyperfine")
print("(warm-up runs first, the commands taking turns in eight rounds), medians in")
print("milliseconds. The floor is a minimal GDBus program making the command's D-Bus call")
print("(`bench/floor.cpp`); for the commands that send a password it also opens the")
print("encrypted session with libsecret (`bench/floor_session.cpp`). brassbox makes one")
print("round trip more than its floor: the availability check (`Peer.Ping`) before every")
print("request.\n")
print("| command | brassbox | floor | ratio | target | peers | met |")
print("|---|---|---|---|---|---|---|")
all_met = True
for name, command, limit, peers in rows:
    times = medians(name)
    ours, floor, others = times[0], times[1], times[2:]
    ratio = ours / floor
    met = ratio <= limit and all(ours < other for other in others)
    all_met &= met
    peer_text = ", ".join(f"{p} {ms(t)}" for p, t in zip(peers, others)) or "-"
    if name == "lock" and len(others) < 2:
        peer_text += ", secret-tool lock: never exits (see below)"
    target = f"≤ {limit:.2f}×" + (", faster than peers" if peers else "")
    print(f"| {command} | {ms(ours)} | {ms(floor)} | {ratio:.2f}× | {target} | {peer_text} | "
          f"{'yes' if met else 'NO'} |")

if (results / "secret-tool-status.txt").read_text().strip() != "0":
    print("\n`secret-tool lock` (libsecret's tool) locked the keyring but had not exited after")
    print("5 seconds: it takes the daemon's \"no prompt\" answer (`/`) for a prompt, logs GLib")
    print("criticals, and waits for ever. It is left out of the timings.")

print("\nInstructions executed per run (callgrind), which unlike time do not depend on")
print("how busy the machine is:\n")
print("| command | brassbox | floor | ratio | gdbus call |")
print("|---|---|---|---|---|")
for line in (results / "instructions.txt").read_text().split("\n"):
    if line.strip():
        name, ours, floor, gdbus = line.split()
        print(f"| `--{name}` | {int(ours):,} | {int(floor):,} | {int(ours) / int(floor):.2f}× | "
              f"{int(gdbus):,} |")

print("\nPeak resident memory (KiB, median of five runs):\n")
print("| command | brassbox | floor |")
print("|---|---|---|")
for line in (results / "memory.txt").read_text().split("\n"):
    if line.strip():
        name, ours, floor = line.split()
        print(f"| `{name}` | {ours} | {floor} |")

keyrings = (results / "keyring-count.txt").read_text().strip()
items = (results / "item-count.txt").read_text().strip()
print("\nGrowth: `--list` against the number of keyrings, `--info` against the number of")
print("items in the keyring. For `--info` the floor reads the three properties as brassbox")
print("does; `GetAll` would read them in one call but brings every item's path along.")
print(f"(At the end: {keyrings} keyrings, {items} items.)\n")
print("| measurement | brassbox | floor | ratio | `GetAll` |")
print("|---|---|---|---|---|")
for name, label in [("keyrings-10", "`--list`, 10 keyrings"),
                    ("keyrings-100", "`--list`, 100 keyrings"),
                    ("keyrings-1000", "`--list`, 1,000 keyrings"),
                    ("items-10", "`--info`, 10 items"),
                    ("items-1000", "`--info`, 1,000 items"),
                    ("items-5000", "`--info`, 5,000 items")]:
    times = medians(name)
    ours, floor = times[:2]
    get_all = ms(times[2]) if len(times) > 2 else "-"
    print(f"| {label} | {ms(ours)} | {ms(floor)} | {ours / floor:.2f}× | {get_all} |")

print(f"\nEvery target met: {'yes' if all_met else 'no'}.")
