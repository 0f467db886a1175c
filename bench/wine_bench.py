#!/usr/bin/env python3
"""The Windows program's own costs, measured under Wine beside the Linux build
of the same sources on the same machine, in one run. Prints one Markdown table.

For each program (KelvRx.exe under Wine, KelvRx on Xvfb):
  waiting  the run started (COM1 opened) and nothing sent for WAIT_S seconds:
           CPU of the program and of Wine's server, and wake-ups a second
           (context switches of all the program's threads)
  paced    ncsend sends a program paced at 38400 and at 9600 baud (7E1),
           honouring DC3/DC1: CPU while receiving, the holds it needed, and
           whether it kept up (the sender's time against the line's)
For KelvRx.exe alone:
  calls    Wine's relay trace of a short paced reception, limited to the
           calls named in CALLS: how many per received line and per byte

Most of what Wine costs on a pty is its own serial emulation, which real
Windows does not have; the calls per line and per byte are the program's own.

Usage: wine_bench.py --exe KelvRx.exe --linux KelvRx --ncsend ncsend [--keep]
(bench/run.sh --windows builds them and calls this.)
"""

import argparse
import contextlib
import os
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from kelvdrive import kelvrx  # noqa: E402
from kelvdrive.line import Ncsend, PtyPeer  # noqa: E402
from kelvdrive.proc import Failure, Program, holds_device  # noqa: E402
from kelvdrive.window import Window  # noqa: E402
from kelvdrive.wine import COM1_LINK, Wine, port_map, reg_file  # noqa: E402
from kelvdrive.xserver import XServer  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
WAIT_S = 10
PACED = ((38400, kelvrx.BAUD_38400, 48 * 1024), (9600, kelvrx.BAUD_9600, 12 * 1024))
CALLS = ("SetWindowTextW", "GetDC", "ReleaseDC", "DrawTextW", "SetWindowPos", "SendMessageW",
         "ReadFile", "ResetEvent", "WaitForSingleObject", "GetOverlappedResult",
         "ClearCommError", "WaitCommEvent", "MsgWaitForMultipleObjectsEx")
CALLS_BYTES = 4 * 1024


def cpu_ticks(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime, stime
    except OSError:
        return 0


def switches(pid):
    """Context switches of all threads of pid so far."""
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return 0
    for t in tasks:
        try:
            with open("/proc/%d/task/%s/status" % (pid, t)) as f:
                total += sum(int(l.split()[1]) for l in f if "ctxt_switches" in l)
        except OSError:
            pass
    return total


def wineservers(prefix):
    """The pids of the Wine servers of prefix."""
    found = []
    for p in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % p) as f:
                if not f.read().startswith("wineserver"):
                    continue
            with open("/proc/%s/environ" % p, "rb") as f:
                if b"WINEPREFIX=" + prefix.encode() + b"\0" in f.read():
                    found.append(int(p))
        except OSError:
            pass
    return found


class Meter:
    """CPU of pid (and of the extra pids) and pid's wake-ups between start and stop."""

    def __init__(self, pid, extra=()):
        self.pid, self.extra = pid, list(extra)
        self.t0 = time.monotonic()
        self.cpu0 = [cpu_ticks(p) for p in [pid] + self.extra]
        self.sw0 = switches(pid)

    def stop(self):
        dt = time.monotonic() - self.t0
        cpu = [(cpu_ticks(p) - c) / TICK for p, c in zip([self.pid] + self.extra, self.cpu0)]
        return {"s": dt, "prog": 100 * cpu[0] / dt, "server": 100 * sum(cpu[1:]) / dt,
                "wakeups": (switches(self.pid) - self.sw0) / dt}


class Bench:
    def __init__(self, a, work, x):
        self.a, self.work, self.x = a, work, x
        self.rows = []
        self.prefix = os.path.join(work, "wineprefix")
        os.makedirs(self.prefix)
        self.wine = Wine(self.prefix, x.display)
        self.wine.set_up(port_map(self.prefix))
        self.program = kelvrx.long_program(open(os.path.join(
            os.path.dirname(__file__), "..", "tools", "sample", "demo.nc"), "rb").read(), 64 * 1024)

    # -- starting either program in a fresh folder, its COM1 on link
    def start(self, which, folder, baud_index, env=None):
        folder = os.path.join(self.work, folder)
        os.makedirs(folder)
        if which == "wine":
            exe = os.path.join(folder, "KelvRx.exe")
            shutil.copy2(self.a.exe, exe)
            ini = "[Set]\r\nActive=0\r\nPort0=0\r\nbaudRate0=%d\r\n" % baud_index
            with open(os.path.join(folder, "Kelv.ini"), "wb") as f:
                f.write(ini.encode())
            app = Program([self.wine.wine, exe, "20,20"], folder,
                          dict(self.wine.env, **(env or {})), os.path.join(folder, "KelvRx.log"))
            link = os.path.join(self.prefix, COM1_LINK)
        else:
            link = os.path.join(folder, "ttyNC")
            exe = kelvrx.install(self.a.linux, folder, kelvrx.settings(link, baud=baud_index))
            app = kelvrx.start(exe, self.x, folder)
        return app, folder, link

    def extra_pids(self, which):
        return wineservers(self.prefix) if which == "wine" else []

    def waiting(self, which):
        app, folder, link = self.start(which, "wait-" + which, kelvrx.BAUD_9600)
        peer = PtyPeer(link, hold=False)
        try:
            window = Window.of(app, 60, 0.2)
            window.press_until("Return", app, "the line to be opened",
                               lambda: holds_device(None, peer.device))
            time.sleep(1)  # the run settles into its wait
            m = Meter(app.pid, self.extra_pids(which))
            time.sleep(WAIT_S)
            r = m.stop()
            window.press("Escape")
        finally:
            app.stop()
            peer.close()
        self.rows.append((which, "waiting %d s for the start" % WAIT_S, r, "-"))

    def paced(self, which, baud, baud_index, size, env=None, label=None):
        path = os.path.join(self.work, "paced-%d.nc" % size)
        program = self.program[:size].rsplit(b"\n", 1)[0] + b"\n%\n"
        with open(path, "wb") as f:
            f.write(program)
        app, folder, link = self.start(which, "%s-%s-%d" % (label or "paced", which, baud),
                                       baud_index, env)
        sender = Ncsend(self.a.ncsend, link, path, "--handshake", "--wait-open", "--timeout",
                        "120", "--baud", str(baud), "--linger-ms", "600000", "--quiet",
                        out=os.path.join(folder, "ncsend.log"))
        try:
            window = Window.of(app, 60, 0.2)
            window.press_until("Return", app, "the program to open COM1", sender.opened)
            m = Meter(app.pid, self.extra_pids(which))
            rx = os.path.join(folder, "Rx.nc")
            app.wait("Rx.nc", lambda: os.path.exists(rx), 600, 0.05)
            r = m.stop()
            sent = sender.said()
            window.press("Return")
        finally:
            sender.stop()
            app.stop()
        got = open(rx, "rb").read()
        want = kelvrx.expected_rx(program)
        if got != want:
            raise Failure("%s at %d baud: Rx.nc differs: %s"
                          % (which, baud, kelvrx.first_difference(got, want)))
        line_s = len(program) * 10 / baud
        stops = len(re.findall(r"^ncsend: DC3 \d+ at", sent, re.M))
        holds = re.search(r"^ncsend: flow: (\d+) DC3", sent, re.M)
        r["kept"] = "%.1f s for %.1f s of line, %s DC3" % (
            r["s"], line_s, holds.group(1) if holds else stops)
        return r, program, folder

    def paced_rows(self, which):
        for baud, index, size in PACED:
            r, _, _ = self.paced(which, baud, index, size)
            self.rows.append((which, "receiving at %d baud (%d kB)" % (baud, size // 1024), r,
                              r["kept"]))

    def calls(self):
        self.wine.import_registry("relay.reg", reg_file(
            [r"[HKEY_CURRENT_USER\Software\Wine\Debug]", '"RelayInclude"="%s"' % ";".join(CALLS)]))
        _, program, folder = self.paced("wine", 38400, kelvrx.BAUD_38400, CALLS_BYTES,
                                        env={"WINEDEBUG": "+relay"}, label="calls")
        with open(os.path.join(folder, "KelvRx.log"), encoding="utf-8", errors="replace") as f:
            trace = f.read()
        counts = {c: len(re.findall(r"Call [\w.]*\.%s\(" % c, trace)) for c in CALLS}
        lines, size = program.count(b"\n"), len(program)
        return [(c, n, n / lines, n / size) for c, n in counts.items() if n]


def table(bench, calls):
    out = ["| Program | What | CPU: program | CPU: Wine's server | wake-ups/s | until Rx.nc, holds |",
           "|---|---|---:|---:|---:|---|"]
    for which, what, r, kept in bench.rows:
        name = "KelvRx.exe (Wine)" if which == "wine" else "KelvRx (Linux)"
        out.append("| %s | %s | %.1f %% | %s | %.0f | %s |" % (
            name, what, r["prog"], "%.1f %%" % r["server"] if which == "wine" else "-",
            r["wakeups"], kept))
    if calls:
        out += ["", "Calls of KelvRx.exe in a %d kB reception at 38400 baud (Wine's relay trace):"
                % (CALLS_BYTES // 1024), "",
                "| Call | count | per line | per byte |", "|---|---:|---:|---:|"]
        out += ["| %s | %d | %.2f | %.3f |" % row for row in calls]
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--linux", required=True)
    ap.add_argument("--ncsend", required=True)
    ap.add_argument("--keep", action="store_true")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="kelv-winbench.")
    try:
        with contextlib.ExitStack() as cleanup:
            x = cleanup.enter_context(XServer(os.path.join(work, "Xvfb.log"), "1024x768x24"))
            bench = Bench(a, work, x)
            cleanup.callback(bench.wine.close)
            for which in ("wine", "linux"):
                print("wine_bench: %s: waiting" % which, file=sys.stderr)
                bench.waiting(which)
                print("wine_bench: %s: paced" % which, file=sys.stderr)
                bench.paced_rows(which)
            print("wine_bench: calls under the relay trace", file=sys.stderr)
            calls = bench.calls()
        print("Windows program under Wine (%s-bit), beside the Linux build; %s"
              % (bench.wine.bits, time.strftime("%Y-%m-%d")))
        print()
        print(table(bench, calls))
    except Failure as e:
        print("wine_bench: FAILED: %s (work folder %s)" % (e, work), file=sys.stderr)
        return 1
    finally:
        if not a.keep and os.path.isdir(work):
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
