#!/usr/bin/env python3
"""The Windows stage's guard against real serial ports: Wine's default COM
ports lead to the machine's /dev/ttyS*, so any COM1..COM9 link of the prefix
that leads elsewhere than the stage mapped it must be found before a program
that opens COM ports runs. Checked on prefixes made here, without Wine."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from kelvdrive.wine import foreign_links, port_map  # noqa: E402

# The prefix's links are compared as text: where it lies does not matter.
PREFIX = "/tmp/wineprefix.test"
PORTS = port_map(PREFIX, COM99="/dev/pts/1")
MAPPED = {n.lower(): t for n, t in PORTS.items()}

CASES = [
    # what, links in dosdevices (name: target), the names that must be found
    ("Wine's default COM1 is the first UART", {"com1": "/dev/ttyS0"}, ["COM1"]),
    ("a USB adapter Wine found", {"com3": "/dev/ttyUSB0"}, ["COM3"]),
    ("no links at all", {}, []),
    ("every port mapped", MAPPED, []),
    ("COM9 left on a UART", dict(MAPPED, com9="/dev/ttyS8"), ["COM9"]),
    ("COM1 on a pty that is not the test's", dict(MAPPED, com1="/dev/pts/99"), ["COM1"]),
    ("two left on UARTs", dict(MAPPED, com2="/dev/ttyS1", com4="/dev/ttyS3"),
     ["COM2", "COM4"]),
    ("a port beyond COM9 is not opened", dict(MAPPED, com33="/dev/ttyUSB0"), []),
]


class PortLinks(unittest.TestCase):
    def test_foreign_links_are_found(self):
        for what, links, want in CASES:
            with self.subTest(what), tempfile.TemporaryDirectory() as prefix:
                os.mkdir(os.path.join(prefix, "dosdevices"))
                for name, target in links.items():
                    os.symlink(target, os.path.join(prefix, "dosdevices", name))
                self.assertEqual([n for n, _ in foreign_links(prefix, PORTS)], want)


if __name__ == "__main__":
    unittest.main()
