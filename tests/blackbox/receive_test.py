#!/usr/bin/env python3
"""Acceptance test of the built program, driven from outside as an operator would.

KelvRx is copied into a fresh folder with a Kelv.ini that maps COM1 to a
pseudo-terminal made by the line simulator (ncsend), started on a virtual X
server of its own, and operated with xdotool: Enter starts the reception, the
simulator sends the sample program after the DC2 handshake, and Enter closes
the dialog once Rx.nc is there. Then Rx.nc must hold the program line for line
(CR LF) and Kelv.ini the saved presets with the [Ports] section untouched.

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or xdotool).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from xoperator import Failure, expected_rx, first_difference, receive, stop, wait_for  # noqa: E402

SKIP = 77


def settings_text(port_path):
    return ("[Set]\r\nActive=0\r\nPort0=0\r\nbaudRate0=4\r\nStart0=0\r\nCoadType0=0\r\n"
            "[Ports]\r\n; the control's line, made by ncsend\r\nCOM1=%s\r\n" % port_path).encode()


def expected_settings(port_path):
    keys = ["Active=0"]
    for i in range(4):
        keys += ["Port%d=0" % i, "baudRate%d=%d" % (i, 4 if i == 0 else 0),
                 "Start%d=0" % i, "CoadType%d=0" % i]
    keys += ["Name%d=%d" % (i, i) for i in range(1, 5)]
    # With the section line, the 22 lines a first close writes.
    text = "".join(l + "\r\n" for l in ["[Set]"] + keys)
    return (text + "[Ports]\r\n; the control's line, made by ncsend\r\nCOM1=%s\r\n"
            % port_path).encode()


def run(args, work):
    folder = os.path.join(work, "app")
    os.mkdir(folder)
    exe = os.path.join(folder, "KelvRx")
    shutil.copy2(args.kelvrx, exe)
    link = os.path.join(folder, "ttyNC")
    with open(os.path.join(folder, "Kelv.ini"), "wb") as f:
        f.write(settings_text(link))
    with open(args.program, "rb") as f:
        program = f.read()

    with open(os.path.join(work, "ncsend.out"), "w+") as sender_out:
        sender = subprocess.Popen(
            [args.ncsend, "--pty", link, "--handshake", "--timeout", "60", "--baud", "9600",
             "--linger-ms", "3000", args.program],
            stdin=subprocess.DEVNULL, stdout=sender_out, stderr=subprocess.STDOUT)
        try:
            wait_for("the line simulator's pseudo-terminal", lambda: os.path.islink(link), 20)
            receive(exe, link, lambda: sender.poll() is not None, ["20,20"], logs=work)
        finally:
            stop(sender)
        sender_out.seek(0)
        report = sender_out.read()
    if sender.returncode != 0:
        raise Failure("ncsend failed (status %d):\n%s" % (sender.returncode, report))

    with open(os.path.join(folder, "Rx.nc"), "rb") as f:
        got = f.read()
    want = expected_rx(program)
    diff = first_difference(got, want)
    if diff:
        raise Failure("Rx.nc %s" % diff)
    with open(os.path.join(folder, "Kelv.ini"), "rb") as f:
        ini = f.read()
    if ini != expected_settings(link):
        raise Failure("Kelv.ini after the close:\n%s\nexpected:\n%s"
                      % (ini.decode("cp932", "replace"), expected_settings(link).decode()))
    sent = [l for l in report.splitlines() if l.startswith("ncsend: sent")]
    print("passed: %d lines in Rx.nc, Kelv.ini saved with [Ports] kept (%s)"
          % (want.count(b"\n"), sent[0] if sent else "ncsend said nothing"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kelvrx", required=True)
    ap.add_argument("--ncsend", required=True)
    ap.add_argument("--program", required=True)
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    for tool in ("Xvfb", "xdotool"):
        if shutil.which(tool) is None:
            print("skipped: %s is not installed (scripts/deps.sh test)" % tool)
            return SKIP
    work = tempfile.mkdtemp(prefix="kelv-blackbox-")
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
