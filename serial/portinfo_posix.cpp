#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <vector>

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

std::string GroupName(gid_t gid) {
  std::vector<char> buf(4096);
  struct group g {};
  struct group* found = nullptr;
  while (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) == ERANGE && buf.size() < 1 << 20) {
    buf.resize(buf.size() * 2);
  }
  return found ? std::string(found->gr_name) : std::string();
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
  // The kernel weighs the permissions, access lists and this process's
  // groups as an open would, without opening.
  if (t.exists && ::faccessat(AT_FDCWD, t.device.c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
      errno == EACCES) {
    t.denied = true;
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? static_cast<size_t>(n) : 0);
    if (n > 0 && ::getgroups(n, groups.data()) != n) groups.clear();
    groups.push_back(::getegid());
    const bool in_group = std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    // Joining the group helps only where its members may read and write, and
    // this user is neither one yet nor the owner (whose own bits decide).
    const bool group_may = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (group_may && !in_group && st.st_uid != ::geteuid()) t.group = GroupName(st.st_gid);
  }
  return t;
}

}  // namespace portinfo
