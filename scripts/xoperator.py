#!/usr/bin/env python3
"""Works the built program's dialog as the operator at the machine would, on a
virtual X display of its own: Enter on 受信開始, wait until the control has sent
its program and Rx.nc is written, Enter on 閉じる.

As a module: the pieces the black-box test and the demo share. As a command
(the headless demo, scripts/demo.sh):

  xoperator.py --exe DIR/KelvRx --line DIR/ttyNC --sender-pid PID [--mode N]
               [--expect PROGRAM] [--shot FILE.png] [-- program arguments]

The line simulator (pid PID) must already hold the far end of the line. With
--expect, Rx.nc must then be PROGRAM as the program stores it. Exit status 0
when all went right, 1 with the reason otherwise; every wait has a deadline.
Needs Xvfb, xdotool, and for --shot ImageMagick's import (scripts/deps.sh demo).
"""

import argparse
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import time


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


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def start_x_server(log):
    """Starts Xvfb on a free display picked at random from a high range. The low
    numbers are where other X servers and scripts of a shared machine go (:0,
    and :99 upwards for xvfb-run -a); one of them taking over our socket would
    cut the program off its display. The server writes its display number to
    -displayfd once it takes connections: its socket appears a moment earlier,
    and a client that comes in between is refused. Returns (server, display)."""
    rng = random.SystemRandom()
    for _ in range(20):
        n = rng.randrange(200, 900)
        if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
            continue
        ready, tell = os.pipe()
        try:
            server = subprocess.Popen(
                ["Xvfb", ":%d" % n, "-displayfd", str(tell), "-screen", "0", "800x600x24",
                 "-dpi", "96", "-nolisten", "tcp"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(tell,))
            os.close(tell)
            tell = None
            told = b""
            end = time.monotonic() + 30
            # An empty read: the server ended (the display was taken after all).
            while not told.endswith(b"\n") and time.monotonic() < end:
                if select.select([ready], [], [], 0.5)[0]:
                    chunk = os.read(ready, 16)
                    if not chunk:
                        break
                    told += chunk
            if told.strip() == str(n).encode():
                return server, ":%d" % n
            stop(server)
        finally:
            os.close(ready)
            if tell is not None:
                os.close(tell)
    raise Failure("no X server could be started")


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


def first_difference(got, want):
    """Where and how got differs from want, in one line (None when equal)."""
    if got == want:
        return None
    at = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]),
              min(len(got), len(want)))
    return ("differs at byte %d (%d bytes, expected %d): got %r, expected %r"
            % (at, len(got), len(want), got[max(0, at - 20):at + 20],
               want[max(0, at - 20):at + 20]))


def holds_device(pid, device):
    """True when process pid (any process when None) has the device open: the
    reception opened the line."""
    pids = [str(pid)] if pid is not None else [p for p in os.listdir("/proc") if p.isdigit()]
    for p in pids:
        fd_dir = "/proc/%s/fd" % p
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


def pid_ended(pid):
    """True when process pid is gone or only waits to be reaped."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            # The state follows the command name, which is in parentheses.
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (OSError, IndexError):
        return True


class Dialog:
    """The program started on an X display, its window, and the keys pressed on it."""

    def __init__(self, exe, args, env, output):
        self.env = env
        self.output = output
        self.proc = subprocess.Popen([exe, *args], cwd=os.path.dirname(exe), env=env,
                                     stdin=subprocess.DEVNULL, stdout=output,
                                     stderr=subprocess.STDOUT)
        self.window = None

    def xdotool(self, *args, check=True):
        r = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                           timeout=30)
        if check and r.returncode != 0:
            raise Failure("xdotool %s failed: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout

    def alive(self):
        return self.proc.poll() is None

    def ended(self, when):
        """A Failure telling how and when the program ended, with what it said."""
        self.output.flush()
        with open(self.output.name, "rb") as f:
            said = f.read().decode("utf-8", "replace").strip()
        code = self.proc.returncode
        how = "with status %d" % code if code >= 0 else "by signal %d" % -code
        return Failure("the program ended %s %s%s" % (how, when, ":\n" + said if said else ""))

    def wait(self, what, predicate, deadline_s, step_s=0.05):
        """wait_for that also gives up, with the program's output, when it ends."""
        def check():
            if predicate():
                return True
            if not self.alive():
                raise self.ended("while waiting for %s" % what)
            return False
        wait_for(what, check, deadline_s, step_s)

    def find_window(self, deadline_s=60):
        # By process: the title is not ASCII, and matching it is up to the locale.
        def visible():
            out = self.xdotool("search", "--onlyvisible", "--pid", str(self.proc.pid),
                               check=False).split()
            self.window = out[0] if out else None
            return self.window
        self.wait("the dialog to appear", visible, deadline_s, 0.1)

    def press(self, key):
        self.xdotool("windowfocus", "--sync", self.window)
        self.xdotool("key", "--clearmodifiers", key)

    def start_reception(self, device):
        """Enter on 受信開始. A key that reaches the window before it has the focus
        is lost; then the line is still closed and Enter is pressed once more."""
        for attempt in range(3):
            self.press("Return")
            try:
                self.wait("the program to open the line",
                          lambda: holds_device(self.proc.pid, device), 10)
                return
            except Failure:
                if not self.alive() or attempt == 2:
                    raise

    def screenshot(self, path):
        geometry = dict(l.split("=", 1) for l in
                        self.xdotool("getwindowgeometry", "--shell", self.window).split())
        r = subprocess.run(["import", "-window", "root", "-crop",
                            "%(WIDTH)sx%(HEIGHT)s+%(X)s+%(Y)s" % geometry, "+repage", path],
                           env=self.env, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise Failure("the screenshot failed: %s" % r.stderr.strip())

    def close(self, deadline_s=30):
        """Enter on 閉じる; the program must then end by itself, with status 0."""
        self.press("Return")
        try:
            self.proc.wait(timeout=deadline_s)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within %d s of 閉じる" % deadline_s)
        if self.proc.returncode != 0:
            raise self.ended("after 閉じる")


def receive(exe, device, sender_ended, args=(), shot=None, logs=None, say=None,
            end_key=None):
    """Runs exe (in its own folder) on a virtual X display and receives once:
    Enter on 受信開始, waits for the line simulator to end (sender_ended() true),
    presses end_key if given (Escape where nothing marks the end), waits for
    Rx.nc, saves the dialog as shot if asked, Enter on 閉じる.
    logs: folder for the X server's and the program's output (exe's folder)."""
    say = say or (lambda text: None)
    folder = os.path.dirname(os.path.abspath(exe))
    logs = logs or folder
    procs = []
    with open(os.path.join(logs, "Xvfb.log"), "wb") as xlog, \
            open(os.path.join(logs, "KelvRx.log"), "wb") as output:
        try:
            server, display = start_x_server(xlog)
            procs.append(server)
            env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb",
                       XDG_RUNTIME_DIR=os.path.join(logs, "xdg"))
            env.pop("WAYLAND_DISPLAY", None)
            os.makedirs(env["XDG_RUNTIME_DIR"], 0o700, exist_ok=True)
            dialog = Dialog(os.path.abspath(exe), args, env, output)
            procs.append(dialog.proc)
            dialog.find_window()
            say("the dialog is up on the virtual display %s; Enter on 受信開始" % display)
            dialog.start_reception(os.path.realpath(device))
            say("receiving")
            dialog.wait("the line simulator to end", sender_ended, 120, 0.1)
            if end_key:
                say("all sent and nothing marks the end: %s ends the reception" % end_key)
                dialog.press(end_key)
            # The file is written in one step after the end and the pause before
            # closing the line; by then the button reads 閉じる.
            dialog.wait("Rx.nc", lambda: os.path.exists(os.path.join(folder, "Rx.nc")), 30, 0.1)
            if shot:
                dialog.screenshot(shot)
                say("the finished dialog is saved as %s" % shot)
            say("Enter on 閉じる")
            dialog.close()
            say("the program ended")
        finally:
            for p in reversed(procs):
                stop(p)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exe", required=True, help="the program, in the folder it runs from")
    ap.add_argument("--line", required=True, help="the link to the line the program opens")
    ap.add_argument("--sender-pid", type=int, required=True, help="the line simulator")
    ap.add_argument("--expect", help="the program the simulator sends")
    ap.add_argument("--mode", type=int, choices=range(4), default=0,
                    help="the preset's start/end convention; in mode 2 nothing marks the"
                         " end, and Esc ends the reception once the simulator has ended")
    ap.add_argument("--shot", help="save the finished dialog as this PNG")
    ap.add_argument("--tag", default="xoperator", help="prefix of the lines printed")
    ap.add_argument("args", nargs="*", help="the program's arguments")
    a = ap.parse_args()

    def say(text):
        print("%s: %s" % (a.tag, text), flush=True)

    missing = [t for t in ("Xvfb", "xdotool", "import" if a.shot else None)
               if t and shutil.which(t) is None]
    if missing:
        say("FAILED: %s not installed (scripts/deps.sh demo installs it)" % ", ".join(missing))
        return 1
    try:
        receive(a.exe, a.line, lambda: pid_ended(a.sender_pid), a.args, a.shot, say=say,
                end_key="Escape" if a.mode == 2 else None)
        if a.expect:
            rx = os.path.join(os.path.dirname(os.path.abspath(a.exe)), "Rx.nc")
            with open(a.expect, "rb") as f, open(rx, "rb") as g:
                got, want = g.read(), expected_rx(f.read(), a.mode)
            diff = first_difference(got, want)
            if diff:
                raise Failure("%s is not what was sent: it %s" % (rx, diff))
            say("%s is byte for byte %s as sent, with CR LF line ends (%d lines, %d bytes)"
                % (rx, os.path.basename(a.expect), want.count(b"\n"), len(want)))
    except (Failure, OSError, subprocess.TimeoutExpired) as e:
        say("FAILED: %s" % e)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
