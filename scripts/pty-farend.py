#!/usr/bin/env python3
"""Far end of a test line: a pseudo-terminal whose peer answers every byte b
with b + 1 (mod 256). Prints the slave's path on the first line of stdout (or
writes it to the file given as first argument) and runs until killed, until
its parent ends, or for at most the lifetime given as second argument (s)."""
import os
import select
import sys
import time
import tty


def main():
    master, slave = os.openpty()
    # Raw, no echo: the far end must never see its own answers again.
    tty.setraw(slave)
    path = os.ttyname(slave)
    if len(sys.argv) > 1:
        with open(sys.argv[1] + ".tmp", "w") as f:
            f.write(path + "\n")
        os.replace(sys.argv[1] + ".tmp", sys.argv[1])
    else:
        print(path, flush=True)
    lifetime = float(sys.argv[2]) if len(sys.argv) > 2 else 600.0
    parent = os.getppid()
    end = time.monotonic() + lifetime
    # The slave stays open here, so the line does not hang up between openers.
    while time.monotonic() < end and os.getppid() == parent:
        ready, _, _ = select.select([master], [], [], 0.5)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            time.sleep(0.05)
            continue
        reply = bytes((b + 1) & 0xFF for b in data)
        while reply:
            reply = reply[os.write(master, reply):]
    os.close(slave)


if __name__ == "__main__":
    main()
