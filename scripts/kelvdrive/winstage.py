"""The Windows stage of the test suite: cross-builds dist/KelvRx.exe and the
Windows test programs with MinGW-w64 (scripts/build-windows.sh) and runs them
under a private Wine (wine.py) on an X server of its own. Where the kernel
runs 32-bit programs, all of them are 32-bit as the program ships, under Wine's
32-bit side; where it does not, the same sources are built for x86_64 as well
(KELV_WIN_BUILD64) and run under wine64, and the shipped 32-bit program is
still built and checked. scripts/winarch.sh decides; KELV_WIN_ARCH=32|64
forces a path.

  test_core.exe   the portable suite (every *_test.cpp without a runner suffix)
  test_win.exe    the Windows-only tests (*_win_test.cpp): the settings file and
                  the serial backend on a pseudo-terminal that Wine presents as
                  COM99, whose far end answers every byte with its successor
  test_winui.exe  the dialog on the Win32 front end (*_winui_test.cpp)
  release         the release archives made from this tree
                  (scripts/release.sh --trial BUILD/release) and checked: the
                  file lists, the exe's version resource, the guides
  KelvRx.exe      a black-box receive (tests/blackbox/receive_wine.py) of a
                  100 kB program from the line simulator ncsend (built for
                  this machine in BUILD/host) as a control that waits for DC1
                  and honours DC3/DC1, sending flat out; COM1 leads to its pty.
                  It runs from the release zip unpacked into a fresh folder
                  (on the 64-bit path the x86_64 build takes the 32-bit exe's
                  place there: this Wine cannot run it)
  test_winui.exe  again on a screen of 120 dots per inch with a message font
                  that has no Japanese characters, as a Windows of another
                  language at 125 % has it

COM2..COM11 lead nowhere. Exits non-zero when the build or any test fails.
Usage: python3 -m kelvdrive.winstage  (scripts/windows-stage.sh; KELV_WIN_BUILD,
KELV_WIN_BUILD64)
"""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

from . import kelvrx, release
from .line import Answerer
from .proc import Failure, missing
from .wine import PACKAGE, Wine, arch, binaries, foreign_links, port_map
from .xserver import XServer

TEST_PORT = "COM99"
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def say(text):
    print("-- " + text, flush=True)


def gtest_counts(log):
    """passed, failed, skipped as the GoogleTest summary of log tells them."""
    def last(pattern):
        found = re.findall(pattern, log, re.M)
        return found[-1] if found else None
    return (last(r"^\[  PASSED  \] (\d+) test"), last(r"^ *(\d+) FAILED TESTS?"),
            last(r"^\[  SKIPPED \] (\d+) test"))


class Stage:
    def __init__(self, build, exe):
        self.build = build
        self.exe = exe  # the KelvRx.exe the black-box checks run
        self.zip = None  # the release zip, once made and checked
        self.failed = False
        self.summary = []

    def record(self, name, result, ok=True):
        self.summary.append("%-16s %s" % (name, result))
        self.failed |= not ok

    def run_tests(self, wine, label, exe, *args, env=None):
        log_path = os.path.join(wine.prefix, label + ".log")
        say("running %s under Wine" % label)
        with open(log_path, "wb") as log:
            rc = wine.run(300, exe, *args, out=log, env=env)
        with open(log_path, encoding="utf-8", errors="replace") as f:
            log = f.read().replace("\r\n", "\n")
        # Everything but the per-test chatter; failures and skip reasons stay.
        sys.stdout.write("".join(l for l in log.splitlines(True)
                                 if not re.match(r"\[ +(RUN|OK) +\]", l)))
        passed, failed, skipped = gtest_counts(log)
        if rc:
            if rc in (124, 137):
                failed = "timed out;" + (" " + failed if failed else "")
            self.record(label, "FAILED (exit %d): %s passed, %s failed, %s skipped"
                        % (rc, passed or 0, failed or "?", skipped or 0), ok=False)
        else:
            self.record(label, "ok: %s passed, %s skipped" % (passed or 0, skipped or 0))

    def run(self, wine):
        tests = os.path.join(self.build, "tests")
        far = Answerer()
        try:
            ports = port_map(wine.prefix, **{TEST_PORT: far.device})
            say("setting up Wine in %s (locale %s)" % (wine.prefix, wine.locale))
            wine.set_up(ports)
            port_ok = True
            try:
                wine.wait_link(TEST_PORT, far.device)
                say("%s -> %s (far end in this process)" % (TEST_PORT, far.device))
            except Failure as e:
                print("Windows stage: %s: serial tests not run" % e)
                port_ok = False
            foreign = foreign_links(wine.prefix, ports)
            for name, target in foreign:
                print("Windows stage: %s leads to '%s': no program that opens COM ports is run"
                      % (name, target))

            self.run_tests(wine, "test_core.exe", os.path.join(tests, "test_core.exe"))
            win_test = os.path.join(tests, "test_win.exe")
            if port_ok and not foreign:
                # Wine passes the environment on to the Windows process.
                self.run_tests(wine, "test_win.exe", win_test, env={"KELV_TEST_COM": TEST_PORT})
            else:
                self.record("serial (pty)", "FAILED: no test port", ok=False)
                self.run_tests(wine, "test_win.exe", win_test, "--gtest_filter=-Win32Serial.*")
            self.run_tests(wine, "test_winui.exe", os.path.join(tests, "test_winui.exe"))
        finally:
            far.close()

        if foreign:
            self.record("KelvRx.exe", "FAILED: COM ports not safely mapped", ok=False)
        else:
            self.black_box(wine)
        say("the Win32 dialog at 120 dpi with a Latin message font")
        wine.set_display(120, "Tahoma")
        self.run_tests(wine, "test_winui@120dpi", os.path.join(tests, "test_winui.exe"),
                       env={"KELV_TEST_DPI": "120"})
        # Last: the session's end also ends whatever else runs in the prefix.
        if not foreign:
            say("the session's end asked for during a reception by KelvRx.exe, then when idle")
            rc = subprocess.call(
                ["timeout", "-k", "5", "300", sys.executable,
                 os.path.join(ROOT, "tests", "blackbox", "sessionend_wine.py"),
                 "--exe", self.exe, "--prefix", wine.prefix],
                env=wine.env)
            self.record("session end", "FAILED: wineboot --end-session during a reception"
                        if rc else "ok: refused during a reception, which received the whole"
                        " program; idle, the settings saved and the program ended", ok=not rc)

    def black_box(self, wine):
        ncsend = self.host_ncsend()
        if not ncsend:
            self.record("KelvRx.exe", "FAILED: no line simulator for this machine", ok=False)
            return
        say("black-box receive with KelvRx.exe from ncsend, flat out, DC2/DC1 and DC3/DC1")
        shot = os.path.join(self.build, "dialog-windows.png")
        program = os.path.join(wine.prefix, "long.nc")
        with open(os.path.join(ROOT, "tools", "sample", "demo.nc"), "rb") as f:
            sample = f.read()
        with open(program, "wb") as f:
            f.write(kelvrx.long_program(sample, 100 * 1024))
        rc = subprocess.call(
            ["timeout", "-k", "5", "420", sys.executable,
             os.path.join(ROOT, "tests", "blackbox", "receive_wine.py"),
             "--exe", self.exe, "--prefix", wine.prefix,
             "--program", program, "--ncsend", ncsend, "--flat-out",
             "--folder", "受信プログラム", "--shot", shot,
             *(["--zip", self.zip] if self.zip else [])], env=wine.env)
        where = " from the release zip" if self.zip else ""
        if rc:
            self.record("KelvRx.exe", "FAILED: black-box receive" + where, ok=False)
        else:
            self.record("KelvRx.exe", "ok: received byte for byte%s, DC1/DC3 answered "
                        "(picture: %s)" % (where, shot))

    def release(self, env):
        """Makes the release archives from this tree with the builds made
        already and checks them (scripts/release.sh --trial)."""
        folder = os.path.join(self.build, "release")
        say("the release archives from this tree, checked, in %s" % folder)
        if subprocess.call(["scripts/release.sh", "--trial", folder], env=env):
            self.record("release", "FAILED: scripts/release.sh --trial", ok=False)
            return
        self.zip = os.path.join(folder, release.archive_names(release.project_version())["zip"])
        self.record("release", "ok: the zip and the archive hold what they should, the exe's "
                    "version resource says %s" % release.project_version())

    def host_ncsend(self):
        """The line simulator built for this machine (it plays the control on
        the pty Wine maps to COM1); KELV_NCSEND names one already built."""
        given = os.environ.get("KELV_NCSEND")
        if given:
            return given if os.access(given, os.X_OK) else None
        host = os.path.join(self.build, "host")
        say("building the line simulator for this machine in %s" % host)
        if subprocess.call(["cmake", "-S", ROOT, "-B", host, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DKELV_WITH_QT=OFF",
                            "-DKELV_TESTS=OFF"], stdout=subprocess.DEVNULL) or \
                subprocess.call(["cmake", "--build", host, "-j", "2", "--target", "ncsend"],
                                stdout=subprocess.DEVNULL):
            return None
        return os.path.join(host, "tools", "ncsend")


def shipped_in_guest(stage, exe):
    """The shipped 32-bit program where this kernel runs no 32-bit programs:
    in the real-driver stage's Linux guest, under Debian's 32-bit Wine, COM1
    on the guest's 16550 (guestwine.py)."""
    from . import guestwine
    say("the shipped 32-bit %s in the Linux guest under Wine's 32-bit side" % exe)
    try:
        results, facts = guestwine.run(exe, os.environ.get("KELV_CACHE") or
                                       os.path.join(ROOT, "build-cache"), stage.build)
    except Failure as e:
        stage.record("32-bit in guest", "FAILED: %s" % e, ok=False)
        return
    for name, ok, text in results:
        stage.record("guest " + name, ("ok: " if ok else "FAILED: ") + text, ok)
    stage.record("guest", "%s, %s, %s prefix, %d s%s" % (
        facts.get("version", "Wine ?"), "KVM" if facts.get("kvm") else "emulated",
        "a fresh" if facts.get("fresh") else "the cached", facts.get("seconds", 0),
        "; output kept in " + facts["kept"] if facts.get("kept") else ""))


def give_up(why):
    print("Windows stage: " + why)
    print("0 passed, 1 failed")
    return 1


def main():
    os.chdir(ROOT)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        bits = arch()
    except Failure as e:
        return give_up(str(e))
    why = os.environ.get("KELV_WIN_ARCH_WHY") or "KELV_WIN_ARCH=%s" % bits
    say("the %s-bit path: %s" % (bits, why))
    for name, path in zip(("wine", "wineserver"), binaries(bits)):
        if not path:
            return give_up("%s (%s-bit) not found: package %s (run scripts/deps.sh test)"
                           % (name, bits, PACKAGE[bits]))
    if missing("Xvfb"):
        return give_up("xvfb not found (run scripts/deps.sh test)")

    tests = ["test_core", "test_win", "test_winui"]
    build32 = os.environ.get("KELV_WIN_BUILD", "build-win")
    say("cross-building the shipped 32-bit program%s in %s"
        % (" and the Windows tests" if bits == "32" else "", build32))
    env = dict(os.environ, KELV_WIN_BUILD=build32, KELV_WIN_TESTS="ON" if bits == "32" else "OFF")
    if subprocess.call(["scripts/build-windows.sh", *(tests if bits == "32" else [])], env=env):
        return give_up("cross-build FAILED")
    build, exe = build32, os.path.join(ROOT, "dist", "KelvRx.exe")
    if bits == "64":
        build = os.environ.get("KELV_WIN_BUILD64", "build-win64")
        say("cross-building the same sources for x86_64 with the Windows tests in %s" % build)
        env = dict(os.environ, KELV_WIN_BUILD64=build, KELV_WIN_TESTS="ON")
        if subprocess.call(["scripts/build-windows.sh", "--arch", "64", *tests], env=env):
            return give_up("64-bit cross-build FAILED")
        exe = os.path.join(os.path.abspath(build), "app", "KelvRx.exe")

    stage = Stage(os.path.abspath(build), exe)
    # With the 32-bit build made above: nothing is built twice.
    stage.release(dict(os.environ, KELV_WIN_BUILD=build32,
                       KELV_WIN_TESTS="ON" if bits == "32" else "OFF"))
    prefix = tempfile.mkdtemp(prefix="wineprefix.", dir=stage.build)
    try:
        with contextlib.ExitStack() as cleanup:
            cleanup.callback(shutil.rmtree, prefix, ignore_errors=True)
            x = cleanup.enter_context(XServer(os.path.join(prefix, "Xvfb.log"), "1024x768x24"))
            say("X server on %s" % x.display)
            wine = Wine(prefix, x.display)
            cleanup.callback(wine.close)
            stage.run(wine)
    except Failure as e:
        return give_up(str(e))
    except KeyboardInterrupt:
        return give_up("stopped")
    if bits == "64":
        shipped_in_guest(stage, os.path.join(ROOT, "dist", "KelvRx.exe"))

    print("== Windows (Wine) summary: the %s-bit path (%s)" % (bits, why))
    if bits == "32":
        print("  every test program 32-bit, the shipped KelvRx.exe included, under this "
              "machine's kernel and Wine's 32-bit side")
    else:
        print("  the test programs and the black-box receive x86_64 under wine64 here; the "
              "shipped 32-bit KelvRx.exe in the Linux guest (rows guest ...)")
    for line in stage.summary:
        print("  " + line)
    print("  Windows stage FAILED" if stage.failed else "  Windows stage passed")
    return 1 if stage.failed else 0


if __name__ == "__main__":
    sys.exit(main())
