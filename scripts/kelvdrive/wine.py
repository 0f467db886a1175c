"""A private Wine prefix set up for KelvRx.exe as its users run it: a
Japanese Windows, its fonts stood in for, and every COM port it could open
mapped to a pseudo-terminal or to nowhere. Wine's default COM ports lead to the
machine's /dev/ttyS*, so the links are checked before any program runs.

Which Wine (arch()): where the kernel runs 32-bit programs, Wine's 32-bit side
in a 32-bit prefix, for the shipped 32-bit program (the oldest PCs it must start
on); elsewhere wine64 in a 64-bit prefix, for a 64-bit build of the same
sources. scripts/winarch.sh decides, once per run."""

import os
import shutil
import struct
import subprocess
import time

from .proc import Failure, Program, wait_for
from .window import Window

# Where COM1 leads, inside the prefix: the black-box test links it to a pty.
COM1_LINK = "ttyNC"
# Stand-ins for the faces the dialog asks for.
FONTS = {"MS UI Gothic": "IPAPGothic", "ＭＳ Ｐゴシック": "IPAPGothic", "ＭＳ ゴシック": "IPAGothic",
         "MS PGothic": "IPAPGothic", "MS Gothic": "IPAGothic"}


ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# The Debian package that brings each side's loader.
PACKAGE = {"32": "wine32:i386, or scripts/wine32-ns.sh", "64": "wine64"}


def arch():
    """"32" or "64": KELV_WIN_ARCH when the caller has decided already, else
    scripts/winarch.sh, whose answer is then passed on to every program
    started from here (one check per run). Its line is in os.environ as
    KELV_WIN_ARCH_WHY."""
    if os.environ.get("KELV_WIN_ARCH") in ("32", "64"):
        return os.environ["KELV_WIN_ARCH"]
    r = subprocess.run([os.path.join(ROOT, "scripts", "winarch.sh")], capture_output=True,
                       text=True)
    if r.returncode != 0:
        raise Failure(r.stderr.strip() or "scripts/winarch.sh failed")
    choice, _, why = r.stdout.strip().partition(" ")
    os.environ["KELV_WIN_ARCH"] = choice
    os.environ["KELV_WIN_ARCH_WHY"] = why
    return choice


def binaries(bits):
    """Wine's loader and server for bits ("32" or "64"), or None for each one
    not installed. (The command wine may fall back to the other side's loader,
    which cannot run the program.)"""
    def pick(lib, *names):
        if os.access(lib, os.X_OK):
            return lib
        return next((shutil.which(n) for n in names if shutil.which(n)), None)
    if bits == "32":
        return (pick("/usr/lib/wine/wine"), pick("/usr/lib/wine/wineserver32", "wineserver"))
    return (pick("/usr/lib/wine/wine64", "wine64"),
            pick("/usr/lib/wine/wineserver64", "wineserver"))


def loader_fault(loader):
    """Why loader cannot start a program here, or None when it can: the
    system's own words (an exec format error on a kernel without 32-bit
    programs, a library missing, ...), not a time-out later on."""
    try:
        r = subprocess.run([loader, "--version"], capture_output=True, text=True, timeout=60,
                           stdin=subprocess.DEVNULL)
    except OSError as e:
        return "%s cannot be started: %s" % (loader, e.strerror or e)
    except subprocess.TimeoutExpired:
        return "%s --version did not answer in 60 s" % loader
    if r.returncode != 0:
        said = (r.stderr or r.stdout).strip().splitlines()
        return "%s --version failed (status %d)%s" % (
            loader, r.returncode, ": " + said[-1] if said else "")
    return None


def japanese_locale():
    """The program's users run a Japanese Windows: code page 932 for the A
    functions, where the machine has the Japanese locale (scripts/deps.sh test
    makes it). Without it Wine falls back to the C locale, whose ASCII file
    names refuse every non-ASCII name: then C.UTF-8 (file names in UTF-8, ANSI
    code page 1252, which the program's own file and text layers do not
    depend on)."""
    r = subprocess.run(["locale", "-a"], capture_output=True, text=True)
    names = {l.lower().replace("-", "") for l in r.stdout.split()}
    return "ja_JP.UTF-8" if "ja_jp.utf8" in names else "C.UTF-8"


def reg_file(lines):
    """A .reg file (UTF-16 with its mark, CR LF lines) of these lines."""
    lines = ["Windows Registry Editor Version 5.00", ""] + lines
    return ("\ufeff" + "".join(l + "\r\n" for l in lines)).encode("utf-16-le")


def registry(ports):
    """The .reg file of our settings."""
    lines = [r"[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]"]
    lines += ['"%s"="%s"' % kv for kv in FONTS.items()]
    # Without a window manager, Wine's own frames: boxes close at once and no
    # key is lost.
    lines += ["", r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"', "",
              r"[HKEY_LOCAL_MACHINE\Software\Wine\Ports]"]
    lines += ['"%s"="%s"' % kv for kv in ports.items()]
    return reg_file(lines)


def display_registry(dpi, message_face=None):
    """The .reg file of a screen at dpi dots per inch and, where given, a
    message font of that face without Japanese characters (as a Windows of
    another language has it): a LOGFONTW of 11 pixels, normal weight, the
    ANSI character set."""
    lines = [r"[HKEY_CURRENT_USER\Control Panel\Desktop]", '"LogPixels"=dword:%08x' % dpi, "",
             r"[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Hardware Profiles\Current"
             r"\Software\Fonts]", '"LogPixels"=dword:%08x' % dpi]
    if message_face:
        font = (struct.pack("<5l8B", -11, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 0, 0)
                + message_face.encode("utf-16-le").ljust(64, b"\0"))
        lines += ["", r"[HKEY_CURRENT_USER\Control Panel\Desktop\WindowMetrics]",
                  '"MessageFont"=hex:' + ",".join("%02x" % b for b in font)]
    return reg_file(lines)


def port_map(prefix, **more):
    """COM1 to the link the black-box test points at its pty, COM2..COM11 to
    nowhere (Wine's own defaults lead com8..com11 to ttyS0..3), and the ports
    in more (name=device)."""
    ports = {"COM1": os.path.join(prefix, COM1_LINK)}
    ports.update(("COM%d" % n, os.path.join(prefix, "nocom%d" % n)) for n in range(2, 12))
    ports.update(more)
    return ports


def link(prefix, name):
    """Where the device name (COM1, ...) leads in the prefix ("" nowhere)."""
    try:
        return os.readlink(os.path.join(prefix, "dosdevices", name.lower()))
    except OSError:
        return ""


def foreign_links(prefix, ports):
    """The COM1..COM9 links that lead anywhere but where ports maps them, as
    (name, target)."""
    found = ((n, link(prefix, n)) for n in ("COM%d" % i for i in range(1, 10)))
    return [(n, target) for n, target in found if target and target != ports.get(n)]


class Wine:
    """Wine with the prefix prefix, showing on the X display display."""

    def __init__(self, prefix, display, bits=None):
        self.bits = bits or arch()
        self.wine, self.server = binaries(self.bits)
        if not self.wine or not self.server:
            raise Failure("Wine's %s-bit side is not installed (package %s; scripts/deps.sh test "
                          "installs it)" % (self.bits, PACKAGE[self.bits]))
        self.prefix = prefix
        self.display = display
        self.locale = japanese_locale()
        # Every Wine command runs with the display from the first on: a
        # wineserver started headless gives later programs no window.
        self.base_env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                             WINEARCH="win32" if self.bits == "32" else "win64",
                             WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display)
        self.base_env.pop("WAYLAND_DISPLAY", None)
        self.env = dict(self.base_env, LANG=self.locale, LC_ALL=self.locale)

    def run(self, seconds, *args, out=subprocess.DEVNULL, env=None):
        """Runs a Windows program (or a Wine command) and returns its status:
        124 or 137 when it was stopped after seconds."""
        return subprocess.call(["timeout", "-k", "5", str(seconds), self.wine, *args],
                               env=dict(self.env, **(env or {})), stdin=subprocess.DEVNULL,
                               stdout=out, stderr=subprocess.STDOUT)

    def serve(self, *args, seconds=30):
        return subprocess.call(["timeout", str(seconds), self.server, *args],
                               env=self.base_env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def link(self, name):
        return link(self.prefix, name)

    def end_session(self, seconds=60):
        """Ends the session as a shutdown or logoff does: WM_QUERYENDSESSION
        and WM_ENDSESSION to every window, then Wine ends each program that
        is still there. Returns wineboot's status."""
        return self.run(seconds, "wineboot", "--end-session")

    def set_up(self, ports):
        """Makes the prefix and maps the ports (name -> device path), then keeps
        one server running until close."""
        fault = loader_fault(self.wine)
        if fault:
            raise Failure("Wine's %s-bit side cannot run here: %s" % (self.bits, fault))
        status = self.run(120, "wineboot", "--init")
        if status in (124, 137):
            raise Failure("Wine's first start (wineboot --init) did not finish in 120 s")
        if status != 0:
            raise Failure("Wine's first start (wineboot --init) failed with status %d" % status)
        if self.serve("-w", seconds=60) != 0:
            raise Failure("Wine's server did not settle in 60 s after its first start")
        self.import_registry("setup.reg", registry(ports))
        # Wine's own font for the frame's close box.
        marlett = "/usr/share/wine/fonts/marlett.ttf"
        if os.path.exists(marlett):
            shutil.copy(marlett, os.path.join(self.prefix, "drive_c", "windows", "Fonts"))
        self.serve("-k")
        self.serve("-w")
        # From now on one server for the whole run: a server that ends a moment
        # after its last program may still be going down when the next one
        # connects ("wine client error: recvmsg").
        with open(os.path.join(self.prefix, "wineserver.log"), "wb") as log:
            subprocess.call([self.server, "-p"], env=self.base_env, stdin=subprocess.DEVNULL,
                            stdout=log, stderr=subprocess.STDOUT)
        # Starting Wine again makes the device links from the registry.
        self.run(30, "reg", "query", r"HKLM\Software\Wine\Ports")

    def import_registry(self, name, content):
        path = os.path.join(self.prefix, name)
        with open(path, "wb") as f:
            f.write(content)
        if self.run(60, "regedit", "/S", "Z:" + path.replace("/", "\\")) != 0:
            raise Failure("regedit did not take %s" % path)

    def set_display(self, dpi, message_face=None):
        """For the programs started from now on: dpi dots per inch, and the
        message font display_registry tells."""
        self.import_registry("display.reg", display_registry(dpi, message_face))

    def wait_link(self, name, target, deadline_s=10):
        wait_for("%s to lead to %s" % (name, target), lambda: self.link(name) == target,
                 deadline_s, 0.1)

    def close(self):
        subprocess.call([self.server, "-k"], env=self.base_env, stderr=subprocess.DEVNULL)


def sender_options(flat_out=False, timeout_s=60):
    """ncsend as the Windows program's control: it lets the line go until the
    program opens COM1, then asks with DC2 until a DC1 answers and honours
    DC3/DC1, like the Linux demo's control (flat_out: as fast as the line
    takes it, so the queue fills and the program must hold it with DC3).
    timeout_s: how long it waits for the opening and for each answer (0: for
    ever, for an operator at the keys)."""
    # It lingers until let go: a pty may hold tens of kB the program has not
    # read yet, and under Wine each single-byte read costs a fraction of a
    # millisecond; closing the line earlier would hang it up under the reader.
    return ["--handshake", "--wait-open", "--timeout", str(timeout_s), "--linger-ms", "600000",
            *(["--flat-out", "--chunk", "4096"] if flat_out else [])]


def check_answers(report, flat_out):
    """The program's DC1/DC3 answers as the control saw them (a line.Ncsend
    report); what was wrong, or None. Wine reports no line event on a pty, so
    these are the run's own answers. How soon the DC1 came is reported
    (answers_text), not judged: timings belong to the benchmark."""
    r = report
    if r["handshake_s"] is None:
        return "the control's DC2 was never answered with DC1"
    if r["resumed"] != r["stops"]:
        return "%d of %d DC3 stops were let go with DC1" % (r["resumed"], r["stops"])
    if flat_out and r["stops"] == 0:
        return "a flat-out control was never held with DC3"
    # One DC1 per DC2 the program read (a DC2 that came while it opened the
    # line is purged unread) and one per hold; never more.
    if r["dc1"] > r["dc2"] + r["dc3"]:
        return "%d DC1 for %d DC2 and %d DC3: more than one answer each" % (
            r["dc1"], r["dc2"], r["dc3"])
    if r["dc1"] < 1 + r["resumed"]:
        return "%d DC1 for the handshake and %d stops" % (r["dc1"], r["resumed"])
    return None


def answers_text(report):
    r = report
    return ("DC2 answered after %.3f s; %d DC2, %d DC1, %d DC3, %d of %d stops resumed"
            % (r["handshake_s"], r["dc2"], r["dc1"], r["dc3"], r["resumed"], r["stops"]))


def receive(wine, exe, sender, log, first_shot=None, finished_shot=None, say=None,
            deadline_s=400):
    """Runs exe (in its own folder) under wine and receives once from sender
    (a line.Ncsend started with sender_options): Enter on 受信開始 until the
    control sees COM1 opened, waits for Rx.nc, saves the finished dialog as
    finished_shot if asked, Enter on 閉じる. The caller lets the sender go."""
    say = say or (lambda text: None)
    folder = os.path.dirname(os.path.abspath(exe))
    app = Program([wine.wine, exe, "20,20"], folder, wine.env, log)
    try:
        window = Window.of(app, 60, 0.2)
        if first_shot:
            time.sleep(0.5)  # the first paint
            window.screenshot(first_shot)
        say("the dialog is up on %s; Enter on 受信開始" % wine.display)
        window.press_until("Return", app, "the program to open COM1 (the control sees it opened)",
                           sender.opened)
        say("receiving")
        rx = os.path.join(folder, "Rx.nc")
        app.wait("the program to receive the whole program and write Rx.nc",
                 lambda: os.path.exists(rx), deadline_s, 0.1)
        if finished_shot:
            time.sleep(0.5)  # the dialog's last paint
            window.screenshot(finished_shot)
            say("the finished dialog is saved as %s" % finished_shot)
        say("Enter on 閉じる")
        window.press("Return")
        app.finish("after 閉じる")
    finally:
        app.stop()
