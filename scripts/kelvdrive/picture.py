"""Saves the receive dialog at its first start as a PNG: the built program runs
from a fresh temporary folder (no Kelv.ini, so it shows the defaults) at
(20, 20) on an X server of its own, and is stopped without closing, so nothing
is written.

Usage: python3 -m kelvdrive.picture BUILD OUT.png  (scripts/screenshot.sh)
"""

import contextlib
import os
import shutil
import sys
import tempfile
import time

from . import kelvrx
from .proc import Failure, missing
from .window import Window
from .xserver import XServer


def take(build, out):
    work = tempfile.mkdtemp(prefix="kelv-picture-")
    try:
        with contextlib.ExitStack() as cleanup:
            exe = kelvrx.install(os.path.join(build, "app", "KelvRx"), os.path.join(work, "app"))
            x = cleanup.enter_context(XServer(os.path.join(work, "Xvfb.log")))
            app = kelvrx.start(exe, x, work, ["20,20"])
            cleanup.callback(app.stop)
            window = Window.of(app)
            time.sleep(1)  # the first paint
            os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
            window.screenshot(out)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    build, out = sys.argv[1:3]
    gone = missing("Xvfb", "xdotool", "import")
    if gone:
        print("missing %s (scripts/deps.sh demo)" % ", ".join(gone), file=sys.stderr)
        return 1
    if not os.access(os.path.join(build, "app", "KelvRx"), os.X_OK):
        print("no %s/app/KelvRx: build it first" % build, file=sys.stderr)
        return 1
    try:
        take(build, out)
    except (Failure, OSError) as e:
        print("FAILED: %s" % e, file=sys.stderr)
        return 1
    print("wrote %s" % out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
