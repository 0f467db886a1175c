#!/usr/bin/env python3
"""Benchmarks of the built KelvRx, driven from outside on a virtual X server.

Prints one Markdown table; every figure comes from this one run. Each launch of
the program runs in a fresh folder whose Kelv.ini maps COM1 to a
pseudo-terminal, and is started with Enter through xdotool:

  flat    ncsend sends a generated 10 MB program flat out, once ignoring DC3
          (only the pty's buffer holds it back) and once honouring DC3/DC1;
          beside it, cat reads the same program from the same kind of pty
          from the same sender. Receive rates, byte-exact checks, peak memory.
  probe   this script plays the control itself: CPU of the idle dialog and of
          the run waiting for its start marker (beside a bare loop of 5 ms
          sleeps, bench/sleep_floor.cpp), DC1 answer latency to DC2s, then a
          program paced at 38400 baud during which the user-interface thread
          is stalled until more than 900 bytes wait: first processed pass ->
          DC3 -> DC1. The preloaded helper bench/stall_shim.cpp makes the
          stalls and notes the passes and the program's DC1/DC3 writes, which
          time these answers.
  paced   ncsend sends a program paced at 38400 baud 7E1: CPU while receiving,
          of the user-interface thread and of the others.
  callgrind  the program under valgrind's callgrind, counted from the start
          click to the end of the run (all threads): instructions per byte of
          a 1 MB program flat out and of a 20 kB program at 38400 baud, and
          per second of waiting for the start marker (a short and a long wait).

Usage: bench.py --build DIR [--megabytes N] [--callgrind-megabytes N] [--only STEP] [--keep]
"""

import argparse
import math
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from kelvdrive import kelvrx, line as lines  # noqa: E402
from kelvdrive.proc import Failure, holds_device, stop, wait_for  # noqa: E402
from kelvdrive.window import Window  # noqa: E402
from kelvdrive.xserver import XServer  # noqa: E402

DC1, DC2, DC3 = 0x11, 0x12, 0x13
TICK = os.sysconf("SC_CLK_TCK")
CPS_38400 = 3840  # 38400 baud, 7E1: 10 bits a character
STALL_MS = 400  # at 3840 cps about 1500 bytes arrive meanwhile
STALLS = 5
DC2_PROBES = 300
STEPS = ("flat", "probe", "paced", "callgrind")


def now():
    return time.monotonic()


def median(xs):
    return statistics.median(xs)


def percentile(xs, p):
    s = sorted(xs)
    return s[max(0, math.ceil(p / 100 * len(s)) - 1)]


# ---- The program under test -------------------------------------------------


def trimmed(line):
    return line.strip(bytes(range(0x21)))


def expected_rx(stream):
    """Rx.nc for an ISO stream of mode 0 ("%" .. "%", LF line ends)."""
    start = stream.index(b"%")
    end = stream.index(b"%", start + 1)
    lines = stream[start:end].split(b"\n")
    lines[-1] += b"%"  # the end marker joins the line it arrives in
    return b"".join(trimmed(l.replace(b"\r", b"")) + b"\r\n" for l in lines)


def generate_program(path, size, seed=1):
    """A milling-like program of `size` bytes or a little more, "%" .. "%"."""
    r = random.Random(seed)
    lines = ["%", "O2002 (BENCHMARK PROGRAM)", "G90 G17 G21 G40 G49 G80", "T1 M06", "S8000 M03"]
    total = sum(len(l) + 1 for l in lines)
    n = 1
    while total < size:
        l = "N%d G01 X%.3f Y%.3f Z%.3f F%d" % (
            n, r.uniform(-200, 200), r.uniform(-150, 150), r.uniform(-30, 5),
            r.choice([300, 600, 1200, 2400]))
        lines.append(l)
        total += len(l) + 1
        n += 1
    lines += ["M05", "M30", "%"]
    data = ("\n".join(lines) + "\n").encode()
    with open(path, "wb") as f:
        f.write(data)
    return data


class Program:
    """One launch of KelvRx in a folder of its own."""

    def __init__(self, bench, name, preload=None, extra_env=None, wrapper=()):
        self.bench = bench
        self.wrapper = list(wrapper)
        self.folder = os.path.join(bench.work, name)
        self.link = os.path.join(self.folder, "ttyNC")
        self.rx = os.path.join(self.folder, "Rx.nc")
        self.exe = kelvrx.install(bench.kelvrx, self.folder,
                                  kelvrx.settings(self.link, baud=kelvrx.BAUD_38400))
        self.env = dict(extra_env or {})
        if preload:
            self.env["LD_PRELOAD"] = preload
        self.program = self.proc = self.window = None

    def launch(self, attempts=3):
        """Starts the program; returns the seconds until its window is mapped.
        A program that could not reach the X server (it happens on a busy
        machine) is started again."""
        for attempt in range(attempts):
            t0 = now()
            self.program = kelvrx.start(self.exe, self.bench.x, self.folder, ["20,20"],
                                        self.wrapper, self.env)
            self.proc = self.program.proc
            self.bench.procs.append(self.proc)
            if self not in self.bench.programs:
                self.bench.programs.append(self)
            try:
                # Polled every 10 ms: `xdotool search --sync` looks only every half second.
                self.window = Window.of(self.program, 600 if self.wrapper else 60,
                                        0.25 if self.wrapper else 0.01)
                return now() - t0
            except Failure:
                if self.program.alive() or attempt + 1 == attempts:
                    raise
            print("bench: %s ended without a window; again" % self.exe, file=sys.stderr,
                  flush=True)
            time.sleep(1)

    def press_enter(self):
        self.window.press("Return")

    def start_run(self, device):
        """Enter, until the run has opened the line."""
        self.window.press_until("Return", self.program, "the run to open the line",
                                lambda: holds_device(self.proc.pid, device))
        return now()

    def cpu_seconds(self):
        """User + system time of all threads, from /proc/<pid>/stat."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK

    def cpu_percent(self, seconds):
        return self.cpu_and_wakeups(seconds)[0]

    def switches(self):
        """Context switches of all threads so far: each is one wake-up."""
        total = 0
        task = "/proc/%d/task" % self.proc.pid
        for tid in os.listdir(task):
            try:
                with open(os.path.join(task, tid, "status")) as f:
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                            total += int(line.split()[1])
            except FileNotFoundError:
                pass  # a thread that ended meanwhile
        return total

    def cpu_and_wakeups(self, seconds):
        """Per cent of one core, and wake-ups per second, over `seconds`."""
        c0, w0, t0 = self.cpu_seconds(), self.switches(), now()
        time.sleep(seconds)
        c1, w1, t1 = self.cpu_seconds(), self.switches(), now()
        return 100 * (c1 - c0) / (t1 - t0), (w1 - w0) / (t1 - t0)

    def ui_thread_seconds(self):
        """User + system time of the main (user-interface) thread."""
        with open("/proc/%d/task/%d/stat" % (self.proc.pid, self.proc.pid)) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK

    def vm_hwm_mb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        raise Failure("no VmHWM")

    def wait_rx(self, deadline_s):
        self.program.wait("Rx.nc", lambda: os.path.exists(self.rx), deadline_s, 0.01)
        return now()

    def close(self):
        self.press_enter()  # 閉じる
        self.program.finish("after 閉じる")

    def check_rx(self, stream):
        with open(self.rx, "rb") as f:
            return f.read() == expected_rx(stream)


# ---- The control's side ---------------------------------------------------------


class Ncsend(lines.Ncsend):
    SENT = re.compile(r"sent (\d+) characters, (\d+) lines in ([\d.]+) s")
    FLOW = re.compile(r"flow: (\d+) DC3, (\d+) DC1")

    def __init__(self, bench, link, program, *options):
        super().__init__(bench.ncsend, link, program, *options, out=link + ".ncsend")
        bench.procs.append(self.proc)

    def report(self, stop_it=True):
        if stop_it:
            self.stop()
        else:
            self.finish()
        text = self.said()
        m = self.SENT.search(text)
        if not m:
            raise Failure("ncsend did not send it all:\n" + text)
        flow = self.FLOW.search(text)
        pauses = [float(x) for x in re.findall(r"resumed by DC1 after ([\d.]+) s", text)]
        return {"bytes": int(m.group(1)), "seconds": float(m.group(3)),
                "dc3": int(flow.group(1)) if flow else 0, "dc1": int(flow.group(2)) if flow else 0,
                "stops": text.count("\nncsend: DC3 "), "not_resumed": text.count("not resumed"),
                "max_pause_s": max(pauses) if pauses else 0.0}


class PeerLine(lines.PtyPeer):
    """The far end played here, noting when each byte came back."""

    def __init__(self, link):
        super().__init__(link)
        self.events = []  # (time, byte) of what came back

    def read(self, timeout):
        data = super().read(timeout)
        t = now()
        self.events.extend((t, b) for b in data)
        return data


# ---- The runs ---------------------------------------------------------------------


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.kelvrx = os.path.join(self.build, "app", "KelvRx")
        self.ncsend = os.path.join(self.build, "tools", "ncsend")
        self.shim = os.path.join(self.build, "bench", "libkelvstall.so")
        self.floor = os.path.join(self.build, "bench", "kelvsleepfloor")
        for f in (self.kelvrx, self.ncsend, self.shim, self.floor):
            if not os.path.exists(f):
                raise Failure("missing %s (bench/run.sh builds it)" % f)
        self.megabytes = args.megabytes
        self.cg_megabytes = args.callgrind_megabytes
        self.work = tempfile.mkdtemp(prefix="kelv-bench-")
        self.procs = []
        self.programs = []
        self.x = XServer(os.path.join(self.work, "x.log"))
        self.results = {}
        self.window_s = []

    def diagnose(self):
        """After a failure: the screen and what each thread of a running program
        waits in, into the work folder."""
        subprocess.run(["import", "-window", "root", os.path.join(self.work, "screen.png")],
                       env=self.x.env(), capture_output=True, timeout=30)
        for app in self.programs:
            if app.proc.poll() is not None:
                continue
            lines = []
            task_dir = "/proc/%d/task" % app.proc.pid
            for tid in sorted(os.listdir(task_dir)):
                info = []
                for name in ("comm", "wchan", "syscall", "stack"):
                    try:
                        with open(os.path.join(task_dir, tid, name)) as f:
                            info.append("%s: %s" % (name, f.read().strip()))
                    except OSError:
                        pass
                lines.append("thread %s\n  %s" % (tid, "\n  ".join(info)))
            with open(os.path.join(app.folder, "threads.txt"), "w") as f:
                f.write("\n".join(lines) + "\n")

    def close(self):
        for p in reversed(self.procs):
            stop(p)
        self.x.close()

    def dump(self, program):
        return subprocess.run([self.ncsend, "--dump", program], check=True,
                              capture_output=True).stdout

    # flat: throughput, byte-exact, peak memory
    def run_flat(self):
        program = os.path.join(self.work, "big.nc")
        generate_program(program, int(self.megabytes * 1000 * 1000))
        stream = self.dump(program)

        cat_rates = []
        cat_exact = True
        # cat takes the 10 MB in a tenth of a second, so its start-up shows: the
        # median of five.
        for i in range(5):
            link = os.path.join(self.work, "cat%d-tty" % i)
            out_path = os.path.join(self.work, "cat%d.out" % i)
            sender = Ncsend(self, link, program, "--flat-out", "--chunk", "4096", "--timeout",
                            "30", "--linger-ms", "5000", "--quiet")
            with open(out_path, "wb") as out:
                cat = subprocess.Popen(["cat", link], stdin=subprocess.DEVNULL, stdout=out)
                self.procs.append(cat)
                wait_for("cat to read it all",
                         lambda: os.path.getsize(out_path) >= len(stream), 120, 0.002)
                stop(cat)
            r = sender.report()
            cat_rates.append(r["bytes"] / r["seconds"] / 1e6)
            with open(out_path, "rb") as f:
                cat_exact = cat_exact and f.read() == stream
            os.unlink(out_path)

        # The far end ignoring DC3: only the pty's buffer holds it back.
        app = Program(self, "flat")
        sender = Ncsend(self, app.link, program, "--handshake", "--ignore-dc3", "--flat-out",
                        "--chunk", "4096", "--timeout", "60", "--linger-ms", "3000", "--quiet")
        self.window_s.append(app.launch())
        rss_start = app.vm_hwm_mb()
        app.start_run(sender.device)
        cpu0 = app.cpu_seconds()
        app.wait_rx(1200)
        cpu = app.cpu_seconds() - cpu0
        rss_peak = app.vm_hwm_mb()
        r = sender.report(stop_it=False)
        exact = app.check_rx(stream)
        app.close()
        rate = r["bytes"] / r["seconds"] / 1e6
        self.results.update(
            rx_rate=rate, cat_rate=median(cat_rates), cat_rates=cat_rates,
            rx_exact=exact, cat_exact=cat_exact, flat_dc3=r["dc3"], flat_dc1=r["dc1"],
            flat_bytes=r["bytes"], flat_cpu_us_per_byte=1e6 * cpu / r["bytes"],
            flat_seconds=r["seconds"], rss_start=rss_start, rss_peak=rss_peak)

        # The far end honouring DC3 and waiting for the DC1 (or asking again
        # with DC2 after 300 ms, which would show as a long pause).
        app = Program(self, "flat-flow")
        sender = Ncsend(self, app.link, program, "--handshake", "--flat-out", "--chunk", "4096",
                        "--timeout", "60", "--linger-ms", "3000", "--quiet")
        app.launch()
        app.start_run(sender.device)
        app.wait_rx(1200)
        r = sender.report(stop_it=False)
        exact = app.check_rx(stream)
        app.close()
        self.results.update(
            flow_rate=r["bytes"] / r["seconds"] / 1e6, flow_exact=exact, flow_dc3=r["dc3"],
            flow_dc1=r["dc1"], flow_stops=r["stops"], flow_not_resumed=r["not_resumed"],
            flow_max_pause_ms=1000 * r["max_pause_s"])

    # probe: idle and waiting CPU, DC1 latency, stall
    def run_probe(self):
        stall_log = os.path.join(self.work, "stall.log")
        app = Program(self, "probe", preload=self.shim,
                      extra_env={"KELV_STALL_LOG": stall_log, "KELV_STALL_MS": str(STALL_MS)})
        line = PeerLine(app.link)
        try:
            self.window_s.append(app.launch())
            time.sleep(0.5)
            self.results["cpu_idle"] = app.cpu_percent(5)
            app.start_run(line.device)
            time.sleep(0.5)
            self.results["cpu_waiting"], self.results["wakeups_waiting"] = \
                app.cpu_and_wakeups(10)
            self.results["cpu_floor"] = self.sleep_floor(10)
            line.read(0.05)

            # DC2s at random moments of the 5 ms polling period; each answer is
            # timed by the program's own write of the DC1 (noted by the helper).
            probes = []
            rng = random.Random(2)
            for _ in range(DC2_PROBES):
                line.events.clear()
                t0 = now()
                line.write(bytes([DC2]))
                end = t0 + 2
                while now() < end:
                    if DC1 in line.read(end - now()):
                        probes.append(t0)
                        break
                time.sleep(rng.uniform(0.001, 0.009))

            line.events.clear()
            body = generate_program(os.path.join(self.work, "probe-body.nc"), 60000, seed=3)
            body = body[body.index(b"\n") + 1:body.rindex(b"%")]  # without the "%" lines
            stream = b"%\n" + body + b"%\n"
            marks = self.send_paced_with_stalls(app, line, stream)
            app.wait_rx(60)
            exact = app.check_rx(stream)
            app.close()
        finally:
            line.close()
        self.results["probe_exact"] = exact
        log = self.read_stall_log(stall_log)
        latencies = [next(t for t in log["dc1"] if t >= t0) - t0 for t0 in probes]
        self.results["dc1_answered"] = len(latencies)
        self.results["dc1_median_ms"] = 1000 * median(latencies)
        self.results["dc1_p99_ms"] = 1000 * percentile(latencies, 99)
        self.results["dc1_max_ms"] = 1000 * max(latencies)
        self.evaluate_stalls(log, marks)

    def sleep_floor(self, seconds):
        """CPU of a bare loop of 5 ms sleeps over `seconds`, per cent of one core."""
        proc = subprocess.Popen([self.floor, str(seconds)])
        self.procs.append(proc)
        time.sleep(0.2)
        with open("/proc/%d/stat" % proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        c0, t0 = (int(fields[11]) + int(fields[12])) / TICK, now()
        time.sleep(seconds - 0.5)
        with open("/proc/%d/stat" % proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        c1, t1 = (int(fields[11]) + int(fields[12])) / TICK, now()
        proc.wait(timeout=30)
        return 100 * (c1 - c0) / (t1 - t0)

    def send_paced_with_stalls(self, app, line, stream):
        """Sends stream at 38400 baud pace, honouring DC3/DC1, and stalls the
        program's user-interface thread STALLS times while the line flows."""
        pos = 0
        stopped = False
        base = now()
        since_base = 0
        flowing_since = base
        marks = []  # (time, characters sent by then) at each stall signal and DC3
        seen = 0
        while pos < len(stream):
            t = now()
            if not stopped:
                due = int((t - base) * CPS_38400) + 1 - since_base
                if due > 0:
                    n = line.write(stream[pos:pos + min(due, 64)])
                    pos += n
                    since_base += n
                stalls = [m for m in marks if m[0] == "stall"]
                if (len(stalls) < STALLS and t - flowing_since >= 1.0 and
                        (not stalls or t - stalls[-1][1] >= 1.5)):
                    marks.append(("stall", now(), pos))
                    os.kill(app.proc.pid, signal.SIGUSR1)
            line.read(0.001 if not stopped else 0.5)
            for tb, b in line.events[seen:]:
                if b == DC3:
                    if not stopped:
                        marks.append(("dc3", tb, pos))
                    stopped = True
                elif b == DC1 and stopped:
                    stopped = False
                    base = flowing_since = tb
                    since_base = 0
            seen = len(line.events)
            if stopped and now() - line.events[-1][0] > 10:
                raise Failure("no DC1 within 10 s after a DC3")
        # What the program still answers while it reads the rest.
        end = now() + 3
        while now() < end:
            line.read(end - now())
        return marks

    @staticmethod
    def read_stall_log(path):
        log = {"stall": [], "pass": [], "dc1": [], "dc3": []}
        with open(path) as f:
            for entry in (l.split() for l in f if l.strip()):
                times = [int(x) / 1e9 for x in entry[1:]]
                log[entry[0]].append(times if entry[0] == "stall" else times[0])
        return log

    def evaluate_stalls(self, log, marks):
        """From the program's side: its first pass after each stall, its DC3 and
        the DC1 that follows."""
        passes = log["pass"]
        to_dc3, to_dc1, queued = [], [], []
        signals = [m for m in marks if m[0] == "stall"]
        holds = [m for m in marks if m[0] == "dc3"]
        for begin, end in log["stall"]:
            first_pass = next((p for p in passes if p >= end - 1e-6), None)
            dc3 = next((t for t in log["dc3"] if t >= begin), None)
            if first_pass is None or dc3 is None:
                continue
            dc1 = next((t for t in log["dc1"] if t >= dc3), None)
            if dc1 is None:
                continue
            to_dc3.append(dc3 - first_pass)
            to_dc1.append(dc1 - dc3)
            # Sent from the stall signal until the sender saw the DC3.
            sent = next((m[2] for m in signals if m[1] <= begin + 0.05 and m[1] >= begin - 0.5),
                        None)
            held = next((m[2] for m in holds if m[1] >= dc3 - 1e-6), None)
            if sent is not None and held is not None:
                queued.append(held - sent)
        if not to_dc3:
            raise Failure("no stall gave a DC3 and a DC1")
        self.results.update(stalls=len(to_dc3), pass_to_dc3_ms=1000 * median(to_dc3),
                            pass_to_dc3_max_ms=1000 * max(to_dc3),
                            dc3_to_dc1_ms=1000 * median(to_dc1),
                            dc3_to_dc1_max_ms=1000 * max(to_dc1),
                            stall_queued=median(queued) if queued else float("nan"))

    # paced: CPU while receiving at 38400 baud
    def run_paced(self):
        program = os.path.join(self.work, "paced.nc")
        generate_program(program, 60000, seed=4)  # about 15.6 s at 3840 cps
        stream = self.dump(program)
        app = Program(self, "paced")
        sender = Ncsend(self, app.link, program, "--handshake", "--baud", "38400", "--frame",
                        "7E1", "--timeout", "60", "--linger-ms", "3000", "--quiet")
        self.window_s.append(app.launch())
        opened = app.start_run(sender.device)
        time.sleep(max(0.0, opened + 1.5 - now()))
        u0, c0, w0, t0 = app.ui_thread_seconds(), app.cpu_seconds(), app.switches(), now()
        time.sleep(10)
        u1, c1, w1, window_end = (app.ui_thread_seconds(), app.cpu_seconds(), app.switches(),
                                  now())
        cpu = 100 * (c1 - c0) / (window_end - t0)
        cpu_ui = 100 * (u1 - u0) / (window_end - t0)
        rx_at = app.wait_rx(120)
        r = sender.report(stop_it=False)
        exact = app.check_rx(stream)
        app.close()
        # Rx.nc comes 2 s after the last character; the window must lie before it.
        if window_end > rx_at - 2.0:
            raise Failure("the paced program ended inside the CPU window")
        self.results.update(cpu_paced=cpu, cpu_paced_ui=cpu_ui, paced_exact=exact,
                            wakeups_paced=(w1 - w0) / (window_end - t0),
                            paced_cps=r["bytes"] / r["seconds"])

    # callgrind: instructions counted by valgrind, which do not move with the
    # machine's load. Each launch is zeroed when the run starts and dumped when
    # it returns, so start-up and the window are not counted; every thread is.
    def callgrind_receive(self, name, program, stream, *sender_args):
        """One receive of `program` under callgrind from a sender that waits for
        DC1: the instructions counted, the sender's report, whether Rx.nc is
        `stream`."""
        app, dump = self.callgrind_program(name)
        sender = Ncsend(self, app.link, program, "--handshake", *sender_args, "--timeout", "600",
                        "--linger-ms", "3000", "--quiet")
        app.launch()
        app.start_run(sender.device)
        wait_for("the run %s under callgrind" % name, lambda: os.path.exists(dump), 1800, 0.1)
        r = sender.report(stop_it=False)
        exact = app.check_rx(stream)
        app.close()
        total, _ = self.read_callgrind(dump)
        return total, r, exact

    def callgrind_program(self, name):
        out = os.path.join(self.work, name + ".cg")
        wrapper = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                   "--zero-before=TRXDlg::RunReception()",
                   "--dump-after=TRXDlg::RunReception()"]
        return Program(self, name, wrapper=wrapper), out + ".1"

    @staticmethod
    def read_callgrind(path):
        """Total instructions of a dump, and the calls made to each function."""
        names, calls, total, callee = {}, {}, None, None
        with open(path, errors="replace") as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    total = int(line.split()[1])
                m = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
                if m:
                    if m.group(2):
                        names[m.group(1)] = m.group(2).strip()
                    callee = m.group(1) if line.startswith("cfn=") else None
                elif line.startswith("calls=") and callee is not None:
                    n = names.get(callee, callee)
                    calls[n] = calls.get(n, 0) + int(line.split("=")[1].split()[0])
                    callee = None
        if total is None:
            raise Failure("no totals in " + path)
        return total, calls

    def run_callgrind(self):
        # Flat out, the sender ignoring DC3 (it stops only when the pty is full).
        program = os.path.join(self.work, "cg-flat.nc")
        generate_program(program, int(self.cg_megabytes * 1000 * 1000), seed=5)
        stream = self.dump(program)
        total, r, exact = self.callgrind_receive(
            "cg-flat", program, stream, "--flat-out", "--chunk", "4096", "--ignore-dc3")
        self.results.update(cg_flat_ir=total / r["bytes"], cg_flat_exact=exact)

        # Paced at 38400 baud, 7E1 (valgrind slows the program some 50 times:
        # where it cannot keep up, the flow control holds the sender).
        program = os.path.join(self.work, "cg-paced.nc")
        generate_program(program, 20000, seed=6)
        stream = self.dump(program)
        total, r, exact = self.callgrind_receive(
            "cg-paced", program, stream, "--baud", "38400", "--frame", "7E1")
        self.results.update(cg_paced_ir=total / r["bytes"], cg_paced_exact=exact,
                            cg_paced_dc3=r["dc3"])

        # Waiting for the start marker, then Cancel, twice: the difference
        # between a short and a long wait is what waiting itself costs.
        short = self.callgrind_wait("cg-wait-short", 2)
        long = self.callgrind_wait("cg-wait-long", 7)
        self.results.update(cg_idle_ir_s=max(0, long[0] - short[0]) / 5,
                            cg_idle_passes_s=max(0, long[1] - short[1]) / 5)

    def callgrind_wait(self, name, seconds):
        """Instructions and idle waits of a run that waits `seconds` for its
        start marker and is cancelled, from the start click to its end."""
        app, dump = self.callgrind_program(name)
        line = PeerLine(app.link)
        try:
            app.launch()
            app.start_run(line.device)
            time.sleep(seconds)
            app.press_enter()  # キャンセル
            wait_for("the cancelled run under callgrind", lambda: os.path.exists(dump), 600, 0.1)
            app.close()
        finally:
            line.close()
        total, calls = self.read_callgrind(dump)
        return total, calls.get("kelv::winsys::WaitForEvents(int)", 0)

    def table(self):
        r = self.results
        ok = lambda b: "byte-exact" if b else "**DIFFERS**"
        w = sorted(self.window_s)
        rows = [
            ("Receive rate, %g MB program flat out through a pty, far end ignoring DC3"
             % self.megabytes,
             "%.2f MB/s (%s)" % (r["rx_rate"], ok(r["rx_exact"])),
             "`cat` on the same kind of pty from the same sender: %.1f MB/s (%s, median of %d)"
             % (r["cat_rate"], ok(r["cat_exact"]), len(r["cat_rates"])),
             "ratio %.2f %%; %d DC3 and %d DC1 on the line (%.1f kB per resume);"
             " %.2f µs CPU per byte" % (100 * r["rx_rate"] / r["cat_rate"], r["flat_dc3"],
                                       r["flat_dc1"], r["flat_bytes"] / max(r["flat_dc1"], 1)
                                       / 1000, r["flat_cpu_us_per_byte"])),
            ("... far end honouring DC3/DC1", "%.2f MB/s (%s)" % (r["flow_rate"],
                                                                   ok(r["flow_exact"])),
             "ratio to `cat` %.2f %%" % (100 * r["flow_rate"] / r["cat_rate"]),
             "%d DC3, %d DC1 on the line; %d stops, %d not resumed by a DC1, longest %.1f ms"
             % (r["flow_dc3"], r["flow_dc1"], r["flow_stops"], r["flow_not_resumed"],
                r["flow_max_pause_ms"])),
            ("Instructions per received byte (callgrind, all threads, from the start"
             " click to the end of the run)",
             "flat out %.0f; at 38400 baud %.0f" % (r["cg_flat_ir"], r["cg_paced_ir"]),
             "waiting for the start marker: %.0f instructions per second (%.1f passes per"
             " second)" % (r["cg_idle_ir_s"], r["cg_idle_passes_s"]),
             "%g MB flat out, far end ignoring DC3 (%s); 20 kB paced 7E1 (%s, %d DC3)"
             % (self.cg_megabytes, ok(r["cg_flat_exact"]), ok(r["cg_paced_exact"]),
                r["cg_paced_dc3"])),
            ("CPU while waiting for the start marker (10 s)", "%.2f %% of one core"
             % r["cpu_waiting"], "idle dialog before the start: %.2f %%" % r["cpu_idle"],
             "a bare loop of 5 ms sleeps on this machine: %.2f %%" % r["cpu_floor"]),
            ("Wake-ups while waiting for the start marker (context switches of all threads)",
             "%.1f per second" % r["wakeups_waiting"], "", ""),
            ("CPU while receiving at 38400 baud, 7E1 (10 s)", "%.2f %% of one core"
             % r["cpu_paced"], "line rate %.0f characters/s (%s)"
             % (r["paced_cps"], ok(r["paced_exact"])),
             "user-interface thread %.1f %%, the serial threads %.1f %%; %.0f wake-ups per"
             " second" % (r["cpu_paced_ui"], r["cpu_paced"] - r["cpu_paced_ui"],
                          r["wakeups_paced"])),
            ("DC1 answer to a DC2 (%d DC2s)" % DC2_PROBES,
             "median %.2f ms, p99 %.2f ms" % (r["dc1_median_ms"], r["dc1_p99_ms"]),
             "one character: 1.15 ms at 9600 7E2, 0.26 ms at 38400 7E1",
             "%d answered, max %.2f ms" % (r["dc1_answered"], r["dc1_max_ms"])),
            ("%d ms UI stall at 38400 baud (%.0f bytes arrive): first processed pass -> DC3"
             % (STALL_MS, r["stall_queued"]),
             "median %.2f ms" % r["pass_to_dc3_ms"], "",
             "%d stalls, max %.2f ms" % (r["stalls"], r["pass_to_dc3_max_ms"])),
            ("... DC3 -> the DC1 that resumes the line", "median %.2f ms" % r["dc3_to_dc1_ms"],
             "", "max %.2f ms (%s)" % (r["dc3_to_dc1_max_ms"], ok(r["probe_exact"]))),
            ("Peak memory (VmHWM), %g MB program" % self.megabytes, "%.1f MB" % r["rss_peak"],
             "at the window: %.1f MB" % r["rss_start"], ""),
            ("Start to a visible window", "median %.0f ms" % (1000 * median(w)),
             "", "%d launches: %s ms" % (len(w), ", ".join("%.0f" % (1000 * x) for x in w))),
        ]
        out = ["| Figure | KelvRx | Side by side | Notes |", "|---|---|---|---|"]
        out += ["| %s |" % " | ".join(row) for row in rows]
        return "\n".join(out)


def machine():
    def run(*cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True).stdout.strip()
        except OSError:
            return "?"
    model = next((l.split(":", 1)[1].strip() for l in run("lscpu").splitlines()
                  if l.startswith("Model name")), "?")
    mem = next((l.split()[1] for l in open("/proc/meminfo") if l.startswith("MemTotal")), "0")
    load = open("/proc/loadavg").read().split()[:3]
    return ["- CPU: %s, `nproc` %s" % (model, run("nproc")),
            "- memory: %.1f GiB" % (int(mem) / 1024 / 1024),
            "- kernel %s; load average at the start %s" % (run("uname", "-r"), " ".join(load))]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", required=True)
    ap.add_argument("--megabytes", type=float, default=10)
    ap.add_argument("--callgrind-megabytes", type=float, default=1,
                    help="size of the flat-out program under callgrind (1)")
    ap.add_argument("--only", choices=STEPS, action="append",
                    help="run only this step (repeatable); prints the raw figures")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    where = machine()
    bench = Bench(args)
    try:
        for name in args.only or STEPS:
            print("bench: %s ..." % name, file=sys.stderr, flush=True)
            getattr(bench, "run_" + name)()
        if args.only:
            for k, v in sorted(bench.results.items()):
                print("%s: %s" % (k, v))
            return 0
        print(bench.table())
        print()
        print("\n".join(where))
    except Failure as e:
        bench.diagnose()
        print("bench: %s (work folder %s)" % (e, bench.work), file=sys.stderr)
        args.keep = True
        return 1
    finally:
        bench.close()
        if not args.keep:
            shutil.rmtree(bench.work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
