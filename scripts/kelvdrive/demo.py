"""A whole transfer on a machine without a serial port or a CNC control.

Puts the built KelvRx into the demo folder with a Kelv.ini whose COM1 is a
pseudo-terminal and starts the line simulator on the other end of it: it
waits with the DC2 handshake, so pressing 受信開始 receives the program at
9600 baud into Rx.nc there. The simulator is stopped when the program ends.

Without a display (DISPLAY and WAYLAND_DISPLAY unset) nobody could press the
button: the demo then works the dialog itself on an X server of its own,
saves the finished dialog as finished.png, and Rx.nc must be the program byte
for byte. Exits non-zero, saying why, when anything failed.

Usage: python3 -m kelvdrive.demo BUILD DEMO_DIR PROGRAM [program arguments]
(scripts/demo.sh calls it.)
"""

import os
import signal
import subprocess
import sys

from . import kelvrx
from .line import Ncsend
from .proc import Failure, missing

TAG = "demo.sh"


def say(text, err=False):
    print("%s: %s" % (TAG, text), file=sys.stderr if err else sys.stdout, flush=True)


def headless_receive(exe, line, sender, program, args):
    shot = os.path.join(os.path.dirname(exe), "finished.png")
    kelvrx.receive(exe, line, sender.ended, args, shot, say=say)
    rx = os.path.join(os.path.dirname(exe), "Rx.nc")
    with open(program, "rb") as f, open(rx, "rb") as g:
        got, want = g.read(), kelvrx.expected_rx(f.read())
    diff = kelvrx.first_difference(got, want)
    if diff:
        raise Failure("%s is not what was sent: it %s" % (rx, diff))
    say("%s is byte for byte %s as sent, with CR LF line ends (%d lines, %d bytes)"
        % (rx, os.path.basename(program), want.count(b"\n"), len(want)))
    status = sender.finish()
    if status:
        raise Failure("the line simulator ended with status %d" % status)
    return shot


def run(build, demo, program, args):
    exe_src, ncsend = (os.path.join(build, p) for p in ("app/KelvRx", "tools/ncsend"))
    for f in (exe_src, ncsend):
        if not os.access(f, os.X_OK):
            raise Failure("no %s; build the targets KelvRx and ncsend first" % f)
    demo = os.path.realpath(demo)
    line = os.path.join(demo, "ttyNC")
    exe = kelvrx.install(exe_src, demo, kelvrx.settings(line))
    for old in ("Rx.nc", "finished.png"):
        if os.path.exists(os.path.join(demo, old)):
            os.remove(os.path.join(demo, old))
    headless = not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    gone = missing("Xvfb", "xdotool", "import") if headless else []
    if gone:
        raise Failure("%s not installed (scripts/deps.sh demo installs it)" % ", ".join(gone))
    with open(program, "rb") as f:
        lines = f.read().count(b"\n")
    # An operator may take a while to press the button; the headless run does not.
    sender = Ncsend(ncsend, line, program, "--handshake", "--timeout", "60" if headless else "0",
                    "--linger-ms", "5000")
    status = 0
    try:
        if headless:
            say("no display; the demo starts a virtual one and presses the keys itself")
            say("the control sends %s (%d lines) to %s/Rx.nc" % (os.path.basename(program),
                                                                   lines, demo))
            try:
                shot = headless_receive(exe, line, sender, program, args)
            except (Failure, OSError, subprocess.TimeoutExpired) as e:
                say("FAILED: %s" % e)
                status = 1
        else:
            say("press 受信開始; the control sends %s (%d lines) to %s/Rx.nc"
                % (os.path.basename(program), lines, demo))
            status = subprocess.call([exe, *args])
    finally:
        sender.stop()
    rx = os.path.join(demo, "Rx.nc")
    if os.path.exists(rx):
        with open(rx, "rb") as f:
            say("received %d lines into %s" % (f.read().count(b"\n"), rx))
    if headless:
        if status:
            say("the demo FAILED (logs: %s/KelvRx.log, %s/Xvfb.log)" % (demo, demo), err=True)
        else:
            say("the demo went through; the finished dialog: %s" % shot)
    return status


def main():
    build, demo, program, *args = sys.argv[1:]
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        return run(build, demo, program, args)
    except Failure as e:
        say(str(e), err=True)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
