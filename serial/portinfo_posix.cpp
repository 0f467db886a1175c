#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "portinfo.h"
#include "serialtables.h"

namespace portinfo {
namespace {

// The 8250 driver makes /dev/ttyS0..31 whether or not a UART answers there;
// sysfs tells which have one (type 0 is "no UART"). Other devices have no
// such file and count as there.
bool HasUart(const struct stat& st) {
  const std::string type_file = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                std::to_string(minor(st.st_rdev)) + "/type";
  std::ifstream in(type_file);
  int type = -1;
  if (!(in >> type)) return true;
  return type != 0;
}

}  // namespace

PortTarget Describe(const std::string& portname, const PortMap& map) {
  PortTarget t;
  t.device = serialtables::ResolvePortName(portname, map);
  if (t.device.empty()) return t;
  struct stat lst {};
  if (::lstat(t.device.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char* real = ::realpath(t.device.c_str(), nullptr);
    if (real) {
      t.resolved = real;
      std::free(real);
    }
  }
  struct stat st {};
  t.exists = ::stat(t.device.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && HasUart(st);
  return t;
}

}  // namespace portinfo
