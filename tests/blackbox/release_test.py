#!/usr/bin/env python3
"""The rules of the release archives that need no build: which text counts as
the Japanese guide, which guides a tree gives, and that the changelog has a
section for the project's version. The archives themselves are checked in the
Windows stage (scripts/release.sh --trial)."""

import os
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from kelvdrive import release  # noqa: E402

JA = ("# 機械のそばで\n\nプログラムを置くフォルダーは、オペレーターが書き込めるところにします。"
      "`Kelv.ini` と `Rx.nc` はプログラムの横に保存されます。受信開始を押してから、"
      "制御装置で送信を始めてください。[Windows](windows.md)\n")
ZH = "# 在机床旁\n\n程序放在操作员可以写入的文件夹中。设置和接收的程序保存在程序旁边。" * 3


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


class Guides(unittest.TestCase):
    def test_japanese_text(self):
        cases = [
            ("a Japanese guide with code and links", JA, True),
            ("the same as HTML", "<p>" + JA.replace("`", "<code>", 1) + "</p>", True),
            ("the English guide, which quotes the Japanese captions",
             read(os.path.join(ROOT, "docs", "operator.en.md"))
             if os.path.exists(os.path.join(ROOT, "docs", "operator.en.md"))
             else read(os.path.join(ROOT, "README.md")), False),
            ("Chinese: kanji without kana", ZH, False),
            ("a few Japanese words in English", "Press 受信開始 and then 閉じる. " * 20, False),
        ]
        for name, text, want in cases:
            with self.subTest(name):
                self.assertEqual(release.is_japanese(text), want)

    def test_sources_of_a_tree(self):
        cases = [
            # operator.md, operator.en.md or None, the guides: (ja, en)
            (JA, "# At the machine\n", ("operator.md", "operator.en.md")),
            ("# At the machine\n", None, (None, "operator.md")),
            (JA, None, ("operator.md", None)),
        ]
        for main, en, want in cases:
            with self.subTest(want=want), tempfile.TemporaryDirectory() as root:
                os.mkdir(os.path.join(root, "docs"))
                for name, text in (("operator.md", main), ("operator.en.md", en)):
                    if text is not None:
                        with open(os.path.join(root, "docs", name), "w", encoding="utf-8") as f:
                            f.write(text)
                got = release.guide_sources(root)
                self.assertEqual(tuple(got[l] and os.path.basename(got[l]) for l in ("ja", "en")),
                                 want)
                entries = release.expected("1.2.3", got)
                self.assertEqual("KelvRx/guide-ja.html" in entries["zip"], want[0] is not None)
                self.assertEqual("KelvRx-1.2.3/guide-en.html" in entries["tar"],
                                 want[1] is not None)


class Changelog(unittest.TestCase):
    def test_has_the_project_versions_section(self):
        # A version raised in CMakeLists.txt without its changelog section fails here.
        version = release.project_version()
        with open(os.path.join(ROOT, "CHANGELOG.md"), "rb") as f:
            text = f.read()
        self.assertIsNone(release.check_changelog(False)(text, version, {}))
        crlf = text.replace(b"\n", b"\r\n")
        self.assertIsNone(release.check_changelog(True)(b"\xef\xbb\xbf" + crlf, version, {}))
        self.assertIsNotNone(release.check_changelog(True)(text, version, {}))


if __name__ == "__main__":
    unittest.main(verbosity=2)
