#!/usr/bin/env python3
"""The first run on a machine without a display, as a new user meets it.

- ./run.sh says in one line that there is no display and which command works,
  and exits non-zero before it installs or builds anything.
- scripts/demo.sh (what ./run.sh --demo calls after building) runs the whole
  demo by itself: Rx.nc is the sample byte for byte with CR LF line ends, and
  the finished dialog is saved as a picture.
- When the program cannot come up, the demo says so and ends non-zero without
  waiting out the line simulator.

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb, xdotool or import).
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

SKIP = 77
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SAMPLE = os.path.join(ROOT, "tools", "sample", "demo.nc")


def headless_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(extra)
    return env


def run(cmd, env, deadline_s):
    try:
        r = subprocess.run(cmd, cwd=ROOT, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=deadline_s)
    except subprocess.TimeoutExpired:
        return None, "", "still running after %d s" % deadline_s
    return r.returncode, r.stdout, r.stderr


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def check_run_sh(args, work):
    root = os.path.join(work, "bld")
    status, out, err = run(["./run.sh"], headless_env(KELV_BUILD_ROOT=root), 30)
    problems = []
    if status in (0, None):
        problems.append("exit status %s" % status)
    if len(err.splitlines()) != 1 or out:
        problems.append("not one line on stderr alone")
    if "./run.sh --demo" not in err:
        problems.append("no working command named")
    if os.path.exists(root):
        problems.append("built before saying so")
    return problems, err.strip()


def check_demo(args, work):
    demo = os.path.join(work, "demo")
    status, out, err = run(["scripts/demo.sh", args.build],
                           headless_env(DEMO_DIR=demo), 300)
    problems = []
    if status != 0:
        problems.append("exit status %s" % status)
    with open(SAMPLE, "rb") as f:
        sample = f.read()
    # The sample has no CR and no blanks at the ends of lines: stored as sent.
    want = sample.replace(b"\n", b"\r\n")
    try:
        with open(os.path.join(demo, "Rx.nc"), "rb") as f:
            got = f.read()
    except OSError:
        got = None
    if got != want:
        problems.append("Rx.nc is not the sample with CR LF (%s bytes, expected %d)"
                        % (None if got is None else len(got), len(want)))
    shot = os.path.join(demo, "finished.png")
    size = os.path.exists(shot) and png_size(shot)
    if not size or size[0] < 200 or size[1] < 100:
        problems.append("no picture of the dialog in %s" % shot)
    for said in ("%d lines" % sample.count(b"\n"), shot):
        if said not in out:
            problems.append("output does not mention %r" % said)
    return problems, out + err


def check_demo_failure(args, work):
    # A program that ends at once instead of showing its dialog.
    build = os.path.join(work, "build")
    os.makedirs(os.path.join(build, "app"))
    os.makedirs(os.path.join(build, "tools"))
    fake = os.path.join(build, "app", "KelvRx")
    with open(fake, "w") as f:
        f.write("#!/bin/sh\necho 'cannot start the dialog' >&2\nexit 3\n")
    os.chmod(fake, 0o755)
    os.symlink(os.path.join(args.build, "tools", "ncsend"), os.path.join(build, "tools", "ncsend"))
    # Well within the simulator's own wait of 60 s for the handshake.
    status, out, err = run(["scripts/demo.sh", build],
                           headless_env(DEMO_DIR=os.path.join(work, "demo")), 45)
    problems = []
    if status in (0, None):
        problems.append("exit status %s" % status)
    if "FAILED" not in out + err or "cannot start the dialog" not in out + err:
        problems.append("the reason is not told")
    return problems, out + err


CASES = [
    ("run.sh without a display", check_run_sh),
    ("demo without a display", check_demo),
    ("demo whose program does not come up", check_demo_failure),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", required=True, help="build folder with app/KelvRx, tools/ncsend")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    for tool in ("Xvfb", "xdotool", "import"):
        if shutil.which(tool) is None:
            print("skipped: %s is not installed (scripts/deps.sh demo)" % tool)
            return SKIP
    failed = 0
    for name, check in CASES:
        work = tempfile.mkdtemp(prefix="kelv-demo-")
        problems, said = check(args, work)
        if problems:
            failed += 1
            print("FAILED: %s: %s\n%s\n(work folder kept: %s)"
                  % (name, "; ".join(problems), said.rstrip(), work))
        else:
            print("passed: %s" % name)
            shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
