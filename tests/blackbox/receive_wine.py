#!/usr/bin/env python3
"""Acceptance test of KelvRx.exe under Wine, driven from outside as an operator
would: the program in a fresh folder with no settings file (preset 1: COM1,
ISO, "%" to "%"), COM1 a pseudo-terminal whose far end the line simulator
ncsend plays as a control that asks with DC2 until a DC1 answers and honours
DC3/DC1; Enter on 受信開始, Enter on 閉じる once Rx.nc is there. Then Rx.nc
must hold the program line for line (CR LF), Kelv.ini the 22 lines of a first
save, and the control must have seen its DC2 answered, never more than one
DC1 for each DC2 and DC3, and, sending flat out, every DC3 hold let go with
DC1 (how soon the first DC1 came is printed). Wine reports no line event on a
pty, so these are the run's own answers.

With --zip the program runs from the release zip unpacked into that folder,
as a shop installs it; where this Wine cannot run the zip's 32-bit exe, --exe
takes its place there.

Runs inside the Windows stage (scripts/windows-stage.sh), which made the
prefix with COM1 mapped to its ttyNC and started the X server in DISPLAY.
Exit status: 0 passed, 1 failed.
"""

import argparse
import filecmp
import os
import shutil
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from kelvdrive import kelvrx  # noqa: E402
from kelvdrive.line import Ncsend  # noqa: E402
from kelvdrive.proc import Failure  # noqa: E402
from kelvdrive.wine import COM1_LINK, Wine, answers_text, check_answers, receive, sender_options  # noqa: E402,E501


def run(a, work):
    # A folder whose name is not ASCII: the settings and the output file must
    # still land beside the program.
    folder = os.path.join(work, a.folder)
    os.mkdir(folder)
    if a.zip:
        with zipfile.ZipFile(a.zip) as z:
            z.extractall(folder)
        folder = os.path.join(folder, "KelvRx")
        exe = os.path.join(folder, "KelvRx.exe")
        if not filecmp.cmp(a.exe, exe, shallow=False):
            print("receive_wine: this Wine runs %s in place of the zip's 32-bit KelvRx.exe"
                  % a.exe)
            shutil.copy2(a.exe, exe)
    else:
        exe = os.path.join(folder, "KelvRx.exe")
        shutil.copy2(a.exe, exe)
    with open(a.program, "rb") as f:
        program = f.read()

    wine = Wine(a.prefix, os.environ["DISPLAY"])
    sender = Ncsend(a.ncsend, os.path.join(a.prefix, COM1_LINK), a.program,
                    *sender_options(a.flat_out), out=os.path.join(work, "ncsend.log"))
    try:
        com1 = os.path.realpath(os.path.join(a.prefix, "dosdevices", "com1"))
        if com1 != sender.device:
            raise Failure("COM1 leads to %s, not to the test line %s: not started"
                          % (com1, sender.device))
        receive(wine, exe, sender, os.path.join(work, "KelvRx.log"), first_shot=a.shot)
        status = sender.let_go()
        if status:
            raise Failure("the line simulator ended with status %d:\n%s" % (status, sender.said()))
    finally:
        sender.stop()

    got = kelvrx.check_file(folder, "Rx.nc", kelvrx.expected_rx(program))
    with open(os.path.join(folder, "Kelv.ini"), "rb") as f:
        ini = f.read()
    if ini != kelvrx.saved_settings():
        raise Failure("Kelv.ini after the close:\n%r\nexpected:\n%r"
                      % (ini, kelvrx.saved_settings()))
    # What the control saw, for the record.
    sys.stdout.write("".join(l + "\n" for l in sender.said().splitlines()
                             if l.startswith("ncsend: ") and "DC3 at character" not in l))
    report = sender.report()
    wrong = check_answers(report, a.flat_out)
    if wrong:
        raise Failure("%s (%s)" % (wrong, answers_text(report)))
    return ("%d lines (%d bytes) received byte for byte; %s; Kelv.ini holds the 22 lines"
            % (got.count(b"\n"), len(got), answers_text(report)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exe", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--program", required=True)
    ap.add_argument("--ncsend", required=True, help="the line simulator, built for this machine")
    ap.add_argument("--flat-out", action="store_true",
                    help="the control sends as fast as the line takes it")
    ap.add_argument("--shot", help="save the dialog at its first start as this PNG")
    ap.add_argument("--folder", default="app", help="name of the folder the program runs in")
    ap.add_argument("--zip", help="the release zip, unpacked into that folder to run from")
    a = ap.parse_args()
    return kelvrx.run_in_work("receive_wine", lambda work: run(a, work),
                              ("ncsend.log", "KelvRx.log"))

if __name__ == "__main__":
    sys.exit(main())
