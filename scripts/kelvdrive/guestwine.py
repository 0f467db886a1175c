"""The shipped 32-bit KelvRx.exe on a machine whose kernel runs no 32-bit
programs: inside the Linux guest of the real-driver stage (guest.py), whose
kernel does, under Debian's own 32-bit Wine (wine32tree.py, laid over the
guest's /usr), with COM1 mapped to the guest's 16550 at /dev/ttyS1 and nothing
else. This side plays the control on the UART's far end, as guestline.py does.

Each case starts the program in a folder of its own in the guest:
  first_iso  the first start (the window and its title, Kelv.ini written with
             CR LF on close) and a reception of the demo program in ISO:
             byte for byte, CR LF lines, the DC1 answer to DC2
  cut_off    start mode 1, cut off by DC4 then SYN: the log says 途中終了
  brk        a BREAK in the middle of the program
The verdict of each run is read from Rx.log, which holds the same ending the
status line shows; a picture of each finished dialog is kept.

Host side: run(exe, cache, pictures) from the Windows stage. Guest side:
python3 -m kelvdrive.guestwine --in-guest (the job the guest runs).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from . import kelvrx, wine32tree
from .guest import Guest, Telnet, kvm_usable, say
from .guestline import Control, crlf
from .proc import Failure, Program, holds_device, wait_for

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
UART = "/dev/ttyS1"
SYN, DC4 = b"\x16", b"\x14"
STAGE_S = 600  # the guest ends itself by then whatever happens


def demo():
    with open(os.path.join(ROOT, "tools", "sample", "demo.nc"), "rb") as f:
        return f.read()


def cases():
    """name -> (Kelv.ini or None, what the host sends after the handshake as
    a list of byte strings and "break", Rx.nc wanted, the log's ending)."""
    program = demo()
    lines = program.split(b"\n")
    cut = b"\n".join(lines[:12]) + b"\n"
    split = program.index(b" ", len(program) // 2) + 1
    return {
        "first_iso": (None, [program], kelvrx.expected_rx(program), "完了"),
        # Mode 1: DC2 opens the run (the handshake's own DC2), DC4 ends it.
        "cut_off": (kelvrx.settings("COM1", start=1), [cut, DC4 + SYN],
                    kelvrx.expected_rx(cut), "途中終了"),
        # Wine drops the break itself (IGNBRK): the bytes arrive without it.
        "brk": (None, [program[:split], "break", program[split:]],
                kelvrx.expected_rx(program), "完了"),
    }


# ---------------------------------------------------------------- guest side

def log_ending(folder):
    """The ending and line errors of the last line of Rx.log (code page 932,
    tab-separated; lines that start with "#" are comments)."""
    with open(os.path.join(folder, "Rx.log"), "rb") as f:
        rows = [l for l in f.read().decode("cp932").split("\r\n") if l and not l.startswith("#")]
    head, last = rows[0].split("\t"), rows[-1].split("\t")
    row = dict(zip(head, last))
    return row.get("結果", "?"), row.get("回線エラー", "?")


def window_title(env, wid):
    r = subprocess.run(["xdotool", "getwindowname", wid], env=env, capture_output=True)
    return r.stdout.decode("utf-8", "replace").strip()


def put_json(path, value):
    """Whole or not at all: the host reads it as soon as it is there."""
    with open(path + ".part", "w") as f:
        json.dump(value, f)
    os.rename(path + ".part", path)


def guest_case(wine, exe, out, name, ini):
    from .window import Window
    folder = os.path.join("/tmp", name)
    os.mkdir(folder)
    here = os.path.join(folder, "KelvRx.exe")
    shutil.copy(exe, here)
    if ini:
        with open(os.path.join(folder, "Kelv.ini"), "wb") as f:
            f.write(ini)
    result = {}
    t = time.monotonic()
    app = Program([wine.wine, here, "20,20"], folder, wine.env, os.path.join(out, name + ".out"))
    try:
        window = Window.of(app, 120, 0.2)
        result["title"] = window_title(wine.env, window.wid)
        time.sleep(0.5)
        window.screenshot(os.path.join(out, name + "-first.png"))
        window.press_until("Return", app, "the program to open COM1",
                           lambda: holds_device(app.pid, UART), deadline_s=30)
        open(os.path.join(out, name + ".open"), "w").close()
        rx = os.path.join(folder, "Rx.nc")
        app.wait("Rx.nc and its log line", lambda: os.path.exists(rx) and
                 os.path.exists(os.path.join(folder, "Rx.log")), 240, 0.1)
        time.sleep(3)  # the 2 s pause, then the end text
        window.screenshot(os.path.join(out, name + ".png"))
        window.press("Return")
        app.finish("after 閉じる", 60)
        with open(rx, "rb") as f:
            result["rx"] = f.read().hex()
        result["ending"], result["errors"] = log_ending(folder)
        ini_path = os.path.join(folder, "Kelv.ini")
        if os.path.exists(ini_path):
            with open(ini_path, "rb") as f:
                result["ini"] = f.read().hex()
    except Failure as e:
        result["failure"] = str(e)
    finally:
        app.stop()
    result["seconds"] = round(time.monotonic() - t, 1)
    put_json(os.path.join(out, name + ".json"), result)


def in_guest(a):
    from .wine import Wine, port_map
    from .xserver import XServer
    out = a.out
    prefix = "/tmp/prefix"
    fresh = not os.path.exists(a.prefix_tar)
    if not fresh:
        os.mkdir(prefix)
        subprocess.run(["tar", "-xf", a.prefix_tar, "-C", prefix], check=True)
    with XServer(os.path.join(out, "Xvfb.log"), "1024x768x24") as x:
        wine = Wine(prefix, x.display, bits="32")
        # COM1 to the 16550, every other name to nowhere.
        ports = port_map(prefix, COM1=UART)
        t = time.monotonic()
        try:
            wine.set_up(ports)
            put_json(os.path.join(out, "wine.json"), {
                "version": subprocess.run([wine.wine, "--version"], env=wine.env,
                                          capture_output=True, text=True).stdout.strip(),
                "setup_s": round(time.monotonic() - t, 1), "fresh": fresh})
            if fresh:
                wine.serve("-w")
                subprocess.run(["tar", "-cf", os.path.join(out, "prefix.tar"), "-C", prefix, "."],
                               check=True)
            for name, (ini, _, _, _) in cases().items():
                guest_case(wine, a.exe, out, name, ini)
        finally:
            wine.close()
    return 0


# ----------------------------------------------------------------- host side

def run(exe, cache, pictures=None):
    """Runs the cases; returns [(name, ok, text)] and the guest's facts."""
    started = time.monotonic()
    guest = Guest(cache).make()
    say("32-bit Wine for the guest (kept in %s)" % cache)
    tree = wine32tree.ensure(cache)
    prefix_tar = os.path.join(os.path.dirname(tree), "prefix.tar")
    share = tempfile.mkdtemp(prefix="kelvgw")
    job = ("mount -t overlay kelvwine -o lowerdir=%s:/usr /usr || exit 90\n"
           "export HOME=/tmp/home PYTHONPATH=%s LANG=C.UTF-8\nmkdir -p $HOME\n"
           "exec /usr/bin/python3 -u -m kelvdrive.guestwine --in-guest --exe %s "
           "--prefix-tar %s --out /run/out\n"
           % (tree, os.path.join(ROOT, "scripts"), os.path.abspath(exe), prefix_tar))
    # Emulated, the processor "max" gets 32-bit Wine killed by the guest's
    # kernel (a fault on its return from a call); the plain 64-bit one serves.
    g = guest.boot(job, share, ["-m", "2048"] + ([] if kvm_usable() else ["-cpu", "qemu64"]))
    say("booted with %s" % ("KVM" if g.kvm else "no KVM: emulated"))
    results = []
    try:
        line = Telnet(g.path("s1"))
        end = started + STAGE_S
        for name, (_, sends, want, ending) in cases().items():
            c = Control(line, share, name)
            wait_for("the guest to open COM1 for %s" % name,
                     lambda: g._check() and (line.read(0.05) is not None) and
                     (os.path.exists(os.path.join(share, name + ".open")) or
                      os.path.exists(os.path.join(share, name + ".json"))),
                     max(1, end - time.monotonic()), 0)
            if os.path.exists(os.path.join(share, name + ".json")):
                results.append(verdict(name, share, want, ending))
                continue
            c.handshake(120)
            for part in sends:
                if part == "break":
                    c.drained()
                    # Wine sees a break only through an event wait that was
                    # pending when it came: give the watcher time to wait again.
                    time.sleep(1.0)
                    line.brk()
                else:
                    c.send(part)
            wait_for("the guest's case %s" % name,
                     lambda: line.read(0.05) is not None and
                     os.path.exists(os.path.join(share, name + ".json")),
                     max(1, end - time.monotonic()), 0)
            results.append(verdict(name, share, want, ending))
        status = g.finish(max(1, end - time.monotonic()))
        if status:
            results.append(("guest", False, "the guest's job ended with status %d" % status))
    except Failure as e:
        results.append(("guest", False, "stopped: %s\n%s" % (e, g.said())))
    finally:
        g.stop()
    facts = {}
    if os.path.exists(os.path.join(share, "wine.json")):
        with open(os.path.join(share, "wine.json")) as f:
            facts = json.load(f)
    if os.path.exists(os.path.join(share, "prefix.tar")):
        shutil.move(os.path.join(share, "prefix.tar"), prefix_tar + ".new")
        os.replace(prefix_tar + ".new", prefix_tar)
    if pictures:
        for n in os.listdir(share):
            if n.endswith(".png"):
                shutil.copy(os.path.join(share, n), os.path.join(pictures, "guest-" + n))
    facts["seconds"] = round(time.monotonic() - started)
    facts["kvm"] = g.kvm
    if all(ok for _, ok, _ in results):
        shutil.rmtree(share, ignore_errors=True)
    else:
        facts["kept"] = share
    return results, facts


def verdict(name, share, want, ending):
    """(name, ok, text) of a case the guest ended; the control's DC2 was
    answered with DC1 already, or the handshake would have failed."""
    with open(os.path.join(share, name + ".json")) as f:
        r = json.load(f)
    if "failure" in r:
        return name, False, r["failure"]
    got = bytes.fromhex(r.get("rx", ""))
    wrong = []
    if name == "first_iso":
        if r.get("title") != "データ受信":
            wrong.append("window title %r" % r.get("title"))
        if bytes.fromhex(r.get("ini", "")) != kelvrx.saved_settings():
            wrong.append("Kelv.ini after the close is not the 22 CR LF lines")
    if want is not None and got != want:
        wrong.append("Rx.nc differs (%s)" % kelvrx.first_difference(got, want))
    if name == "brk" and "ブレーク" not in r["errors"]:
        wrong.append("the line errors in Rx.log (%s) name no break" % r["errors"])
    if ending is not None and r["ending"] != ending:
        wrong.append("Rx.log says %s, not %s" % (r["ending"], ending))
    text = "; ".join(wrong) or "Rx.log: %s, line errors %s; %d bytes; %s s" % (
        r["ending"], r["errors"], len(got), r.get("seconds"))
    return name, not wrong, text


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--in-guest", action="store_true")
    ap.add_argument("--exe", required=True)
    ap.add_argument("--prefix-tar")
    ap.add_argument("--out")
    ap.add_argument("--cache", default=os.path.join(ROOT, "build-guest"))
    a = ap.parse_args()
    if a.in_guest:
        return in_guest(a)
    results, facts = run(a.exe, a.cache, os.getcwd())
    for name, ok, text in results:
        print("%-10s %s %s" % (name, "ok  " if ok else "FAIL", text))
    print(facts)
    return 0 if all(ok for _, ok, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main())
