"""A private Wine prefix set up for KelvRx.exe as its users run it: a 32-bit
Japanese Windows (the oldest PCs the program must start on; Wine's 32-bit
side), its fonts stood in for, and every COM port it could open mapped to a
pseudo-terminal or to nowhere. Wine's default COM ports lead to the machine's
/dev/ttyS*, so the links are checked before any program runs."""

import os
import shutil
import struct
import subprocess

from .proc import Failure, wait_for

# Where COM1 leads, inside the prefix: the black-box test links it to a pty.
COM1_LINK = "ttyNC"
# Stand-ins for the faces the dialog asks for.
FONTS = {"MS UI Gothic": "IPAPGothic", "ＭＳ Ｐゴシック": "IPAPGothic", "ＭＳ ゴシック": "IPAGothic",
         "MS PGothic": "IPAPGothic", "MS Gothic": "IPAGothic"}


def binaries():
    """Wine's 32-bit loader and its server, or None for each one not
    installed. (The command wine falls back to the 64-bit loader, which cannot
    run a 32-bit program.)"""
    def pick(lib, *names):
        if os.access(lib, os.X_OK):
            return lib
        return next((shutil.which(n) for n in names if shutil.which(n)), None)
    return (pick("/usr/lib/wine/wine"), pick("/usr/lib/wine/wineserver32", "wineserver"))


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
    """COM1 to the link the black-box test points at its pty, COM2..COM9 to
    nowhere, and the ports in more (name=device)."""
    ports = {"COM1": os.path.join(prefix, COM1_LINK)}
    ports.update(("COM%d" % n, os.path.join(prefix, "nocom%d" % n)) for n in range(2, 10))
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

    def __init__(self, prefix, display):
        self.wine, self.server = binaries()
        if not self.wine or not self.server:
            raise Failure("Wine's 32-bit side is not installed (scripts/deps.sh test)")
        self.prefix = prefix
        self.locale = japanese_locale()
        # Every Wine command runs with the display from the first on: a
        # wineserver started headless gives later programs no window.
        self.base_env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
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
        if self.run(120, "wineboot", "--init") != 0 or self.serve("-w", seconds=60) != 0:
            raise Failure("Wine's first start (wineboot --init) did not finish in 180 s")
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
