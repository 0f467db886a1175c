"""A whole transfer on a machine without a serial port or a CNC control.

Puts the built KelvRx into the demo folder with a Kelv.ini whose COM1 is a
pseudo-terminal and starts the line simulator on the other end of it: it
waits with the DC2 handshake, so pressing 受信開始 receives the program at
9600 baud into Rx.nc there. The simulator is stopped when the program ends.

Without a display (DISPLAY and WAYLAND_DISPLAY unset) nobody could press the
button: the demo then works the dialog itself on an X server of its own,
saves the finished dialog as finished.png, and Rx.nc must be the program byte
for byte. Exits non-zero, saying why, when anything failed.

With --wine the program is KelvRx.exe under Wine (./run.sh --demo --wine):
the exe in the demo folder with a Wine prefix of its own there, COM1 mapped
to the simulator's pseudo-terminal, the same control (DC2 until a DC1
answers, DC3/DC1 honoured). Without a display it runs on an X server of its
own and works the dialog itself, as above; with one, the window shows there.
Either way Rx.nc beside the exe must be the program byte for byte.

Usage: python3 -m kelvdrive.demo BUILD DEMO_DIR PROGRAM [program arguments]
       python3 -m kelvdrive.demo --wine EXE NCSEND DEMO_DIR PROGRAM
(scripts/demo.sh calls it.)
"""

import contextlib
import os
import shutil
import signal
import subprocess
import sys

from . import kelvrx
from . import wine as winedrive
from .line import Ncsend
from .proc import Failure, Program, missing
from .xserver import XServer

TAG = "demo.sh"


def say(text, err=False):
    print("%s: %s" % (TAG, text), file=sys.stderr if err else sys.stdout, flush=True)


def check_rx(rx, program):
    with open(program, "rb") as f, open(rx, "rb") as g:
        got, want = g.read(), kelvrx.expected_rx(f.read())
    diff = kelvrx.first_difference(got, want)
    if diff:
        raise Failure("%s is not what was sent: it %s" % (rx, diff))
    say("%s is byte for byte %s as sent, with CR LF line ends (%d lines, %d bytes)"
        % (rx, os.path.basename(program), want.count(b"\n"), len(want)))


def headless_receive(exe, line, sender, program, args):
    shot = os.path.join(os.path.dirname(exe), "finished.png")
    kelvrx.receive(exe, line, sender.ended, args, shot, say=say)
    check_rx(os.path.join(os.path.dirname(exe), "Rx.nc"), program)
    status = sender.finish()
    if status:
        raise Failure("the line simulator ended with status %d" % status)
    return shot


def run(build, demo, program, args):
    exe_src, ncsend = (os.path.join(build, p) for p in ("app/KelvRx", "tools/ncsend"))
    for f in (exe_src, ncsend):
        if not os.access(f, os.X_OK):
            raise Failure("no %s; build the targets KelvRx and ncsend first" % f)
    demo = os.path.realpath(demo)
    line = os.path.join(demo, "ttyNC")
    exe = kelvrx.install(exe_src, demo, kelvrx.settings(line))
    for old in ("Rx.nc", "finished.png"):
        if os.path.exists(os.path.join(demo, old)):
            os.remove(os.path.join(demo, old))
    headless = not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    gone = missing("Xvfb", "xdotool", "import") if headless else []
    if gone:
        raise Failure("%s not installed (scripts/deps.sh demo installs it)" % ", ".join(gone))
    with open(program, "rb") as f:
        lines = f.read().count(b"\n")
    # An operator may take a while to press the button; the headless run does not.
    sender = Ncsend(ncsend, line, program, "--handshake", "--timeout", "60" if headless else "0",
                    "--linger-ms", "5000")
    status = 0
    try:
        if headless:
            say("no display; the demo starts a virtual one and presses the keys itself")
            say("the control sends %s (%d lines) to %s/Rx.nc" % (os.path.basename(program),
                                                                   lines, demo))
            try:
                shot = headless_receive(exe, line, sender, program, args)
            except (Failure, OSError, subprocess.TimeoutExpired) as e:
                say("FAILED: %s" % e)
                status = 1
        else:
            say("press 受信開始; the control sends %s (%d lines) to %s/Rx.nc"
                % (os.path.basename(program), lines, demo))
            status = subprocess.call([exe, *args])
    finally:
        sender.stop()
    rx = os.path.join(demo, "Rx.nc")
    if os.path.exists(rx):
        with open(rx, "rb") as f:
            say("received %d lines into %s" % (f.read().count(b"\n"), rx))
    if headless:
        if status:
            say("the demo FAILED (logs: %s/KelvRx.log, %s/Xvfb.log)" % (demo, demo), err=True)
        else:
            say("the demo went through; the finished dialog: %s" % shot)
    return status


def run_wine(exe_src, ncsend, demo, program):
    for f in (exe_src, ncsend):
        if not os.access(f, os.R_OK):
            raise Failure("no %s; ./run.sh --demo --wine builds it" % f)
    headless = not os.environ.get("DISPLAY")
    gone = missing("Xvfb", "xdotool", "import") if headless else []
    if gone:
        raise Failure("%s not installed (scripts/deps.sh demo-wine installs it)" % ", ".join(gone))
    demo = os.path.realpath(demo)
    os.makedirs(demo, exist_ok=True)
    exe = os.path.join(demo, "KelvRx.exe")
    shutil.copy2(exe_src, exe)
    # A first start: the default presets (COM1, 9600 baud, ISO, "%" to "%").
    for old in ("Rx.nc", "Kelv.ini", "finished.png"):
        if os.path.exists(os.path.join(demo, old)):
            os.remove(os.path.join(demo, old))
    prefix = os.path.join(demo, "wineprefix")
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    shot = os.path.join(demo, "finished.png")
    rx = os.path.join(demo, "Rx.nc")
    with contextlib.ExitStack() as cleanup:
        if headless:
            x = cleanup.enter_context(XServer(os.path.join(demo, "Xvfb.log"), "1024x768x24"))
            display = x.display
            say("no display; the demo starts a virtual one (%s) and presses the keys itself"
                % display)
        else:
            display = os.environ["DISPLAY"]
        wine = winedrive.Wine(prefix, display)
        cleanup.callback(wine.close)
        ports = winedrive.port_map(prefix)
        say("setting up a Wine prefix of its own in %s (about a minute the first time)" % prefix)
        wine.set_up(ports)
        wine.wait_link("COM1", ports["COM1"])
        foreign = winedrive.foreign_links(prefix, ports)
        if foreign:
            raise Failure("COM ports lead elsewhere than the demo's line: %s" % foreign)
        # An operator may take a while to press the button; the headless run does not.
        sender = Ncsend(ncsend, os.path.join(prefix, winedrive.COM1_LINK), program,
                        *winedrive.sender_options(timeout_s=60 if headless else 0),
                        out=os.path.join(demo, "ncsend.log"))
        cleanup.callback(sender.stop)
        say("COM1 -> %s; the control waits for the program to open it" % sender.device)
        with open(program, "rb") as f:
            lines = f.read().count(b"\n")
        say("the control sends %s (%d lines) to %s" % (os.path.basename(program), lines, rx))
        if headless:
            winedrive.receive(wine, exe, sender, os.path.join(demo, "KelvRx.log"),
                              finished_shot=shot, say=say)
        else:
            say("press 受信開始; when the status line says 受信完了, press 閉じる")
            app = Program([wine.wine, exe], demo, wine.env, os.path.join(demo, "KelvRx.log"))
            cleanup.callback(app.stop)
            # The operator's pace: an hour at most.
            app.proc.wait(timeout=3600)
        status = sender.let_go()
        if status:
            raise Failure("the line simulator ended with status %d:\n%s" % (status, sender.said()))
    if not os.path.exists(rx):
        raise Failure("no %s: nothing was received" % rx)
    check_rx(rx, program)
    report = sender.report()
    wrong = winedrive.check_answers(report, False)
    if wrong:
        raise Failure("%s (%s)" % (wrong, winedrive.answers_text(report)))
    say("the control's view: %s" % winedrive.answers_text(report))
    if headless:
        say("the demo went through; the finished dialog: %s" % shot)
    else:
        say("the demo went through")
    return 0


def main():
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    if sys.argv[1:2] == ["--wine"]:
        exe, ncsend, demo, program = sys.argv[2:6]
        try:
            return run_wine(exe, ncsend, demo, program)
        except (Failure, OSError, subprocess.SubprocessError) as e:
            say("FAILED: %s" % e, err=True)
            say("logs: %s/KelvRx.log, %s/ncsend.log" % (demo, demo), err=True)
            return 1
        except KeyboardInterrupt:
            return 130
    build, demo, program, *args = sys.argv[1:]
    try:
        return run(build, demo, program, args)
    except Failure as e:
        say(str(e), err=True)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
