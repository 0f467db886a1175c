"""Drives the built program from outside, as the operator at the machine and the
CNC control on the other end of the line would: an X server of its own, the
program's window and keys, the line on a pseudo-terminal, Wine for KelvRx.exe.

  proc     waits with deadlines, stopping processes, who holds a device
  xserver  Xvfb on a free display
  window   the program's window: finding it, keys, pictures
  line     the control's side: ncsend on a pty, or a far end of our own
  kelvrx   the Linux program in a folder of its own, and what Rx.nc must hold
  wine     a private Wine prefix set up for KelvRx.exe, its COM ports on ptys,
           and one receive by KelvRx.exe from ncsend
  guest    a QEMU guest with Debian's kernel whose 16550 and USB adapter are
           played from here, the adapter pulled out and plugged back

Commands (python3 -m kelvdrive.NAME; the scripts in scripts/ call them):
  demo      a whole transfer, worked by itself without a display (--wine:
            KelvRx.exe under Wine)
  picture   the dialog at its first start as a PNG
  winstage  the Windows stage of the test suite under Wine
  guestline the stage "Real serial drivers (Linux guest)"
"""
