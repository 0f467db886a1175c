#include "serialdev_termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace serialdev {

namespace {

void ToView(const termios2& k, serialtables::LineTermios& t) {
  t.iflag = k.c_iflag;
  t.oflag = k.c_oflag;
  t.cflag = k.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD);
  t.lflag = k.c_lflag;
  t.speed = k.c_ospeed;
  t.vstart = k.c_cc[VSTART];
  t.vstop = k.c_cc[VSTOP];
}

}  // namespace

bool ReadTermios2(int fd, serialtables::LineTermios& t) {
  termios2 k{};
  if (ioctl(fd, TCGETS2, &k) != 0) return false;
  ToView(k, t);
  return true;
}

bool WriteTermios2(int fd, const serialtables::LineTermios& t, serialtables::LineTermios& applied) {
  termios2 k{};
  if (ioctl(fd, TCGETS2, &k) != 0) return false;
  k.c_iflag = t.iflag;
  k.c_oflag = t.oflag;
  k.c_lflag = t.lflag;
  // With CIBAUD 0 the input runs at the output speed.
  k.c_cflag = (t.cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD)) | BOTHER;
  k.c_ospeed = t.speed;
  k.c_ispeed = t.speed;
  k.c_cc[VSTART] = t.vstart;
  k.c_cc[VSTOP] = t.vstop;
  k.c_cc[VMIN] = 0;
  k.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &k) != 0) return false;
  termios2 back{};
  if (ioctl(fd, TCGETS2, &back) != 0) return false;
  ToView(back, applied);
  return true;
}

}  // namespace serialdev
