#include <windows.h>

#include "portinfo.h"

namespace portinfo {

PortTarget Describe(const std::string& portname, const PortMap&) {
  PortTarget t;
  std::string name = portname;
  if (name.compare(0, 4, "\\\\.\\") == 0) name.erase(0, 4);
  if (!name.empty() && name.back() == ':') name.pop_back();
  if (name.empty()) return t;
  t.device = "\\\\.\\" + name;
  // The system's table of device names; the port itself stays closed.
  char target[1024];
  t.exists = QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
  if (t.exists) t.resolved = target;
  return t;
}

}  // namespace portinfo
