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
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
WINDOW_TITLE = "データ受信"


class Failure(Exception):
    pass


def wait_for(what, predicate, deadline_s, step_s=0.05):
    """Polls predicate until it returns a true value or the deadline passes."""
    end = time.monotonic() + deadline_s
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= end:
            raise Failure("gave up after %g s waiting for %s" % (deadline_s, what))
        time.sleep(step_s)


def start_x_server(log):
    """Starts Xvfb on a free display picked at random from a high range. The low
    numbers are where other X servers and scripts of a shared machine go (:0,
    and :99 upwards for xvfb-run -a); one of them taking over our socket would
    cut the program off its display."""
    rng = random.SystemRandom()
    for _ in range(20):
        n = rng.randrange(200, 900)
        socket = "/tmp/.X11-unix/X%d" % n
        if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists(socket):
            continue
        server = subprocess.Popen(
            ["Xvfb", ":%d" % n, "-screen", "0", "800x600x24", "-nolisten", "tcp"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        end = time.monotonic() + 30
        while server.poll() is None and time.monotonic() < end:
            if os.path.exists(socket):
                return server, ":%d" % n
            time.sleep(0.05)
        if server.poll() is None:
            server.kill()
        server.wait()
    raise Failure("no X server could be started")


def trimmed(line):
    # The program strips bytes 0x00..0x20 from both ends of each stored line.
    return line.strip(bytes(range(0x21)))


def expected_rx(program):
    lines = program.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return b"".join(trimmed(l.replace(b"\r", b"")) + b"\r\n" for l in lines)


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


def holds_device(pid, device):
    """True when process pid has the device open (the reception opened the line)."""
    fd_dir = "/proc/%d/fd" % pid
    try:
        for fd in os.listdir(fd_dir):
            try:
                if os.readlink(os.path.join(fd_dir, fd)) == device:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def xdotool(env, *args, timeout=30):
    r = subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True,
                       timeout=timeout)
    if r.returncode != 0:
        raise Failure("xdotool %s failed: %s" % (" ".join(args), r.stderr.strip()))
    return r.stdout


def press_enter(env, window):
    xdotool(env, "windowfocus", "--sync", window)
    xdotool(env, "key", "--clearmodifiers", "Return")


def run(args, work):
    log = open(os.path.join(work, "x.log"), "wb")
    procs = []
    try:
        server, display = start_x_server(log)
        procs.append(server)
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb",
                   XDG_RUNTIME_DIR=os.path.join(work, "xdg"))
        env.pop("WAYLAND_DISPLAY", None)
        # Under LeakSanitizer: what the X11 platform's system libraries leave behind
        # is theirs, not ours.
        supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
        env["LSAN_OPTIONS"] = ":".join(
            o for o in (os.environ.get("LSAN_OPTIONS"), "suppressions=" + supp,
                        "print_suppressions=0") if o)
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)

        folder = os.path.join(work, "app")
        os.mkdir(folder)
        exe = os.path.join(folder, "KelvRx")
        shutil.copy2(args.kelvrx, exe)
        link = os.path.join(folder, "ttyNC")
        with open(os.path.join(folder, "Kelv.ini"), "wb") as f:
            f.write(settings_text(link))
        with open(args.program, "rb") as f:
            program = f.read()

        sender_out = open(os.path.join(work, "ncsend.out"), "w+")
        sender = subprocess.Popen(
            [args.ncsend, "--pty", link, "--handshake", "--timeout", "60", "--baud", "9600",
             "--linger-ms", "3000", args.program],
            stdin=subprocess.DEVNULL, stdout=sender_out, stderr=subprocess.STDOUT)
        procs.append(sender)
        device = wait_for("the line simulator's pseudo-terminal",
                          lambda: os.path.islink(link) and os.path.realpath(link), 20)

        program_out = open(os.path.join(work, "KelvRx.out"), "w+")
        app = subprocess.Popen([exe, "20,20"], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                               stdout=program_out, stderr=subprocess.STDOUT)
        procs.append(app)

        window = xdotool(env, "search", "--sync", "--onlyvisible", "--name",
                         "^%s$" % WINDOW_TITLE, timeout=60).split()[0]
        # Start. A key that reaches the window before it takes the focus is lost;
        # then the line is still closed and Enter is pressed once more.
        for attempt in range(3):
            press_enter(env, window)
            try:
                wait_for("the program to open the line", lambda: holds_device(app.pid, device),
                         10)
                break
            except Failure:
                if app.poll() is not None or attempt == 2:
                    raise

        rx = os.path.join(folder, "Rx.nc")
        # The file is written in one step after the end marker and the pause
        # before closing the line; by then the button reads 閉じる.
        wait_for("Rx.nc", lambda: os.path.exists(rx) or app.poll() is not None, 90, 0.1)
        if app.poll() is not None:
            raise Failure("the program ended before Rx.nc was written (status %d)"
                          % app.returncode)
        wait_for("the line simulator to finish", lambda: sender.poll() is not None, 30)
        sender_out.seek(0)
        report = sender_out.read()
        if sender.returncode != 0:
            raise Failure("ncsend failed (status %d):\n%s" % (sender.returncode, report))

        press_enter(env, window)  # 閉じる
        try:
            app.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end after 閉じる")
        if app.returncode != 0:
            program_out.seek(0)
            raise Failure("the program ended with status %d:\n%s"
                          % (app.returncode, program_out.read()))

        with open(rx, "rb") as f:
            got = f.read()
        want = expected_rx(program)
        if got != want:
            at = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]),
                      min(len(got), len(want)))
            raise Failure("Rx.nc differs from the program at byte %d (%d bytes, expected %d):"
                          " got %r, expected %r" % (at, len(got), len(want),
                                                    got[max(0, at - 20):at + 20],
                                                    want[max(0, at - 20):at + 20]))
        with open(os.path.join(folder, "Kelv.ini"), "rb") as f:
            ini = f.read()
        if ini != expected_settings(link):
            raise Failure("Kelv.ini after the close:\n%s\nexpected:\n%s"
                          % (ini.decode("cp932", "replace"),
                             expected_settings(link).decode()))
        sent = [l for l in report.splitlines() if l.startswith("ncsend: sent")]
        print("passed: %d lines in Rx.nc, Kelv.ini saved with [Ports] kept (%s)"
              % (want.count(b"\n"), sent[0] if sent else "ncsend said nothing"))
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        log.close()


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
