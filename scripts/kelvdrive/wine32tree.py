"""Debian's 32-bit Wine unpacked into a folder of our own, for a Linux guest
that runs 32-bit programs where the host's kernel does not.

Nothing of it goes into the host's dpkg or apt state: apt runs with a private
state folder and an empty status file, resolves wine32:i386 without its
recommends, downloads the i386 packages and unpacks them with dpkg -x. The
tree is kept per Wine version and made again when Debian's changes."""

import glob
import os
import re
import shutil
import subprocess

from .proc import Failure, checked

# Beside wine32 itself: the Windows zlib, which libwine's set-up turns into a
# builtin DLL (user32 does not load without it).
EXTRA = ["libz-mingw-w64"]


def _apt(state):
    return ["apt-get", "-q", "-o", f"Dir::State::Lists={state}/lists",
            "-o", f"Dir::Cache={state}/cache", "-o", f"Dir::State::status={state}/status",
            "-o", "APT::Architectures::=amd64", "-o", "APT::Architectures::=i386",
            "-o", "Debug::NoLocking=1", "-o", "APT::Sandbox::User=root"]


def resolve(state):
    """(wine version, ["name:arch=version", ...]) of what wine32:i386 needs on a
    system with nothing installed: its i386 packages and EXTRA. A package list
    that fails to download (a mirror mid-sync) is left out; the resolution then
    fails only if it needed that list."""
    for d in ("lists/partial", "cache/archives/partial"):
        os.makedirs(os.path.join(state, d), exist_ok=True)
    open(os.path.join(state, "status"), "a").close()
    subprocess.run(_apt(state) + ["update"], capture_output=True, text=True)
    sim = checked(_apt(state) + ["install", "-s", "--no-install-recommends", "wine32:i386"] + EXTRA,
               "resolving wine32:i386")
    wanted, version = [], None
    for name, ver, arch in re.findall(r"^Inst (\S+) \((\S+) [^\[]*\[(\S+)\]", sim, re.M):
        if arch == "i386" or name.split(":")[0] in EXTRA:
            wanted.append(f"{name}={ver}")
        if name == "wine32:i386":
            version = ver
    if not version:
        raise Failure("apt did not resolve wine32:i386:\n" + sim[-600:])
    return version, wanted


def _zlib_builtin(usr):
    """What libwine's set-up does: the Windows zlib, marked as a Wine builtin."""
    src = glob.glob(os.path.join(usr, "i686-w64-mingw32/lib/zlib*.dll"))
    if not src:
        raise Failure("the unpacked tree has no i686 zlib DLL")
    data = open(src[0], "rb").read()
    mark = b"Wine builtin DLL" + b"\0" * 16
    out = os.path.join(usr, "lib/i386-linux-gnu/wine/i386-windows", os.path.basename(src[0]))
    with open(out, "wb") as f:
        f.write(data[:64] + mark + data[96:])


def ensure(cache):
    """The folder that holds the unpacked /usr of 32-bit Wine (to be laid over
    /usr), made if this Wine version has none yet; older versions' trees go."""
    cache = os.path.abspath(cache)  # apt runs from the download folder
    state = os.path.join(cache, "wine32-apt")
    version, wanted = resolve(state)
    safe = re.sub(r"[^A-Za-z0-9.+-]", "_", version)
    done = os.path.join(cache, f"wine32-{safe}")
    usr = os.path.join(done, "usr")
    if os.path.exists(os.path.join(done, ".complete")):
        return usr
    for old in glob.glob(os.path.join(cache, "wine32-*")):
        if old != state:
            shutil.rmtree(old, ignore_errors=True)
    debs = os.path.join(state, "debs")
    shutil.rmtree(debs, ignore_errors=True)
    os.makedirs(debs)
    checked(_apt(state) + ["download"] + wanted, "downloading 32-bit Wine", cwd=debs)
    tmp = done + ".part"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    for deb in sorted(glob.glob(os.path.join(debs, "*.deb"))):
        checked(["dpkg", "-x", deb, tmp], f"unpacking {os.path.basename(deb)}")
    # The guest lays this over /usr only; Debian's /lib is /usr/lib.
    top_lib = os.path.join(tmp, "lib")
    if os.path.isdir(top_lib):
        checked(["cp", "-a", top_lib + "/.", os.path.join(tmp, "usr/lib")], "merging /lib")
        shutil.rmtree(top_lib)
    _zlib_builtin(os.path.join(tmp, "usr"))
    shutil.rmtree(debs, ignore_errors=True)
    open(os.path.join(tmp, ".complete"), "w").write(version + "\n")
    os.rename(tmp, done)
    return usr


def main():
    import sys
    if len(sys.argv) != 2:
        print("usage: python3 -m kelvdrive.wine32tree CACHE_DIR", file=sys.stderr)
        return 2
    try:
        print(ensure(sys.argv[1]))
    except Failure as e:
        print("wine32tree: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
