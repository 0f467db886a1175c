"""A small Linux guest under QEMU whose serial ports are the kernel's real
drivers: the 16550 (8250) at /dev/ttyS1 and an FT232 USB adapter (ftdi_sio) at
/dev/ttyUSB0, both played from here. Nothing of this machine's own serial
ports is ever touched: the guest has only QEMU's emulated ones.

The guest is Debian's own kernel, fetched as a package (never installed here),
booted as the uncompressed vmlinux through its PVH entry (the compressed one
takes seconds longer to unpack under emulation), with a busybox initramfs that
loads the few modules it needs, mounts this machine's / read-only over 9p and
runs a job chrooted in it, so that our built binaries run there unchanged. A
second, writable 9p share carries the results out; the job's exit status
leaves through QEMU's isa-debug-exit port. Kernel and initramfs are made once
and kept in a cache folder (build*/ is ignored by git).

  Guest(cache).make()      fetch and build what is missing; raises Failure with why
  guest.boot(job, share)   start QEMU running the shell script `job`
  Telnet / Plain           the far ends of ttyS1 (with IAC BREAK) and ttyUSB0
  Qmp                      device_del / device_add of the USB adapter
"""

import hashlib
import json
import lzma
import os
import re
import select
import shutil
import socket
import stat
import subprocess
import tempfile
import time

from .proc import Failure, checked, wait_for

# The modules the guest needs; what they depend on is loaded before them.
# overlay: the Windows stage lays 32-bit Wine over the guest's /usr.
MODULES = ["xhci-pci", "ftdi_sio", "virtio_pci", "9pnet_virtio", "9p", "overlay"]
EXIT_PORT = 0xF4  # isa-debug-exit: QEMU exits with (value << 1) | 1

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
say() { echo "guest: $*" > /dev/ttyS0; }
leave() {  # the status through isa-debug-exit; a poweroff only if that failed
  printf "\\$(printf %o "$1")" | dd of=/dev/port bs=1 seek=@EXIT_PORT@ 2>/dev/null
  poweroff -f
}
for m in $(cat /modules); do insmod /lib/$m.ko || { say "insmod $m failed"; leave 120; }; done
R=/newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot $R ||
  { say "no host root over 9p"; leave 121; }
mount -t devtmpfs dev $R/dev && mkdir -p $R/dev/pts && mount -t devpts devpts $R/dev/pts &&
  mount -t proc proc $R/proc && mount -t sysfs sys $R/sys &&
  mkdir /up && mount -t tmpfs up /up && mkdir /up/tmp /up/work &&
  mount -t overlay tmp -o lowerdir=$R/tmp,upperdir=/up/tmp,workdir=/up/work $R/tmp &&
  mount -t tmpfs run $R/run && mkdir $R/run/out &&
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out $R/run/out ||
  { say "mounting inside the host root failed"; leave 122; }
chmod 1777 $R/tmp
say "up after $(cut -d' ' -f1 /proc/uptime) s"
chroot $R /bin/sh -c 'cd /run/out && exec /bin/sh ./job.sh > job.log 2>&1'
rc=$?
sync
leave $rc
""".replace("@EXIT_PORT@", str(EXIT_PORT))


def say(text):
    print("-- guest: " + text, flush=True)


def kvm_usable():
    """KVM when the processor offers it and /dev/kvm opens for us, unless
    KELV_GUEST_KVM=0 forbids it. (Inside some virtual machines /dev/kvm opens
    but a guest never gets going: the processor flags tell those apart.)"""
    if os.environ.get("KELV_GUEST_KVM") == "0":
        return False
    try:
        with open("/proc/cpuinfo") as f:
            if not re.search(r"^flags\s*:.*\b(vmx|svm)\b", f.read(), re.M):
                return False
    except OSError:
        return False
    try:
        os.close(os.open("/dev/kvm", os.O_RDWR))
        return True
    except OSError:
        return False


def kernel_package():
    """The kernel package linux-image-amd64 depends on now (Debian drops old ones)."""
    out = checked(["apt-cache", "depends", "linux-image-amd64"], "asking apt for the kernel")
    m = re.search(r"Depends:\s*(linux-image-[0-9][^\s]*)", out)
    if not m:
        raise Failure("apt-cache names no kernel for linux-image-amd64:\n" + out)
    return m.group(1)


def extract_vmlinux(vmlinuz):
    """The uncompressed kernel inside a bzImage, as the kernel's extract-vmlinux
    finds it: the first xz stream that unpacks to an ELF file."""
    with open(vmlinuz, "rb") as f:
        data = f.read()
    at = data.find(b"\xfd7zXZ\x00")
    while at >= 0:
        try:
            out = lzma.LZMADecompressor().decompress(data[at:])
            if out[:4] == b"\x7fELF":
                return out
        except lzma.LZMAError:
            pass
        at = data.find(b"\xfd7zXZ\x00", at + 1)
    raise Failure("no xz-packed ELF kernel found in %s" % vmlinuz)


def _cpio(entries):
    """A newc archive of (name, mode, data) entries."""
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        n = name.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(n), 0]
        out += b"070701" + b"".join(b"%08X" % v for v in fields) + n
        out += b"\0" * (-len(out) % 4) + data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


class Guest:
    def __init__(self, cache):
        self.cache = os.path.abspath(cache)
        self.vmlinux = self.initrd = None

    def make(self):
        """The kernel and initramfs, from the cache or made now."""
        busybox = shutil.which("busybox")
        if not shutil.which("qemu-system-x86_64") or not busybox:
            raise Failure("qemu-system-x86_64 or busybox missing "
                          "(scripts/deps.sh test installs qemu-system-x86 and busybox-static)")
        with open(busybox, "rb") as f:
            bb = f.read()
        if b"ld-linux" in bb[:4096]:  # an interpreter: dynamically linked
            raise Failure("%s is not statically linked (install busybox-static)" % busybox)
        pkg = kernel_package()
        d = os.path.join(self.cache, pkg)
        self.vmlinux = os.path.join(d, "vmlinux")
        # Named by what goes into it, so that a changed init or busybox counts.
        made_of = hashlib.sha256(INIT.encode() + " ".join(MODULES).encode() + bb).hexdigest()
        self.initrd = os.path.join(d, "initramfs-%s.cpio" % made_of[:12])
        if os.path.exists(self.initrd) and os.path.exists(self.vmlinux):
            return self
        say("making the guest from %s (once; kept in %s)" % (pkg, d))
        # Kernels Debian has replaced are of no further use.
        if os.path.isdir(self.cache):
            for old in os.listdir(self.cache):
                if old != pkg:
                    shutil.rmtree(os.path.join(self.cache, old), ignore_errors=True)
        os.makedirs(d, exist_ok=True)
        for old in os.listdir(d):
            if old.startswith("initramfs-"):
                os.remove(os.path.join(d, old))
        work = tempfile.mkdtemp(dir=d)
        try:
            checked(["apt-get", "download", pkg], "fetching the kernel package", cwd=work)
            deb = [f for f in os.listdir(work) if f.endswith(".deb")][0]
            checked(["dpkg", "-x", deb, "x"], "unpacking the kernel package", cwd=work)
            boot = os.path.join(work, "x", "boot")
            vmlinuz = [f for f in os.listdir(boot) if f.startswith("vmlinuz-")][0]
            release = vmlinuz[len("vmlinuz-"):]
            kernel = extract_vmlinux(os.path.join(boot, vmlinuz))
            mods = self._modules(os.path.join(work, "x", "lib", "modules", release))
            entries = [("bin", stat.S_IFDIR | 0o755, b""), ("bin/busybox", stat.S_IFREG | 0o755, bb),
                       ("init", stat.S_IFREG | 0o755, INIT.encode()),
                       ("modules", stat.S_IFREG | 0o644, " ".join(m for m, _ in mods).encode()),
                       ("lib", stat.S_IFDIR | 0o755, b"")]
            for d_ in ("proc", "sys", "dev", "newroot"):
                entries.append((d_, stat.S_IFDIR | 0o755, b""))
            entries += [("lib/%s.ko" % m, stat.S_IFREG | 0o644, data) for m, data in mods]
            with open(self.vmlinux + ".new", "wb") as f:
                f.write(kernel)
            with open(self.initrd + ".new", "wb") as f:
                f.write(_cpio(entries))
            os.replace(self.vmlinux + ".new", self.vmlinux)
            os.replace(self.initrd + ".new", self.initrd)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return self

    @staticmethod
    def _modules(moddir):
        """(name, bytes) of MODULES and what they depend on, each after its
        dependencies (by the "depends=" each module carries)."""
        files = {}
        for root, _, names in os.walk(moddir):
            for n in names:
                if n.endswith(".ko"):
                    files[n[:-3].replace("-", "_")] = os.path.join(root, n)
        out, done = [], set()

        def add(m, chain):
            key = m.replace("-", "_")
            if key in done:
                return
            if key in chain or key not in files:
                raise Failure("module %s: %s" % (m, "a dependency loop" if key in chain
                                                 else "not in the kernel package"))
            with open(files[key], "rb") as f:
                data = f.read()
            dep = re.search(rb"depends=([^\0]*)\0", data)
            for need in (dep.group(1).decode().split(",") if dep and dep.group(1) else []):
                add(need, chain + [key])
            done.add(key)
            out.append((key, data))
        for m in MODULES:
            add(m, [])
        return out

    def boot(self, job, share, extra=()):
        """Starts QEMU running `job` (a shell script) chrooted in this machine's
        /, with `share` at /run/out. Returns a Running guest."""
        return Running(self, job, share, list(extra))


class Running:
    def __init__(self, guest, job, share, extra):
        self.share = share
        self.sock = tempfile.mkdtemp(prefix="kelvg")  # short: socket paths are limited
        with open(os.path.join(share, "job.sh"), "w") as f:
            f.write(job)
        self.kvm = kvm_usable()
        s = self.sock
        cmd = ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
               "-no-reboot", "-m", "1024", "-smp", "2",
               "-accel", "kvm" if self.kvm else "tcg", "-cpu", "host" if self.kvm else "max",
               "-kernel", guest.vmlinux, "-initrd", guest.initrd,
               # KELV_GUEST_APPEND: another kernel command line, e.g. to see a guest fail.
               "-append", os.environ.get("KELV_GUEST_APPEND", "console=ttyS0 quiet panic=-1"),
               "-device", "isa-debug-exit,iobase=%#x,iosize=1" % EXIT_PORT,
               "-serial", "file:%s" % os.path.join(share, "console.log"),
               "-chardev", "socket,id=s1,path=%s/s1,server=on,wait=off,telnet=on" % s,
               "-serial", "chardev:s1",
               "-chardev", "socket,id=u1,path=%s/u1,server=on,wait=off" % s,
               "-device", "qemu-xhci,id=xhci", "-device", "usb-serial,chardev=u1,id=us0",
               "-qmp", "unix:%s/qmp,server=on,wait=off" % s,
               "-fsdev", "local,id=root,path=/,security_model=none,readonly=on,multidevs=remap",
               "-device", "virtio-9p-pci,fsdev=root,mount_tag=hostroot",
               "-fsdev", "local,id=out,path=%s,security_model=none" % share,
               "-device", "virtio-9p-pci,fsdev=out,mount_tag=out"] + extra
        self.started = time.monotonic()
        self.log = open(os.path.join(share, "qemu.log"), "wb")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        wait_for("QEMU's sockets", lambda: self._check() and os.path.exists(s + "/qmp"), 20)

    def _check(self):
        if self.proc.poll() is not None:
            raise Failure("QEMU ended (status %d) at start: %s"
                          % (self.proc.returncode, self.said()))
        return True

    def wait_up(self, deadline_s=60):
        """Until the guest's init has mounted everything and starts the job;
        a Failure with what the guest said when it ends or stays silent."""
        console = os.path.join(self.share, "console.log")

        def up():
            if self.proc.poll() is not None:
                raise Failure("the guest ended before its job started (QEMU status %d):\n%s"
                              % (self.proc.returncode, self.said()))
            try:
                with open(console, errors="replace") as f:
                    return "guest: up after" in f.read()
            except OSError:
                return False
        try:
            wait_for("the guest to come up", up, deadline_s, 0.1)
        except Failure as e:
            if self.proc.poll() is not None:
                raise
            raise Failure("%s; it said:\n%s" % (e, self.said()))
        return time.monotonic() - self.started

    def said(self):
        out = []
        for name in ("qemu.log", "console.log", "job.log"):
            p = os.path.join(self.share, name)
            if os.path.exists(p):
                with open(p, errors="replace") as f:
                    text = f.read().strip()
                if text:
                    out.append("[%s]\n%s" % (name, text[-3000:]))
        return "\n".join(out)

    def path(self, name):
        return os.path.join(self.sock, name)

    def finish(self, deadline_s):
        """The job's exit status, once the guest has ended."""
        try:
            self.proc.wait(timeout=deadline_s)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure("the guest did not end within %d s" % deadline_s)
        rc = self.proc.returncode
        if rc % 2 != 1:
            raise Failure("the guest ended without a status (QEMU status %d): the kernel or "
                          "its init failed" % rc)
        return rc >> 1

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
        shutil.rmtree(self.sock, ignore_errors=True)


class Plain:
    """The far end of a guest serial port on a plain socket."""
    IAC = 255

    def __init__(self, path, deadline_s=10):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        wait_for("the socket " + path, lambda: self.s.connect_ex(path) == 0, deadline_s)
        self.s.setblocking(False)
        self.got = bytearray()

    def _clean(self, data):
        return data

    def read(self, timeout=0.0):
        """What came since, also kept in self.got."""
        data = b""
        if select.select([self.s], [], [], timeout)[0]:
            try:
                data = self._clean(self.s.recv(65536))
            except (BlockingIOError, ConnectionResetError):
                data = b""
        self.got += data
        return data

    def _escape(self, data):
        return data

    def write(self, data):
        self.s.setblocking(True)
        try:
            self.s.sendall(self._escape(data))
        finally:
            self.s.setblocking(False)

    def close(self):
        self.s.close()


class Telnet(Plain):
    """The far end of ttyS1 on QEMU's telnet socket: 0xFF escaped, and a real
    BREAK on the UART by IAC BREAK; the server's own option talk is dropped."""

    def __init__(self, path, deadline_s=10):
        super().__init__(path, deadline_s)
        self._pending = b""

    def _clean(self, data):
        data = self._pending + data
        self._pending = b""
        out = bytearray()
        i = 0
        while i < len(data):
            b = data[i]
            if b != self.IAC:
                out.append(b)
                i += 1
                continue
            if i + 1 >= len(data):
                self._pending = data[i:]
                break
            cmd = data[i + 1]
            if cmd == self.IAC:
                out.append(self.IAC)
                i += 2
            elif 251 <= cmd <= 254:
                if i + 2 >= len(data):
                    self._pending = data[i:]
                    break
                i += 3
            elif cmd == 250:  # SB ... IAC SE
                end = data.find(bytes([self.IAC, 240]), i + 2)
                if end < 0:
                    self._pending = data[i:]
                    break
                i = end + 2
            else:
                i += 2
        return bytes(out)

    def _escape(self, data):
        return data.replace(b"\xff", b"\xff\xff")

    def brk(self):
        self.s.setblocking(True)
        try:
            self.s.sendall(bytes([self.IAC, 243]))
        finally:
            self.s.setblocking(False)


class Qmp:
    """QEMU's monitor protocol: one command at a time."""

    def __init__(self, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.connect(path)
        self.f = self.s.makefile("rwb")
        self._reply()  # the greeting
        self.cmd("qmp_capabilities")

    def _reply(self):
        while True:
            line = self.f.readline()
            if not line:
                raise Failure("QEMU's monitor closed")
            msg = json.loads(line)
            if "event" not in msg:
                return msg

    def cmd(self, name, **args):
        self.f.write(json.dumps({"execute": name, "arguments": args}).encode() + b"\n")
        self.f.flush()
        r = self._reply()
        if "error" in r:
            raise Failure("QEMU refused %s: %s" % (name, r["error"].get("desc")))
        return r.get("return")

    def close(self):
        self.s.close()
