#!/usr/bin/env python3
"""Acceptance test of the built program, driven from outside as an operator would.

KelvRx is copied into a fresh folder with a Kelv.ini that maps COM1 to a
pseudo-terminal made by the line simulator (ncsend), started on a virtual X
server of its own, and operated with xdotool: Enter starts the reception, the
simulator sends the program after the DC2 handshake, and Enter closes the
dialog once Rx.nc is there. Then Rx.nc must hold the program line for line
(CR LF) and Kelv.ini the saved presets with the [Ports] section untouched.

By default the sample in ISO, start mode 0, at 9600 baud; --code, --mode,
--baud and --sender-arg receive other ones (scripts/rx-blackbox.sh). In mode 2
nothing marks the end, and Esc ends the reception once all is sent.

With --burst a short program comes all at once the moment the line is open,
as a control that was set to send already does; the status line is looked at
during the pause before the line is closed: it must show the count, not the
text of the start (nor yet the end text).

With --cut-off the control is cut short in start mode 1, as a reset during
the punch-out does: DC2, the first lines of the program, then DC4 and SYN.
Rx.nc must hold those lines and the reception log must say it was cut off.

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or xdotool).
"""

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from kelvdrive import kelvrx  # noqa: E402
from kelvdrive.line import Ncsend, PtyPeer  # noqa: E402
from kelvdrive.proc import Failure, holds_device, missing  # noqa: E402
from kelvdrive.window import Window  # noqa: E402
from kelvdrive.xserver import XServer  # noqa: E402

SKIP = 77
NOTE = "the control's line, made by ncsend"
CODES = {"iso": 0, "eia": 1}
BAUDS = {9600: kelvrx.BAUD_9600, 38400: kelvrx.BAUD_38400}


def run(args, work):
    folder = os.path.join(work, "app")
    link = os.path.join(folder, "ttyNC")
    preset = dict(baud=BAUDS[args.baud], start=args.mode, code=CODES[args.code])
    ports = kelvrx.settings(link, note=NOTE, **preset)
    exe = kelvrx.install(args.kelvrx, folder, ports)
    with open(args.program, "rb") as f:
        program = f.read()

    sender = Ncsend(args.ncsend, link, args.program, "--handshake", "--code", args.code,
                    "--mode", str(args.mode), "--timeout", "60", "--baud", str(args.baud),
                    "--linger-ms", "3000", *args.sender_arg,
                    out=os.path.join(work, "ncsend.out"))
    try:
        kelvrx.receive(exe, link, sender.ended, ["20,20"], args.shot, logs=work,
                       end_key="Escape" if args.mode == 2 else None)
        status = sender.finish()
    finally:
        sender.stop()
    report = sender.said()
    if status != 0:
        raise Failure("ncsend failed (status %d):\n%s" % (status, report))

    with open(os.path.join(folder, "Rx.nc"), "rb") as f:
        got = f.read()
    want = kelvrx.expected_rx(program, args.mode)
    diff = kelvrx.first_difference(got, want)
    if diff:
        raise Failure("Rx.nc %s" % diff)
    with open(os.path.join(folder, "Kelv.ini"), "rb") as f:
        ini = f.read()
    # The 22 lines a first close writes, then the [Ports] section as it was.
    saved = kelvrx.saved_settings(**preset) + ports[ports.index(b"[Ports]"):]
    if ini != saved:
        raise Failure("Kelv.ini after the close:\n%s\nexpected:\n%s"
                      % (ini.decode("cp932", "replace"), saved.decode()))
    sent = [l for l in report.splitlines() if l.startswith("ncsend: sent")]
    print("passed: %d lines in Rx.nc, Kelv.ini saved with [Ports] kept (%s)"
          % (want.count(b"\n"), sent[0] if sent else "ncsend said nothing"))


def run_cut_off(args, work, lines=12):
    folder = os.path.join(work, "app")
    link = os.path.join(folder, "ttyNC")
    os.makedirs(folder)
    peer = PtyPeer(link)
    try:
        exe = kelvrx.install(args.kelvrx, folder, kelvrx.settings(link, start=1))
        with open(args.program, "rb") as f:
            head = b"\n".join(f.read().split(b"\n")[:lines]) + b"\n"
        sent = []

        def send_once():
            # The opening empties the line: DC2 until its DC1 comes back
            # shows the program is reading, then the rest.
            for _ in range(40):
                if sent:
                    break
                peer.send(b"\x12")
                if b"\x11" in peer.read(0.5):
                    peer.send(head + b"\x14\x16")
                    sent.append(True)
            if not sent:
                raise Failure("no DC1 answered the DC2")
            return True
        kelvrx.receive(exe, link, send_once, ["20,20"], args.shot, logs=work)
    finally:
        peer.close()
    kelvrx.check_file(folder, "Rx.nc", kelvrx.expected_rx(head))
    with open(os.path.join(folder, "Rx.log"), "rb") as f:
        log = f.read().decode("cp932").split("\r\n")
    entry = log[-2].split("\t")
    if len(log) != 3 or entry[10] != "途中終了" or entry[8] != str(lines):
        raise Failure("Rx.log does not tell the cut-off reception:\n%s" % "\n".join(log))
    print("passed: %d lines cut off by DC4 and SYN, Rx.nc kept them, the log says %s"
          % (lines, entry[10]))


def status_line(window, path):
    """The pixels of the status line (left of the button, above the display)."""
    window.screenshot(path)
    r = subprocess.run(["convert", path, "-crop", "310x18+4+4", "+repage", "rgb:-"],
                       capture_output=True, timeout=60)
    if r.returncode != 0 or not r.stdout:
        raise Failure("the status line could not be cut from %s" % path)
    return r.stdout


def run_burst(args, work):
    folder = os.path.join(work, "app")
    link = os.path.join(folder, "ttyNC")
    os.makedirs(folder)
    body = b"".join(b"N%d G01 X%d.\n" % (i * 10, i) for i in range(1, 31))
    program = b"\0" * 8 + b"%\nO1004\n" + body + b"M30\n%\n"
    rx = os.path.join(folder, "Rx.nc")
    peer = PtyPeer(link)
    shot = lambda name: os.path.join(work, name + ".png")  # noqa: E731
    try:
        exe = kelvrx.install(args.kelvrx, folder, kelvrx.settings(link, start=0))
        with contextlib.ExitStack() as cleanup:
            x = cleanup.enter_context(XServer(os.path.join(work, "Xvfb.log")))

            def opened(app, window):
                window.press_until("Return", app, "the program to open the line",
                                   lambda: holds_device(app.pid, os.path.realpath(link)))

            # First the two texts the status line must not show during the
            # run: the start's, and the waiting one (a run that gets nothing,
            # cancelled).
            app = kelvrx.start(exe, x, work, ["20,20"])
            window = Window.of(app)
            time.sleep(0.5)  # drawn
            start = status_line(window, shot("start"))
            opened(app, window)
            time.sleep(0.6)
            waiting = status_line(window, shot("waiting"))
            window.press("Escape")
            app.wait("閉じる", lambda: not holds_device(app.pid, os.path.realpath(link)), 15)
            window.press("Escape")
            app.finish("after 閉じる")

            # Then the program, all at once, the moment the line is open.
            app = kelvrx.start(exe, x, work, ["20,20"])
            cleanup.callback(app.stop)
            window = Window.of(app)
            opened(app, window)
            # The opening empties the line first: a moment for that.
            time.sleep(0.05)
            peer.send(program)
            # Rx.nc is written before the pause; the pause lasts 2 s.
            app.wait("Rx.nc", lambda: os.path.exists(rx), 30, 0.02)
            pause = status_line(window, shot("pause"))

            def ended():
                return status_line(window, shot("end")) != pause
            app.wait("the end text", ended, 15, 0.2)
            window.press("Return")
            app.finish("after 閉じる")
    finally:
        peer.close()
    for name, before in (("the start", start), ("the wait", waiting)):
        if pause == before:
            raise Failure("during the run the status line still showed the text of %s "
                          "(work folder: %s)" % (name, work))
    kelvrx.check_file(folder, "Rx.nc", kelvrx.expected_rx(program))
    print("passed: during the run the status line showed neither the start's nor the "
          "waiting text, then the end text; Rx.nc holds the %d lines" % program.count(b"\n"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kelvrx", required=True)
    ap.add_argument("--ncsend", required=True)
    ap.add_argument("--program", required=True)
    ap.add_argument("--code", choices=sorted(CODES), default="iso")
    ap.add_argument("--mode", type=int, choices=range(4), default=0,
                    help="the preset's start/end convention")
    ap.add_argument("--baud", type=int, choices=sorted(BAUDS), default=9600)
    ap.add_argument("--sender-arg", action="append", default=[],
                    help="one more option for ncsend (e.g. --sender-arg=--flat-out)")
    ap.add_argument("--cut-off", action="store_true",
                    help="mode 1, cut off by DC4 then SYN before the closing %%")
    ap.add_argument("--burst", action="store_true",
                    help="a short program all at once as the line opens; the status "
                    "line looked at during the run")
    ap.add_argument("--shot", help="save the dialog after the reception as this PNG")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    gone = missing("Xvfb", "xdotool", "import" if args.shot or args.burst else None)
    if gone:
        print("skipped: %s is not installed (scripts/deps.sh test)" % ", ".join(gone))
        return SKIP
    work = tempfile.mkdtemp(prefix="kelv-blackbox-")
    try:
        (run_burst if args.burst else run_cut_off if args.cut_off else run)(args, work)
    except (Failure, subprocess.TimeoutExpired, OSError) as e:
        print("FAILED: %s\n(work folder kept: %s)" % (e, work))
        return 1
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
