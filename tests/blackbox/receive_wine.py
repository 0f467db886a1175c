#!/usr/bin/env python3
"""Acceptance test of KelvRx.exe under Wine, driven from outside as an operator
would: the program in a fresh folder with no settings file (preset 1: COM1,
ISO, "%" to "%"), COM1 a pseudo-terminal whose far end this script plays,
Enter on 受信開始, the sample program written to the line once the program has
opened it, Enter on 閉じる once Rx.nc is there. Then Rx.nc must hold the
program line for line (CR LF) and Kelv.ini the 22 lines of a first save.

Wine's serial layer answers no DC2 (its line-event wait never reports the
event character), so the far end sends without the handshake; the DC1/DC3
answers stay tested on Linux.

Runs inside the Windows stage (scripts/windows-stage.sh), which made the
prefix with COM1 mapped to its ttyNC and started the X server in DISPLAY.
Exit status: 0 passed, 1 failed.
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
from kelvdrive.proc import Failure, Program, holds_device  # noqa: E402
from kelvdrive.window import Window  # noqa: E402
from kelvdrive.wine import COM1_LINK, Wine  # noqa: E402


def run(a, work):
    # A folder whose name is not ASCII: the settings and the output file must
    # still land beside the program.
    folder = os.path.join(work, a.folder)
    os.mkdir(folder)
    exe = os.path.join(folder, "KelvRx.exe")
    shutil.copy2(a.exe, exe)
    with open(a.program, "rb") as f:
        program = f.read()

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
            if a.shot:
                time.sleep(0.5)  # the first paint
                window.screenshot(a.shot)
            # Wine's server holds the line as well as the program: any process counts.
            window.press_until("Return", app, "the program to open the line",
                               lambda: holds_device(None, line.device))
            # The opening purges the line: send once that is surely over.
            time.sleep(1.0)
            line.send(program)
            rx = os.path.join(folder, "Rx.nc")
            app.wait("Rx.nc", lambda: os.path.exists(rx), 60, 0.1)
            window.press("Return")
            app.finish("after 閉じる")
        finally:
            app.stop()
    finally:
        line.close()

    with open(rx, "rb") as f:
        got = f.read()
    diff = kelvrx.first_difference(got, kelvrx.expected_rx(program))
    if diff:
        raise Failure("Rx.nc %s" % diff)
    with open(os.path.join(folder, "Kelv.ini"), "rb") as f:
        ini = f.read()
    if ini != kelvrx.saved_settings():
        raise Failure("Kelv.ini after the close:\n%r\nexpected:\n%r"
                      % (ini, kelvrx.saved_settings()))
    return "%d lines received byte for byte; Kelv.ini holds the 22 lines" % got.count(b"\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exe", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--program", required=True)
    ap.add_argument("--shot", help="save the dialog at its first start as this PNG")
    ap.add_argument("--folder", default="app", help="name of the folder the program runs in")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="kelvwine")
    try:
        print("receive_wine: " + run(a, work), flush=True)
        return 0
    except (Failure, OSError, subprocess.SubprocessError) as e:
        print("receive_wine: FAILED: %s" % e, flush=True)
        log = os.path.join(work, "KelvRx.log")
        if os.path.exists(log):
            with open(log, "rb") as f:
                sys.stdout.write(f.read().decode("utf-8", "replace")[-2000:])
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
