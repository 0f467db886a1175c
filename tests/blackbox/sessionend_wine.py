#!/usr/bin/env python3
"""KelvRx.exe under Wine when the session is to end in the middle of a
reception (wineboot --end-session): the program in a fresh folder with no
settings file (preset 1: COM1, ISO, "%" to "%"), COM1 a pseudo-terminal whose
far end this script plays; Enter on 受信開始, two lines and part of a third
sent, then the session's end asked for. The program refuses it, so the run
goes on and the rest of the program arrives: Rx.nc must hold it whole. Asked
again once the program is idle, the session ends: Kelv.ini must hold the 22
lines of a first save, and the program must have ended.

Runs inside the Windows stage (scripts/windows-stage.sh), which made the
prefix with COM1 mapped to its ttyNC and started the X server in DISPLAY.
"""

import argparse
import contextlib
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from kelvdrive import kelvrx  # noqa: E402
from kelvdrive.line import PtyPeer  # noqa: E402
from kelvdrive.proc import Failure, Program, holds_device  # noqa: E402
from kelvdrive.window import Window  # noqa: E402
from kelvdrive.wine import COM1_LINK, Wine  # noqa: E402


# Sent before the session's end is asked for: two lines and one in progress;
# the rest after.
PART = b"%\nN1 G01\nN2 X10\nN3 Y"
REST = b"20\n%\n"


@contextlib.contextmanager
def receiving(a, work, folder_name):
    """KelvRx.exe in a fresh folder, receiving: its line opened by Enter on
    受信開始. Yields the program, its window, the far end of COM1 and the
    folder."""
    folder = os.path.join(work, folder_name)
    os.mkdir(folder)
    exe = os.path.join(folder, "KelvRx.exe")
    shutil.copy2(a.exe, exe)
    wine = Wine(a.prefix, os.environ["DISPLAY"])
    # The program opens the line by name; a slave held here would count as its.
    line = PtyPeer(os.path.join(a.prefix, COM1_LINK), hold=False)
    try:
        com1 = os.path.realpath(os.path.join(a.prefix, "dosdevices", "com1"))
        if com1 != line.device:
            raise Failure("COM1 leads to %s, not to the test line %s: not started"
                          % (com1, line.device))
        app = Program([wine.wine, exe, "20,20"], folder, wine.env,
                      os.path.join(work, "KelvRx.log"))
        try:
            window = Window.of(app, 60, 0.2)
            # Wine's server holds the line as well as the program: any process counts.
            window.press_until("Return", app, "the program to open the line",
                               lambda: holds_device(None, line.device))
            # The opening purges the line: send once that is surely over.
            time.sleep(1.0)
            yield app, window, line, folder
        finally:
            app.stop()
    finally:
        line.close()


def end_session(a, work):
    """The session's end asked for in the middle of a reception is refused:
    the run goes on and the whole program arrives. Asked for again when the
    program is idle, it saves the settings and the program is gone."""
    wine = Wine(a.prefix, os.environ["DISPLAY"])
    want = kelvrx.expected_rx(PART + REST)
    with receiving(a, work, "session") as (app, window, line, folder):
        line.send(PART)
        app.wait("the program to read what was sent", lambda: line.unread() == 0, 30)
        # Refused: wineboot ends nothing, whatever it returns.
        refused = wine.end_session()
        if not app.alive():
            raise app.ended("when the session's end was asked for during a reception"
                            " (wineboot returned %d)" % refused)
        line.send(REST)
        rx = os.path.join(folder, "Rx.nc")

        def whole():
            with contextlib.suppress(OSError), open(rx, "rb") as f:
                return f.read() == want
            return False
        app.wait("Rx.nc to hold the whole program after the refused session end", whole, 30)
        if wine.end_session() != 0:
            raise Failure("wineboot --end-session failed once the program was idle")
        app.finish("after the session's end")
    kelvrx.check_file(folder, "Rx.nc", want)
    kelvrx.check_file(folder, "Kelv.ini", kelvrx.saved_settings())
    return ("the session's end was refused during a reception, which went on to the whole"
            " program; once idle, the session's end saved the settings and ended the program")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exe", required=True)
    ap.add_argument("--prefix", required=True)
    a = ap.parse_args()
    return kelvrx.run_in_work("sessionend_wine", lambda work: end_session(a, work))

if __name__ == "__main__":
    sys.exit(main())
