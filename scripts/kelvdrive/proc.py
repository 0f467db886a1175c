"""Waits that give up after a deadline and say what they waited for, and the
processes they wait on."""

import os
import shutil
import signal
import subprocess
import time


class Failure(Exception):
    pass


def wait_for(what, predicate, deadline_s, step_s=0.05):
    """Polls predicate until it returns a true value, which is returned, or
    the deadline passes."""
    end = time.monotonic() + deadline_s
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= end:
            raise Failure("gave up after %g s waiting for %s" % (deadline_s, what))
        time.sleep(step_s)


def stop(proc, deadline_s=10):
    """SIGTERM, and SIGKILL for a process that is still there after deadline_s."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=deadline_s)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def pid_ended(pid):
    """True when process pid is gone or only waits to be reaped."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            # The state follows the command name, which is in parentheses.
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (OSError, IndexError):
        return True


def holds_device(pid, device):
    """True when process pid (any process when None) has the device open."""
    pids = [str(pid)] if pid is not None else [p for p in os.listdir("/proc") if p.isdigit()]
    for p in pids:
        fd_dir = "/proc/%s/fd" % p
        try:
            for fd in os.listdir(fd_dir):
                try:
                    if os.readlink(os.path.join(fd_dir, fd)) == device:
                        return True
                except OSError:
                    pass
        except OSError:
            pass
    return False


def checked(cmd, what, cwd=None):
    """The output (with its errors) of cmd, which must succeed; else a Failure
    that says what failed and the end of what it said."""
    r = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = r.stdout.decode(errors="replace")
    if r.returncode != 0:
        raise Failure("%s failed (status %d, %s): %s"
                      % (what, r.returncode, " ".join(cmd), out.strip()[-800:]))
    return out


def missing(*tools):
    """The tools of the list that are not on the PATH (None entries are skipped)."""
    return [t for t in tools if t and shutil.which(t) is None]


class Program:
    """A program started with its output going to a log file; its waits give
    up, with what it said, as soon as it ends."""

    def __init__(self, cmd, cwd, env, log_path):
        self.env = env
        self.output = open(log_path, "wb")
        self.proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                     stdout=self.output, stderr=subprocess.STDOUT)

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def said(self):
        self.output.flush()
        with open(self.output.name, "rb") as f:
            return f.read().decode("utf-8", "replace").strip()

    def ended(self, when):
        """A Failure telling how and when the program ended, with what it said."""
        said = self.said()
        code = self.proc.returncode
        how = "with status %d" % code if code >= 0 else "by signal %d" % -code
        return Failure("the program ended %s %s%s" % (how, when, ":\n" + said if said else ""))

    def wait(self, what, predicate, deadline_s, step_s=0.05):
        """wait_for that also gives up when the program ends."""
        def check():
            value = predicate()
            if value:
                return value
            if not self.alive():
                raise self.ended("while waiting for %s" % what)
            return None
        return wait_for(what, check, deadline_s, step_s)

    def finish(self, when, deadline_s=30):
        """Waits for the program to end by itself, with status 0."""
        try:
            self.proc.wait(timeout=deadline_s)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within %d s %s" % (deadline_s, when))
        if self.proc.returncode != 0:
            raise self.ended(when)

    def stop(self):
        stop(self.proc)
        self.output.close()
