"""The release archives (scripts/release.sh): which operator guides the tree
has, and the check of what was packed.

  python3 -m kelvdrive.release version           the project's version
  python3 -m kelvdrive.release guides            "ja <path>" / "en <path>" lines
  python3 -m kelvdrive.release check DIR         checks DIR's archives and sums

The check opens dist/KelvRx-<version>-windows-x86.zip and
dist/KelvRx-<version>-linux-x86_64.tar.gz and holds them against one table of
expected entries: the file list exactly, the 32-bit exe's version resource
equal to the project's version, the guides there and in their language, the
Linux program's Qt packages named, and SHA256SUMS matching."""

import hashlib
import html
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# What the Linux program needs from Debian 12 beyond the base system: the Qt 6
# runtime (the X11 platform plugin is a package of its own) and a Japanese face.
LINUX_PACKAGES = ("libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6dbus6",
                  "qt6-qpa-plugins", "fonts-ipafont-gothic")

# Every entry of both archives: (archive, path under its folder, what it must be).
# The guide rows apply when the tree has that guide (guide_sources).
ENTRIES = [
    ("zip", "KelvRx.exe", "pe32"),
    ("zip", "guide-ja.html", "guide-ja"),
    ("zip", "guide-en.html", "guide-en"),
    ("zip", "CHANGELOG.txt", "changelog-crlf"),
    ("tar", "KelvRx", "elf64"),
    ("tar", "guide-ja.html", "guide-ja"),
    ("tar", "guide-en.html", "guide-en"),
    ("tar", "CHANGELOG.md", "changelog"),
    ("tar", "README.txt", "packages"),
]


class Bad(Exception):
    pass


def project_version(root=ROOT):
    with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"^project\(KelvRx\s+VERSION\s+(\d+\.\d+\.\d+)[\s)]", f.read(), re.M)
    if not m:
        raise Bad("CMakeLists.txt has no project(KelvRx VERSION x.y.z)")
    return m.group(1)


def archive_names(version):
    return {"zip": "KelvRx-%s-windows-x86.zip" % version,
            "tar": "KelvRx-%s-linux-x86_64.tar.gz" % version}


def folders(version):
    """The one folder each archive holds: the zip's is copied to C:\\KelvRx."""
    return {"zip": "KelvRx", "tar": "KelvRx-%s" % version}


# Kana are what tells Japanese from Chinese; kanji count with them.
KANA = re.compile(r"[\u3041-\u30ff\uff66-\uff9f]")
JAPANESE = re.compile(r"[\u3041-\u30ff\uff66-\uff9f\u3400-\u9fff]")
LATIN = re.compile(r"[A-Za-z]")


def prose(markup):
    """The running text of Markdown or HTML: code, tags and link targets left
    out, since names such as Kelv.ini stay Latin in any language."""
    text = re.sub(r"<(pre|code|style|script)\b.*?</\1>", " ", markup, flags=re.S | re.I)
    text = re.sub(r"```.*?```|`[^`\n]*`|\]\([^)]*\)|<[^>]*>", " ", text, flags=re.S)
    return html.unescape(text)


def is_japanese(markup):
    """Whether the running text is Japanese: kana in it, and Japanese
    characters outnumbering Latin letters (an English text quoting the
    dialog's Japanese captions is not)."""
    text = prose(markup)
    kana = len(KANA.findall(text))
    return kana >= 20 and len(JAPANESE.findall(text)) > len(LATIN.findall(text))


def guide_sources(root=ROOT):
    """{"ja": path or None, "en": path or None}: docs/operator.md is the
    Japanese guide and docs/operator.en.md the English one; while
    operator.md is still in English and there is no operator.en.md, it is the
    English guide and there is no Japanese one yet."""
    main = os.path.join(root, "docs", "operator.md")
    en = os.path.join(root, "docs", "operator.en.md")
    with open(main, encoding="utf-8") as f:
        main_ja = is_japanese(f.read())
    return {"ja": main if main_ja else None,
            "en": en if os.path.exists(en) else (None if main_ja else main)}


def expected(version, guides):
    """{archive: {path in archive: kind}} for this version and these guides."""
    want = {"zip": {}, "tar": {}}
    for archive, name, kind in ENTRIES:
        lang = kind[len("guide-"):] if kind.startswith("guide-") else None
        if lang and not guides[lang]:
            continue
        want[archive]["%s/%s" % (folders(version)[archive], name)] = kind
    return want


# --- The version resource of a PE file ------------------------------------------

def pe_info(data):
    """machine, optional-header magic, subsystem and the version resource of a
    PE file: {"machine", "magic", "subsystem", "fixed": (file, product) as
    4-tuples, "strings": {key: value}}."""
    if data[:2] != b"MZ":
        raise Bad("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise Bad("no PE signature")
    machine, nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    dirs = opt + (96 if magic == 0x10B else 112)
    res_rva, res_size = struct.unpack_from("<II", data, dirs + 2 * 8)
    sections = []
    for i in range(nsections):
        s = opt + opt_size + 40 * i
        vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, s + 8)
        sections.append((va, max(vsize, rawsize), raw))

    def offset(rva):
        for va, size, raw in sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise Bad("RVA %#x in no section" % rva)

    info = {"machine": machine, "magic": magic, "subsystem": subsystem}
    if not res_rva:
        raise Bad("no resources")
    base = offset(res_rva)

    def entries(at):
        named, ids = struct.unpack_from("<HH", data, base + at + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + at + 16 + 8 * i)
            yield name, target

    # Type 16 (RT_VERSION), its first name, its first language.
    node = next((t for n, t in entries(0) if n == 16), None)
    if node is None:
        raise Bad("no version resource")
    for _ in range(2):
        node = next(entries(node & 0x7FFFFFFF))[1]
    rva, size = struct.unpack_from("<II", data, base + node)
    info.update(version_info(data[offset(rva):offset(rva) + size]))
    return info


def version_info(block):
    """The fixed versions and the strings of a VS_VERSIONINFO block."""
    found = {"fixed": None, "strings": {}}

    def walk(at, end, depth):
        while at + 6 <= end:
            length, value_len, kind = struct.unpack_from("<HHH", block, at)
            if length == 0:
                break
            key_end = at + 6
            while block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[at + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            if depth == 0:
                sig, _, fms, fls, pms, pls = struct.unpack_from("<6I", block, value)
                if sig != 0xFEEF04BD:
                    raise Bad("VS_FIXEDFILEINFO has no signature")
                found["fixed"] = tuple((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
                                       for ms, ls in ((fms, fls), (pms, pls)))
                children = (value + value_len + 3) & ~3
            elif depth == 3:  # a String: its value is text (value_len in characters)
                text = block[value:value + 2 * value_len].decode("utf-16-le")
                found["strings"][key] = text.split("\0")[0]
                children = at + length
            else:
                children = (value + (value_len if kind == 0 else 2 * value_len) + 3) & ~3
            if depth < 3 and (depth != 1 or key == "StringFileInfo"):
                walk(children, at + length, depth + 1)
            at = (at + length + 3) & ~3
            if depth == 0:
                break

    walk(0, len(block), 0)
    return found


# --- The check ------------------------------------------------------------------

def read_archive(path, kind):
    """{name: bytes} of a file's entries (folders left out)."""
    if kind == "zip":
        with zipfile.ZipFile(path) as z:
            return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    with tarfile.open(path, "r:gz") as t:
        return {m.name: t.extractfile(m).read() for m in t.getmembers() if m.isfile()}


def check_pe32(data, version, _):
    info = pe_info(data)
    want = tuple(int(n) for n in version.split(".")) + (0,)
    if (info["machine"], info["magic"]) != (0x14C, 0x10B):
        return "not a 32-bit x86 program (machine %#x, magic %#x)" % (info["machine"],
                                                                     info["magic"])
    if info["subsystem"] != 2:
        return "subsystem %d, not a windowed program" % info["subsystem"]
    if info["fixed"] != (want, want):
        return "fixed file/product version %s, not %s" % (info["fixed"], want)
    got = {k: info["strings"].get(k) for k in ("FileVersion", "ProductVersion")}
    if got != {"FileVersion": version, "ProductVersion": version}:
        return "version strings %s, not %s" % (got, version)
    return None


def check_elf64(data, version, _):
    if data[:5] != b"\x7fELF\x02" or struct.unpack_from("<H", data, 18)[0] != 62:
        return "not a 64-bit x86 ELF program"
    # QCoreApplication::applicationVersion is set from a UTF-16 literal.
    if version.encode("utf-16-le") not in data:
        return "the project's version is not in the program"
    return None


def check_guide(lang):
    def check(data, _, __):
        text = data.decode("utf-8")
        if not re.search(r'<html[^>]*\blang="%s"' % lang, text):
            return "not marked lang=\"%s\"" % lang
        if is_japanese(text) != (lang == "ja"):
            return "its text is %sJapanese" % ("not " if lang == "ja" else "")
        # A PC without network or Markdown viewer shows it whole: pictures inside.
        outside = re.findall(r'<img[^>]*\bsrc="(?!data:)([^"]*)"', text)
        if outside:
            return "pictures outside the file: %s" % ", ".join(outside)
        return None
    return check


def check_changelog(crlf):
    def check(data, version, _):
        text = data.decode("utf-8-sig")
        if not re.search(r"^## \[%s\] - \d{4}-\d\d-\d\d\r?$" % re.escape(version), text, re.M):
            return "no section '## [%s] - <date>'" % version
        if crlf and text.count("\n") != text.count("\r\n"):
            return "not CR LF lines"
        return None
    return check


def check_packages(data, _, files):
    """The line names every Debian package that brings a Qt library the
    program is linked with (asked of dpkg where the machine has them)."""
    text = data.decode("utf-8")
    line = next((l for l in text.splitlines() if "apt install" in l), "")
    named = set(line.split("apt install", 1)[-1].split())
    if not set(LINUX_PACKAGES) <= named:
        return "the packages line names %s, not all of %s" % (sorted(named), LINUX_PACKAGES)
    if not shutil.which("dpkg") or not shutil.which("ldd"):
        return None
    program = next(d for n, d in files.items() if n.endswith("/KelvRx"))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "KelvRx")
        with open(path, "wb") as f:
            f.write(program)
        libs = re.findall(r"=> (/\S*libQt6\S*)", subprocess.run(
            ["ldd", path], capture_output=True, text=True).stdout)
    if not libs:
        return "ldd names no Qt library of the program"
    for lib in libs:
        r = subprocess.run(["dpkg", "-S", lib], capture_output=True, text=True)
        owner = r.stdout.split(":")[0] if r.returncode == 0 else None
        if owner and owner not in named:
            return "%s comes from %s, which the packages line does not name" % (lib, owner)
    return None


CHECKS = {"pe32": check_pe32, "elf64": check_elf64, "guide-ja": check_guide("ja"),
          "guide-en": check_guide("en"), "changelog": check_changelog(False),
          "changelog-crlf": check_changelog(True), "packages": check_packages}


def check(folder, version, guides):
    """What is wrong with the archives and sums in folder, as a list."""
    wrong = []
    names = archive_names(version)
    for archive, want in expected(version, guides).items():
        path = os.path.join(folder, names[archive])
        if not os.path.exists(path):
            wrong.append("%s is missing" % names[archive])
            continue
        files = read_archive(path, archive)
        for extra in sorted(set(files) - set(want)):
            wrong.append("%s holds %s, which it should not" % (names[archive], extra))
        for name, kind in sorted(want.items()):
            if name not in files:
                wrong.append("%s lacks %s" % (names[archive], name))
                continue
            try:
                fault = CHECKS[kind](files[name], version, files)
            except (Bad, struct.error, StopIteration, UnicodeDecodeError) as e:
                fault = "unreadable: %s" % (e or type(e).__name__)
            if fault:
                wrong.append("%s: %s: %s" % (names[archive], name, fault))
    sums = os.path.join(folder, "SHA256SUMS")
    listed = {}
    if os.path.exists(sums):
        with open(sums, encoding="utf-8") as f:
            listed = {name.lstrip("*"): digest for digest, name in
                      (l.split(None, 1) for l in f.read().splitlines() if l.strip())}
    for name in names.values():
        path = os.path.join(folder, name)
        if os.path.exists(path):
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            if listed.get(name) != digest:
                wrong.append("SHA256SUMS does not hold %s's sum" % name)
    if set(listed) - set(names.values()):
        wrong.append("SHA256SUMS lists other files: %s" % sorted(set(listed) - set(names.values())))
    return wrong


def main(argv):
    try:
        if argv[:1] == ["version"]:
            print(project_version())
        elif argv[:1] == ["guides"]:
            for lang, path in guide_sources().items():
                if path:
                    print(lang, os.path.relpath(path, ROOT))
        elif argv[:1] == ["check"] and len(argv) == 2:
            version = project_version()
            guides = guide_sources()
            wrong = check(argv[1], version, guides)
            for w in wrong:
                print("release check: " + w)
            if wrong:
                return 1
            want = expected(version, guides)
            print("release check passed: %s (%d entries), %s (%d entries), SHA256SUMS; "
                  "the exe's version resource says %s; guides: %s" % (
                      archive_names(version)["zip"], len(want["zip"]),
                      archive_names(version)["tar"], len(want["tar"]), version,
                      ", ".join(l for l in ("ja", "en") if guides[l])))
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except Bad as e:
        print("release: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
