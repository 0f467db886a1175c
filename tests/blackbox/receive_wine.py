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

Runs inside the Windows stage (scripts/extra-tests.sh), which made the prefix
with COM1 mapped to --line and started the X server in DISPLAY.
Exit status: 0 passed, 1 failed.
"""

import argparse
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from xoperator import (Failure, expected_rx, first_difference, holds_device, stop,  # noqa: E402
                       wait_for)

FRESH_SETTINGS = b"".join(
    l.encode() + b"\r\n" for l in
    ["[Set]", "Active=0"] +
    ["%s%d=0" % (k, i) for i in range(4) for k in ("Port", "baudRate", "Start", "CoadType")] +
    ["Name%d=%d" % (i, i) for i in range(1, 5)])


def xdotool(*args):
    r = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        raise Failure("xdotool %s failed: %s" % (" ".join(args), r.stderr.strip()))
    return r.stdout


def run(a, work):
    # A folder whose name is not ASCII: the settings and the output file must
    # still land beside the program.
    folder = os.path.join(work, a.folder)
    os.mkdir(folder)
    exe = os.path.join(folder, "KelvRx.exe")
    shutil.copy2(a.exe, exe)
    with open(a.program, "rb") as f:
        program = f.read()

    master, slave = pty.openpty()
    tty.setraw(slave)
    slave_path = os.ttyname(slave)
    os.close(slave)  # the program opens it by name
    os.set_blocking(master, False)
    if os.path.lexists(a.line):
        os.remove(a.line)
    os.symlink(slave_path, a.line)
    com1 = os.path.realpath(os.path.join(a.prefix, "dosdevices", "com1"))
    if com1 != slave_path:
        raise Failure("COM1 leads to %s, not to the test line %s: not started" % (com1, slave_path))

    # The locale of the Windows stage: Japanese (code page 932) where the
    # machine has it.
    locale = os.environ.get("WINE_LOCALE", "ja_JP.UTF-8")
    env = dict(os.environ, LANG=locale, LC_ALL=locale)
    with open(os.path.join(work, "KelvRx.log"), "wb") as log:
        proc = subprocess.Popen([a.wine, exe, "20,20"], cwd=folder, env=env,
                                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        try:
            window = []

            def visible():
                out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                                      str(proc.pid)], capture_output=True, text=True).stdout
                window[:] = out.split()[:1]
                return window

            wait_for("the dialog to appear", visible, 60, 0.2)
            win = window[0]
            if a.shot:
                time.sleep(0.5)
                geometry = dict(l.split("=", 1) for l in
                                xdotool("getwindowgeometry", "--shell", win).split())
                subprocess.run(["import", "-window", "root", "-crop",
                                "%(WIDTH)sx%(HEIGHT)s+%(X)s+%(Y)s" % geometry, "+repage", a.shot],
                               check=True, timeout=60)
            for attempt in range(3):
                xdotool("windowfocus", "--sync", win)
                xdotool("key", "--clearmodifiers", "Return")
                try:
                    # Wine's server holds the line as well as the program:
                    # any process counts.
                    wait_for("the program to open the line",
                             lambda: holds_device(None, slave_path), 10)
                    break
                except Failure:
                    if proc.poll() is not None or attempt == 2:
                        raise
            # The opening purges the line: send once that is surely over.
            time.sleep(1.0)
            sent = 0
            end = time.monotonic() + 60
            while sent < len(program):
                if time.monotonic() > end:
                    raise Failure("the line took only %d of %d bytes" % (sent, len(program)))
                try:
                    sent += os.write(master, program[sent:sent + 256])
                except BlockingIOError:
                    time.sleep(0.01)
            rx = os.path.join(folder, "Rx.nc")
            wait_for("Rx.nc", lambda: os.path.exists(rx), 60, 0.1)
            xdotool("windowfocus", "--sync", win)
            xdotool("key", "--clearmodifiers", "Return")
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                raise Failure("the program did not end within 30 s of 閉じる")
        finally:
            stop(proc)
            os.close(master)
            os.remove(a.line)

    with open(rx, "rb") as f:
        got = f.read()
    diff = first_difference(got, expected_rx(program))
    if diff:
        raise Failure("Rx.nc %s" % diff)
    with open(os.path.join(folder, "Kelv.ini"), "rb") as f:
        ini = f.read()
    if ini != FRESH_SETTINGS:
        raise Failure("Kelv.ini after the close:\n%r\nexpected:\n%r" % (ini, FRESH_SETTINGS))
    return "%d lines received byte for byte; Kelv.ini holds the 22 lines" % got.count(b"\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exe", required=True)
    ap.add_argument("--wine", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--line", required=True, help="the link COM1 leads to")
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
