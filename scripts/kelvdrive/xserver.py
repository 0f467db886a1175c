"""An X server of our own for the program under test."""

import os
import random
import select
import subprocess
import time

from .proc import Failure, stop


class XServer:
    """Xvfb on a free display picked at random from a high range. The low
    numbers are where other X servers and scripts of a shared machine go (:0,
    and :99 upwards for xvfb-run -a); one of them taking over our socket would
    cut the program off its display. The server writes its display number to
    -displayfd once it takes connections: its socket appears a moment earlier,
    and a client that comes in between is refused. It never resets when its
    last client leaves: a program started just then would be refused too."""

    def __init__(self, log_path, screen="800x600x24"):
        self.log = open(log_path, "wb")
        try:
            self.proc, self.display = self._start(screen)
        except BaseException:
            self.log.close()
            raise

    def _start(self, screen):
        rng = random.SystemRandom()
        for _ in range(20):
            n = rng.randrange(200, 900)
            if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
                continue
            ready, tell = os.pipe()
            try:
                server = subprocess.Popen(
                    ["Xvfb", ":%d" % n, "-displayfd", str(tell), "-screen", "0", screen,
                     "-dpi", "96", "-nolisten", "tcp", "-noreset"],
                    stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                    pass_fds=(tell,))
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
        raise Failure("no X server could be started (see %s)" % self.log.name)

    def env(self, base=None, **extra):
        """An environment whose programs show on this server, never on Wayland."""
        env = dict(os.environ if base is None else base, DISPLAY=self.display, **extra)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def close(self):
        stop(self.proc)
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
