#!/usr/bin/env python3
"""The display goes in the middle of a reception: KelvRx (argument 1) in a
fresh folder whose Kelv.ini maps COM1 to a pseudo-terminal played here, on an
X server of its own; Enter on 受信開始, two lines and part of a third sent, and
once the run has read them (its DC1 to a DC2 after them) the X server is
killed, as a logout or poweroff without a session manager does. The program
ends; Rx.nc must hold the lines so far and the one in progress, Kelv.ini the
saved presets with [Ports] kept. Exit status 77: no Xvfb or xdotool.
"""

import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from kelvdrive import kelvrx  # noqa: E402
from kelvdrive.line import PtyPeer  # noqa: E402
from kelvdrive.proc import holds_device, missing, stop  # noqa: E402
from kelvdrive.window import Window  # noqa: E402
from kelvdrive.xserver import XServer  # noqa: E402

PART = b"%\nN1 G01\nN2 X10\nN3 Y"


def run(work):
    folder = os.path.join(work, "app")
    ports = kelvrx.settings(os.path.join(folder, "ttyNC"))
    exe = kelvrx.install(sys.argv[1], folder, ports)
    line = PtyPeer(os.path.join(folder, "ttyNC"))
    x = XServer(os.path.join(work, "Xvfb.log"))
    app = kelvrx.start(exe, x, work, ["20,20"])
    try:
        Window.of(app).press_until("Return", app, "the program to open the line",
                                   lambda: holds_device(app.pid, line.device))
        time.sleep(1.0)  # the opening purges the line
        line.send(PART + b"\x12")
        answers = bytearray()
        app.wait("the DC1 that answers DC2 after the lines",
                 lambda: answers.extend(line.read(0.1)) or 0x11 in answers, 30)
        stop(x.proc)
        app.proc.wait(timeout=30)
    finally:
        app.stop()
        x.close()
        line.close()
    kelvrx.check_file(folder, "Rx.nc", kelvrx.expected_rx(PART))
    kelvrx.check_file(folder, "Kelv.ini", kelvrx.saved_settings(baud=kelvrx.BAUD_9600)
                      + ports[ports.index(b"[Ports]"):])


def main():
    if missing("Xvfb", "xdotool"):
        print("skipped: no Xvfb or xdotool (scripts/deps.sh test)")
        return 77
    work = tempfile.mkdtemp(prefix="kelv-displaygone-")
    try:
        run(work)
    except Exception as e:  # noqa: BLE001 (any failure is the test's)
        print("FAILED: %s\n(work folder kept: %s)" % (e, work))
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("passed: the display went during a reception; Rx.nc and Kelv.ini were written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
