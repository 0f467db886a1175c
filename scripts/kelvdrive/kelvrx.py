"""The Linux program as the operator runs it: copied into a folder of its own
with a Kelv.ini, started on our X server, worked with the keys; and what its
files must hold afterwards."""

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile

from .proc import Failure, Program, holds_device
from .window import Window
from .xserver import XServer

# Index of 9600 and 38400 baud in the program's baud list.
BAUD_9600 = 4
BAUD_38400 = 7


def settings(line, baud=BAUD_9600, start=0, code=0, note=None):
    """A Kelv.ini whose preset 1 is COM1 with these line settings, COM1 leading
    to the link line. The program keeps the [Ports] section as it is when it
    saves on closing."""
    ports = ["[Ports]"] + (["; " + note] if note else []) + ["COM1=" + line]
    lines = ["[Set]", "Active=0", "Port0=0", "baudRate0=%d" % baud, "Start0=%d" % start,
             "CoadType0=%d" % code] + ports
    return "".join(l + "\r\n" for l in lines).encode()


def saved_settings(baud=0, start=0, code=0):
    """The 22 lines of [Set] a first close writes, preset 1 as given."""
    keys = ["Active=0"]
    for i in range(4):
        keys += ["Port%d=0" % i, "baudRate%d=%d" % (i, baud if i == 0 else 0),
                 "Start%d=%d" % (i, start if i == 0 else 0),
                 "CoadType%d=%d" % (i, code if i == 0 else 0)]
    keys += ["Name%d=%d" % (i, i) for i in range(1, 5)]
    return "".join(l + "\r\n" for l in ["[Set]"] + keys).encode()


def expected_rx(program, mode=0):
    """Rx.nc as the program stores program (bytes) received in start mode mode:
    each line without the bytes 0x00..0x20 at either end, ended by CR LF. In
    mode 2 the LF of the opening "%" line starts the reception, so that line is
    received as an empty one."""
    lines = program.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    blanks = bytes(range(0x21))
    lines = [l.replace(b"\r", b"").strip(blanks) for l in lines]
    if mode == 2 and lines:
        lines[0] = b""
    return b"".join(l + b"\r\n" for l in lines)


def long_program(sample, at_least):
    """A program of at least at_least bytes made of sample's body (the lines
    between its "%" lines) over and over, between one pair of "%" lines."""
    body = [l for l in sample.split(b"\n") if l.strip() not in (b"%", b"")]
    out = [b"%"]
    size = 2
    while size < at_least:
        out += body
        size += sum(len(l) + 1 for l in body)
    return b"\n".join(out + [b"%", b""])


def first_difference(got, want):
    """Where and how got differs from want, in one line (None when equal)."""
    if got == want:
        return None
    at = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]),
              min(len(got), len(want)))
    return ("differs at byte %d (%d bytes, expected %d): got %r, expected %r"
            % (at, len(got), len(want), got[max(0, at - 20):at + 20],
               want[max(0, at - 20):at + 20]))


def install(kelvrx, folder, ini=None):
    """Copies the program into folder (in one step, so a copy that is still
    running does not block it) with ini as its Kelv.ini; returns its path."""
    os.makedirs(folder, exist_ok=True)
    exe = os.path.join(folder, "KelvRx")
    shutil.copy2(kelvrx, exe + ".new")
    os.replace(exe + ".new", exe)
    if ini is not None:
        with open(os.path.join(folder, "Kelv.ini"), "wb") as f:
            f.write(ini)
    return exe


def start(exe, x, logs, args=(), wrapper=(), env=None):
    """Starts exe in its folder on the X server x; its output goes to
    logs/KelvRx.log. env: more variables."""
    runtime = os.path.join(logs, "xdg")
    os.makedirs(runtime, 0o700, exist_ok=True)
    full = x.env(QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=runtime)
    full.pop("LD_PRELOAD", None)
    full.update(env or {})
    return Program([*wrapper, exe, *args], os.path.dirname(exe), full,
                   os.path.join(logs, "KelvRx.log"))


def receive(exe, device, sender_ended, args=(), shot=None, logs=None, say=None,
            end_key=None):
    """Runs exe (in its own folder) on an X server of its own and receives
    once: Enter on 受信開始, waits for the line simulator to end
    (sender_ended() true), presses end_key if given (Escape where nothing marks
    the end), waits for Rx.nc, saves the dialog as shot if asked, Enter on 閉じる.
    logs: folder for the X server's and the program's output (exe's folder)."""
    say = say or (lambda text: None)
    folder = os.path.dirname(os.path.abspath(exe))
    logs = logs or folder
    with contextlib.ExitStack() as cleanup:
        x = cleanup.enter_context(XServer(os.path.join(logs, "Xvfb.log")))
        app = start(os.path.abspath(exe), x, logs, args)
        cleanup.callback(app.stop)
        window = Window.of(app)
        say("the dialog is up on the virtual display %s; Enter on 受信開始" % x.display)
        window.press_until("Return", app, "the program to open the line",
                           lambda: holds_device(app.pid, os.path.realpath(device)))
        say("receiving")
        app.wait("the line simulator to end", sender_ended, 120, 0.1)
        if end_key:
            say("all sent and nothing marks the end: %s ends the reception" % end_key)
            window.press(end_key)
        # The file is written in one step after the end and the pause before
        # closing the line; by then the button reads 閉じる.
        app.wait("Rx.nc", lambda: os.path.exists(os.path.join(folder, "Rx.nc")), 30, 0.1)
        if shot:
            window.screenshot(shot)
            say("the finished dialog is saved as %s" % shot)
        say("Enter on 閉じる")
        window.press("Return")
        app.finish("after 閉じる")
        say("the program ended")


def check_file(folder, name, want):
    """The file `name` in `folder` must be `want` byte for byte; its bytes."""
    with open(os.path.join(folder, name), "rb") as f:
        got = f.read()
    diff = first_difference(got, want)
    if diff:
        raise Failure("%s %s" % (name, diff))
    return got


def run_in_work(name, fn, logs=("KelvRx.log",)):
    """Runs fn(work) in a fresh folder and prints its report, or why it
    failed with the end of the logs it left there; the exit status."""
    work = tempfile.mkdtemp(prefix="kelvwine")
    try:
        print("%s: %s" % (name, fn(work)), flush=True)
        return 0
    except (Failure, OSError, subprocess.SubprocessError) as e:
        print("%s: FAILED: %s" % (name, e), flush=True)
        for log in logs:
            path = os.path.join(work, log)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    tail = f.read().decode("utf-8", "replace")[-2000:]
                sys.stdout.write("-- %s:\n%s\n" % (log, tail))
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
