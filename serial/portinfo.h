// What a port name leads to on this machine, for showing it to the operator:
// found out from the file system's entries alone, never by opening the device
// (an open would raise the modem lines of a port another program may use).
#pragma once

#include <string>

#include "lineprops.h"

namespace portinfo {

struct PortTarget {
  // The device the name is opened as: on Linux the path ResolvePortName gives
  // ("" when the name leads nowhere), on Windows "\\.\" + the name.
  std::string device;
  // Where a link (such as /dev/serial/by-id/...) ends; "" when `device` is no
  // link or the link is broken. On Windows the system's device behind the
  // name (such as \Device\Serial0).
  std::string resolved;
  // The device is there: a character device (on Linux, and for the fixed
  // "/dev/ttyS" ports one with a real UART behind it), or on Windows a port
  // the system knows by that name.
  bool exists = false;
  // The device is there, but this user may not open it for reading and
  // writing, as far as the system tells without opening it: on Linux the
  // device's permissions against the user and the user's groups. On Windows
  // only opening tells: never set there.
  bool denied = false;
  // With `denied`: the group whose members may open the device (file system
  // bytes), or "" when its members may not either.
  std::string group;
};

PortTarget Describe(const std::string& portname, const PortMap& map);

}  // namespace portinfo
