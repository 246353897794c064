#!/usr/bin/python3
"""at-terminal.py ANSWERS COMMAND...: runs COMMAND at a terminal of its own.
Each time it has said something and then waits, quiet, the next of the
answers (split at commas) is typed, with Enter. What it showed is written
to standard output once it ends, or has been silent for 30 seconds."""
import os
import pty
import select
import sys

answers, (pid, fd) = sys.argv[1].split(","), pty.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
shown, answered, quiet = b"", 0, 0
while quiet < 60:
    if not select.select([fd], [], [], 0.5)[0]:
        quiet += 1
        if answers and len(shown) > answered:
            os.write(fd, answers.pop(0).encode() + b"\n")
            answered = len(shown)
        continue
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    shown, quiet = shown + data, 0
print(shown.decode(errors="replace"), end="")
