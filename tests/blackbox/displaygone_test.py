#!/usr/bin/env python3
"""The display goes in the middle of a reception: KelvRx in a fresh folder
whose Kelv.ini maps COM1 to a pseudo-terminal this script plays, on a virtual
X server of its own; Enter on 受信開始, two lines and part of a third sent, then
once the run has read them (its DC1 to a DC2 after them), the X server is
killed, as a logout or poweroff without a session manager does. The program ends, and Rx.nc must hold the lines so far and the one in
progress, Kelv.ini the saved presets with [Ports] kept.

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or xdotool).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from kelvdrive import kelvrx  # noqa: E402
from kelvdrive.line import PtyPeer  # noqa: E402
from kelvdrive.proc import Failure, holds_device, missing, stop  # noqa: E402
from kelvdrive.window import Window  # noqa: E402
from kelvdrive.xserver import XServer  # noqa: E402

SKIP = 77
PART = b"%\nN1 G01\nN2 X10\nN3 Y"
DC1, DC2 = 0x11, b"\x12"


def run(args, work):
    folder = os.path.join(work, "app")
    link = os.path.join(folder, "ttyNC")
    ports = kelvrx.settings(link)
    exe = kelvrx.install(args.kelvrx, folder, ports)
    line = PtyPeer(link)
    try:
        x = XServer(os.path.join(work, "Xvfb.log"))
        try:
            app = kelvrx.start(exe, x, work, ["20,20"])
            try:
                window = Window.of(app)
                window.press_until("Return", app, "the program to open the line",
                                   lambda: holds_device(app.pid, line.device))
                # The opening purges the line: send once that is surely over.
                time.sleep(1.0)
                # A DC2 is answered once the run has taken all before it.
                line.send(PART + DC2)
                answers = bytearray()

                def answered():
                    answers.extend(line.read(0.1))
                    return DC1 in answers
                app.wait("the DC1 that answers DC2 after the lines", answered, 30)
            except BaseException:
                app.stop()
                raise
        finally:
            stop(x.proc)
            x.log.close()
        try:
            app.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            app.stop()
            raise Failure("the program outlived its display by 30 s")
        app.output.close()
    finally:
        line.close()
    kelvrx.check_file(folder, "Rx.nc", kelvrx.expected_rx(PART))
    kelvrx.check_file(folder, "Kelv.ini", kelvrx.saved_settings(baud=kelvrx.BAUD_9600)
                      + ports[ports.index(b"[Ports]"):])
    print("passed: the display went during a reception; Rx.nc holds the lines so far and "
          "the one in progress, Kelv.ini was saved (the program ended with status %d)"
          % app.proc.returncode)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kelvrx", required=True)
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    gone = missing("Xvfb", "xdotool")
    if gone:
        print("skipped: %s is not installed (scripts/deps.sh test)" % ", ".join(gone))
        return SKIP
    work = tempfile.mkdtemp(prefix="kelv-displaygone-")
    try:
        run(args, work)
    except (Failure, subprocess.TimeoutExpired, OSError) as e:
        print("FAILED: %s\n(work folder kept: %s)" % (e, work))
        return 1
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
