"""The stage "Real serial drivers (Linux guest)": the dialog's tests of
tests/app/realline_qt_test.cpp run inside the guest (guest.py) on the kernel's
16550 and FT232 drivers, while this side plays the control on the far ends:
ttyS1 through QEMU's telnet socket, ttyUSB0 through a plain one, and the
monitor (QMP) for pulling the adapter out and plugging it back.

Each case, in the order the guest runs them:
  iso_16550    demo.nc at 9600, ISO; the window stalls, so DC3 and then DC1
  eia_16550    demo.nc in EIA at 4800 (its line ends are bytes with bit 7 set)
  break_16550  demo.nc with a BREAK in the middle of a line
  iso_usb      demo.nc on the adapter, with the stall: DC3 and DC1
  overrun_16550  the component open but not read while 2.5 MB flood in
  pulled_usb   the adapter pulled out once half the lines are read
  absent_usb   started while it is out; plugged back, the next start receives
  settings_16550 every preset's speed and stop bits as QEMU's host side of
               ttyS2 (a pty here) takes them over
For every case the control repeats DC2 until it hears DC1, then sends.

Usage: python3 -m kelvdrive.guestline BUILD_DIR  (scripts/guest-stage.sh)
KELV_GUEST_KVM=0 keeps KVM off; KELV_GUEST_PICTURE=PATH keeps the picture of
the reception with the break there.
"""

import os
import re
import shutil
import termios
import subprocess
import sys
import tempfile
import time

from .guest import Guest, Plain, Qmp, Telnet, say
from .proc import Failure, wait_for

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DC1, DC2, DC3 = b"\x11", b"\x12", b"\x13"
STAGE_S = 170  # every wait ends by then: the stage stays within 3 minutes
_end = time.monotonic() + STAGE_S


# The guest's test of each case that is not a row of the table.
GUEST_TESTS = {"overrun_16550": "KernelBufferOverrunIsReported",
               "pulled_usb": "PulledOutAdapterEndsTheRunAsTheLostLine",
               "absent_usb": "AbsentAdapterFailsToOpenUntilPluggedBack",
               "settings_16550": "PresetsReachTheUart"}


def left(deadline_s):
    """deadline_s, or what is left of the stage's time when that is less."""
    return max(1.0, min(deadline_s, _end - time.monotonic()))


def crlf(data):
    return data.replace(b"\n", b"\r\n")


class Control:
    """The control on one far end: DC2 until DC1, then the bytes."""

    def __init__(self, line, share, name):
        self.line, self.share, self.name = line, share, name

    def handshake(self, deadline_s=90):
        self.line.read(0)
        self.line.got.clear()
        deadline_s = left(deadline_s)
        end = time.monotonic() + deadline_s
        while DC1 not in self.line.got:
            if time.monotonic() > end:
                raise Failure("%s: no DC1 answered DC2 within %d s" % (self.name, deadline_s))
            self.line.write(DC2)
            self.line.read(0.25)
        self.answered = len(self.line.got)

    def send(self, data, chunk=256):
        for at in range(0, len(data), chunk):
            self.line.write(data[at:at + chunk])
            self.line.read(0)

    def brk(self):
        self.line.brk()

    def drained(self, deadline_s=30):
        """Once the receiver has taken every byte sent so far. (QEMU's UART
        flags a break on the character at the head of its FIFO, so a break
        is sent into an empty one.) First its answers settle (a DC1 that lets
        a hold go may still be on its way), then DC2, which it answers as it
        reads it: its DC1 heard."""
        deadline_s = left(deadline_s)
        end = time.monotonic() + deadline_s
        while self.line.read(0.5):
            if time.monotonic() > end:
                raise Failure("%s: the receiver's answers did not settle" % self.name)
        before = self.line.got.count(DC1)
        self.line.write(DC2)
        while self.line.got.count(DC1) == before:
            if time.monotonic() > end:
                raise Failure("%s: DC2 not answered within %d s" % (self.name, deadline_s))
            self.line.read(0.05)

    def wait_file(self, suffix, deadline_s=120):
        path = os.path.join(self.share, "%s.%s" % (self.name, suffix))

        def there():
            self.line.read(0.02)
            return os.path.exists(path)
        wait_for("the guest's %s.%s" % (self.name, suffix), there, left(deadline_s), 0)

    def flow(self):
        """DC3 and DC1 heard after the handshake's answer, and whether a DC1
        followed the last DC3."""
        after = bytes(self.line.got[self.answered:])
        last3 = after.rfind(DC3)
        return after.count(DC3), after.count(DC1), last3 < 0 or DC1 in after[last3:]


def run(build):
    global _end
    started = time.monotonic()
    _end = started + STAGE_S
    test_ui = os.path.join(build, "tests", "test_ui")
    if not os.access(test_ui, os.X_OK):
        raise Failure("%s is not built" % test_ui)
    program = open(os.path.join(ROOT, "tools", "sample", "demo.nc"), "rb").read()
    ncsend = os.path.join(build, "tools", "ncsend")
    eia = subprocess.run([ncsend, "--dump", "--code", "eia", os.path.join(ROOT, "tools", "sample",
                                                                          "demo.nc")],
                         stdout=subprocess.PIPE, check=True).stdout
    # The break comes in the middle of a line; it arrives as a NUL there.
    split = program.index(b" ", len(program) // 2) + 1
    brk_line = program[:split].count(b"\n") + 1
    half = program.rindex(b"\n", 0, split) + 1
    short = b"%\nO2\nG0 X0\nM30\n%\n"

    share = tempfile.mkdtemp(prefix="kelvguest")
    wants = {"iso_16550": (crlf(program), ""), "eia_16550": (crlf(program), ""),
             "break_16550": (crlf(program[:split] + b"\0" + program[split:]),
                             "回線エラー:ブレーク 1文字 %d行目" % brk_line),
             "iso_usb": (crlf(program), ""), "pulled_usb": (crlf(program[:half]), ""),
             "absent_usb": (crlf(short), "")}
    for name, (want, errors) in wants.items():
        with open(os.path.join(share, name + ".want"), "wb") as f:
            f.write(want)
        with open(os.path.join(share, name + ".errors"), "w") as f:
            f.write(errors)
    picture = os.environ.get("KELV_GUEST_PICTURE", "")
    # The rows first, then the adapter's own cases (gtest runs parameterised
    # suites after the plain ones).
    job = ("mkdir -m 700 /tmp/xdg\n"
           "export KELV_GUEST_OUT=/run/out QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/xdg "
           "LANG=C.UTF-8%s\n"
           "%s --gtest_filter='Guest/RealLineRows.*'; a=$?\n"
           "%s --gtest_filter='RealLine.*'; b=$?\n"
           "cat /proc/tty/driver/serial; exit $((a | b))\n"
           % (" KELV_GUEST_PICTURE=/run/out/line-error.png" if picture else "", test_ui, test_ui))

    guest = Guest(os.environ.get("KELV_CACHE") or os.path.join(ROOT, "build-cache")).make()
    # ttyS2's far end: a pty whose termios QEMU sets as the guest sets the UART.
    master, slave = os.openpty()
    g = guest.boot(job, share, ["-chardev", "serial,id=s2,path=%s" % os.ttyname(slave),
                                "-serial", "chardev:s2"])
    say("booting with %s" % ("KVM" if g.kvm else "no KVM: emulated"))
    results, failed = [], False
    try:
        # Connected at once: QEMU attaches the adapter once its far end is there.
        s1 = Telnet(g.path("s1"))
        u1 = Plain(g.path("u1"))
        qmp = Qmp(g.path("qmp"))
        say("up after %.1f s" % g.wait_up())

        def record(name, ok, text):
            nonlocal failed
            results.append((name, ok, text))
            failed |= not ok
            say("%s: %s" % (name, text))

        def flood_case(name, line, data, stall):
            c = Control(line, share, name)
            c.handshake()
            c.send(data)
            c.wait_file("done")
            dc3, dc1, resumed = c.flow()
            ok = not stall or (dc3 >= 1 and resumed)
            record(name, ok, "DC1 answered DC2; %d DC3, %d DC1 after%s"
                   % (dc3, dc1, "" if resumed else "; no DC1 after the last DC3"))

        flood_case("iso_16550", s1, program, True)
        flood_case("eia_16550", s1, eia, False)

        c = Control(s1, share, "break_16550")
        c.handshake()
        c.send(program[:split])
        c.drained()
        c.brk()
        c.send(program[split:])
        c.wait_file("done")
        record("break_16550", True, "BREAK sent in line %d" % brk_line)

        flood_case("iso_usb", u1, program, True)

        c = Control(s1, share, "overrun_16550")
        c.wait_file("open")
        t = time.monotonic()
        # The kernel holds about 1.3 MB before it drops, the component's
        # reader half a megabyte more.
        flood = (b"G01 X10. Y10.\n" * 190000)[:2500000]
        c.send(flood, chunk=65536)
        open(os.path.join(share, "overrun_16550.sent"), "w").close()
        c.wait_file("done")
        record("overrun_16550", True, "%d bytes flooded in %.1f s" % (len(flood),
                                                                     time.monotonic() - t))

        c = Control(u1, share, "pulled_usb")
        c.handshake()
        c.send(program[:split])
        c.wait_file("half")
        t = time.monotonic()
        qmp.cmd("device_del", id="us0")
        c.wait_file("done")
        record("pulled_usb", True, "pulled out; the guest's case ended %.2f s later"
               % (time.monotonic() - t))

        c = Control(u1, share, "absent_usb")
        c.wait_file("seen")
        qmp.cmd("device_add", driver="usb-serial", chardev="u1", id="us0")
        c.handshake()
        c.send(short)
        c.wait_file("done")
        record("absent_usb", True, "plugged back, received")

        speeds = {getattr(termios, "B%d" % b): b for b in
                  (300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)}
        c = Control(s1, share, "settings_16550")
        for n in range(16):
            c.wait_file(str(n))
            attrs = termios.tcgetattr(master)  # the slave's, as QEMU set them
            with open(os.path.join(share, "settings_16550.%d.host" % n), "w") as f:
                f.write("%d %d\n" % (speeds.get(attrs[5], -1),
                                     2 if attrs[2] & termios.CSTOPB else 1))
        c.wait_file("done")
        record("settings_16550", True, "16 presets looked at from the host's side")

        status = g.finish(left(120))
        if status != 0:
            failed = True
    except Failure as e:
        failed = True
        results.append(("stopped", False, str(e)))
    finally:
        g.stop()
        os.close(master)
        os.close(slave)
    try:
        with open(os.path.join(share, "job.log"), errors="replace") as f:
            log = f.read()
    except OSError:
        log = ""  # the job never started
    sys.stdout.write("".join(l for l in log.splitlines(True) if not l.startswith("[ RUN")))
    if picture and os.path.exists(os.path.join(share, "line-error.png")):
        shutil.copy(os.path.join(share, "line-error.png"), picture)
    print("-- guest stage (%.0f s):" % (time.monotonic() - started))
    for name, ok, text in results:
        # A case passes when the control saw what it must and the guest's test passed.
        test = GUEST_TESTS.get(name, "ReceivesTheProgram/" + name)
        if re.search(r"^\[  FAILED  \] \S*%s\b" % re.escape(test), log, re.M):
            ok, text = False, text + "; the guest's test failed"
        elif name != "stopped" and not re.search(r"^\[ +OK \] \S*%s\b" % re.escape(test), log,
                                                 re.M):
            ok, text = False, text + "; the guest's test did not end"
        print("   %-14s %s %s" % (name, "ok  " if ok else "FAIL", text))
    if failed:
        print("-- guest output kept in %s" % share)
    else:
        shutil.rmtree(share, ignore_errors=True)
    return 1 if failed else 0


def main():
    if len(sys.argv) != 2:
        print("usage: python3 -m kelvdrive.guestline BUILD_DIR", file=sys.stderr)
        return 2
    try:
        return run(os.path.abspath(sys.argv[1]))
    except Failure as e:
        print("-- guest stage FAILED: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
