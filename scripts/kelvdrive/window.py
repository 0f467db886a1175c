"""The program's window on an X server of our own, worked with xdotool."""

import subprocess

from .proc import Failure


def xdotool(env, *args, check=True):
    r = subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=30)
    if check and r.returncode != 0:
        raise Failure("xdotool %s failed: %s" % (" ".join(args), r.stderr.strip()))
    return r.stdout


class Window:
    def __init__(self, env, wid):
        self.env = env
        self.wid = wid

    @classmethod
    def of(cls, program, deadline_s=60, step_s=0.1):
        """The first visible window of program (a proc.Program), once it shows.
        Found by process: the title is not ASCII, and matching it is up to the
        locale."""
        def visible():
            out = xdotool(program.env, "search", "--onlyvisible", "--pid", str(program.pid),
                          check=False).split()
            return out[0] if out else None
        return cls(program.env, program.wait("the dialog to appear", visible, deadline_s, step_s))

    def press(self, key):
        xdotool(self.env, "windowfocus", "--sync", self.wid)
        xdotool(self.env, "key", "--clearmodifiers", key)

    def press_until(self, key, program, what, done, deadline_s=10, attempts=3):
        """Presses key until done() holds. A key that reaches the window before
        it has the focus is lost; then it is pressed once more."""
        for attempt in range(attempts):
            self.press(key)
            try:
                return program.wait(what, done, deadline_s)
            except Failure:
                if not program.alive() or attempt == attempts - 1:
                    raise

    def screenshot(self, path):
        """The window as it stands, cut from the screen, as a PNG."""
        geometry = dict(l.split("=", 1) for l in
                        xdotool(self.env, "getwindowgeometry", "--shell", self.wid).split())
        r = subprocess.run(["import", "-window", "root", "-crop",
                            "%(WIDTH)sx%(HEIGHT)s+%(X)s+%(Y)s" % geometry, "+repage", path],
                           env=self.env, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise Failure("the screenshot failed: %s" % r.stderr.strip())
