"""The control's side of the line, always on a pseudo-terminal: the line
simulator ncsend, or a far end that we hold ourselves."""

import fcntl
import os
import re
import select
import struct
import subprocess
import termios
import threading
import time
import tty

from .proc import Failure, stop, wait_for


class Ncsend:
    """ncsend playing the control on a pty it makes, reached through link."""

    def __init__(self, ncsend, link, program, *options, out=None):
        """out: file for what it says (None: our own standard output)."""
        self.out = open(out, "w+") if out else None
        self.proc = subprocess.Popen([ncsend, "--pty", link, *options, program],
                                     stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=subprocess.STDOUT if out else None)

        def made():
            if self.proc.poll() is not None:
                raise Failure("the line simulator ended (status %d) before it made %s%s"
                              % (self.proc.returncode, link, ":\n" + self.said() if out else ""))
            return os.path.islink(link) and os.path.realpath(link)
        self.device = wait_for("the line simulator's pseudo-terminal %s" % link, made, 20)

    def ended(self):
        return self.proc.poll() is not None

    def opened(self):
        """With --wait-open: the receiver has opened the line."""
        return "the receiver opened the line" in self.said()

    def report(self):
        """What it said of the line's flow control, once it has ended: dc2
        (sent), handshake_s (first DC2 to its DC1, None when not answered),
        dc3 and dc1 (received), stops and resumed (DC3 stops while sending,
        and those a DC1 let go)."""
        said = self.said()
        r = {"dc2": 0, "handshake_s": None, "dc3": 0, "dc1": 0, "stops": 0, "resumed": 0}
        m = re.search(r"^ncsend: handshake: (\d+) DC2, (?:answered after ([\d.]+) s)?", said, re.M)
        if m:
            r["dc2"] = int(m.group(1))
            r["handshake_s"] = float(m.group(2)) if m.group(2) else None
        m = re.search(r"^ncsend: flow: (\d+) DC3, (\d+) DC1 received", said, re.M)
        if m:
            r["dc3"], r["dc1"] = int(m.group(1)), int(m.group(2))
        stops = re.findall(r"^ncsend: DC3 \d+ at character \d+: .*?(resumed|not resumed)", said, re.M)
        r["stops"] = len(stops)
        r["resumed"] = stops.count("resumed")
        return r

    def said(self):
        self.out.flush()
        self.out.seek(0)
        return self.out.read()

    def finish(self, deadline_s=60):
        """Its exit status, once it has ended by itself."""
        try:
            return self.proc.wait(timeout=deadline_s)
        except subprocess.TimeoutExpired:
            raise Failure("the line simulator did not end within %d s" % deadline_s)

    def stop(self):
        stop(self.proc)

    def let_go(self):
        """Ends its linger once the receiver is done; its exit status (0 when
        everything had been sent)."""
        stop(self.proc)
        return self.proc.returncode


class PtyPeer:
    """A pty pair of our own: the program opens the slave through link, we
    read and write the master."""

    def __init__(self, link=None, hold=True):
        """hold: keep the slave open here too, so the line does not hang up
        between openers (but then this process counts as one)."""
        self.master, slave = os.openpty()
        # Raw, no echo: we must never see our own writes again.
        tty.setraw(slave)
        self.device = os.ttyname(slave)
        self.slave = slave if hold else None
        if not hold:
            os.close(slave)
        os.set_blocking(self.master, False)
        self.link = link
        if link:
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(self.device, link)

    def read(self, timeout):
        if not select.select([self.master], [], [], max(timeout, 0))[0]:
            return b""
        try:
            return os.read(self.master, 4096)
        except BlockingIOError:
            return b""
        except OSError:
            # EIO while nobody has the slave open.
            time.sleep(0.05)
            return b""

    def write(self, data):
        try:
            return os.write(self.master, data)
        except BlockingIOError:
            return 0

    def send(self, data, deadline_s=60, chunk=256):
        """All of data, as fast as the line takes it."""
        sent = 0
        end = time.monotonic() + deadline_s
        while sent < len(data):
            if time.monotonic() > end:
                raise Failure("the line took only %d of %d bytes in %d s"
                              % (sent, len(data), deadline_s))
            n = self.write(data[sent:sent + chunk])
            sent += n
            if not n:
                time.sleep(0.01)

    def unread(self):
        """How many of the bytes written here the program has not read yet:
        the slave's input queue, seen through a descriptor of our own (which
        reads nothing)."""
        fd = os.open(self.device, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]
        finally:
            os.close(fd)

    def close(self):
        os.close(self.master)
        if self.slave is not None:
            os.close(self.slave)
        if self.link and os.path.lexists(self.link):
            os.remove(self.link)


class Answerer:
    """A far end that answers every byte b with b + 1 (mod 256), in a thread,
    until closed: a line whose replies a test can predict."""

    def __init__(self):
        self.peer = PtyPeer()
        self.device = self.peer.device
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.done.is_set():
            data = self.peer.read(0.5)
            reply = bytes((b + 1) & 0xFF for b in data)
            while reply and not self.done.is_set():
                n = self.peer.write(reply)
                reply = reply[n:]
                if not n:
                    time.sleep(0.01)

    def close(self):
        self.done.set()
        self.thread.join(5)
        self.peer.close()
