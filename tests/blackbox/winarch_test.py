#!/usr/bin/env python3
"""Which Wine the Windows stage takes: scripts/winarch.sh says the path and
why in one line, a forced KELV_WIN_ARCH is honoured or refused with its
reason, and the Wine driver follows the choice already made instead of
asking again."""

import os
import subprocess
import sys
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from kelvdrive import wine  # noqa: E402


def winarch(forced):
    env = {k: v for k, v in os.environ.items() if not k.startswith("KELV_WIN_ARCH")}
    if forced is not None:
        env["KELV_WIN_ARCH"] = forced
    r = subprocess.run([os.path.join(ROOT, "scripts", "winarch.sh")], env=env,
                       capture_output=True, text=True)
    return r.returncode, r.stdout.strip(), r.stderr.strip()


class WinArch(unittest.TestCase):
    def test_choice_is_said_and_forcing_honoured(self):
        status, line, _ = winarch(None)
        self.assertEqual(status, 0)
        native, _, why = line.partition(" ")
        self.assertIn(native, ("32", "64"))
        self.assertIn("32-bit x86 programs", why)
        can32 = native == "32"
        cases = [
            # forced, exit status, first word, what stderr must name
            ("64", 0, "64", ""),
            ("32", 0 if can32 else 1, "32" if can32 else "", "" if can32 else "no 32-bit"),
            ("16", 1, "", "must be 32 or 64"),
        ]
        for forced, want_status, want_arch, want_err in cases:
            with self.subTest(forced=forced):
                status, line, err = winarch(forced)
                self.assertEqual(status, want_status, err)
                self.assertEqual(line.split(" ")[0] if line else "", want_arch)
                self.assertIn(want_err, err)

    def test_driver_follows_the_choice_made(self):
        for bits, winearch in (("32", "win32"), ("64", "win64")):
            with self.subTest(bits=bits):
                saved = os.environ.get("KELV_WIN_ARCH")
                os.environ["KELV_WIN_ARCH"] = bits
                try:
                    self.assertEqual(wine.arch(), bits)
                    try:
                        w = wine.Wine("/tmp/wineprefix.test", ":0")
                    except wine.Failure as e:  # that side not installed: said so
                        self.assertIn(wine.PACKAGE[bits], str(e))
                        continue
                    self.assertEqual(w.base_env["WINEARCH"], winearch)
                    self.assertIn("64" if bits == "64" else "wine", os.path.basename(w.wine))
                finally:
                    if saved is None:
                        os.environ.pop("KELV_WIN_ARCH", None)
                    else:
                        os.environ["KELV_WIN_ARCH"] = saved


if __name__ == "__main__":
    unittest.main()
