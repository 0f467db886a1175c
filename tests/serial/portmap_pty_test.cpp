// The port map read from "Kelv.ini" at every opening, and what a port name
// leads to, against real files and pseudo-terminals.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "portinfo.h"
#include "presets.h"
#include "ptypair.h"
#include "sjis.h"
#include "tempdir.h"

namespace fs = std::filesystem;

namespace {

using namespace ptytest;

class PortMapFile : public ::testing::Test {
 protected:
  void Map(const std::string& com3) {
    std::ofstream(ini_, std::ios::binary)
        << "[Set]\r\nActive=0\r\n[Ports]\r\nCOM3=" << com3 << "\r\n";
  }
  testfs::TempDir tmp_{"kelv-ports-"};
  fs::path dir_ = tmp_.path();
  std::string ini_ = tmp_.File("Kelv.ini");
};

// An operator who fixes the map after "回線が開けません" retries without
// restarting: each Open reads the file again.
TEST_F(PortMapFile, EveryOpenReadsTheMapAgain) {
  FarEnd first, second;
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  Trs232c p(nullptr);
  p.rxtimeout = 5000;
  p.portname = "COM3";
  kelv::ReadPortMapAtOpen(p, ini_);

  Map((dir_ / "no-such-device").string());
  EXPECT_FALSE(p.Open());
  Map(first.path());
  ASSERT_TRUE(p.Open());
  ASSERT_TRUE(first.Send("A"));
  uint8_t b = 0;
  ASSERT_TRUE(p.ReadByte(b));
  EXPECT_EQ(b, 'A');
  ASSERT_TRUE(p.Close());

  Map(second.path());
  ASSERT_TRUE(p.Open());
  ASSERT_TRUE(second.Send("B"));
  ASSERT_TRUE(p.ReadByte(b));
  EXPECT_EQ(b, 'B');
  EXPECT_EQ(p.portmap, (PortMap{{"COM3", second.path()}}));
}

// Where a name leads, found without opening anything: a link the map names
// (as /dev/serial/by-id/... are), a missing device, a file that is no device.
TEST_F(PortMapFile, DescribeTellsWhereANameLeads) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  const std::string link = (dir_ / "usb-FTDI_FT232R_A1B2C3-if00-port0").string();
  fs::create_symlink(far.path(), link);
  const std::string dangling = (dir_ / "gone").string();
  fs::create_symlink(dir_ / "nothing", dangling);
  const std::string plain = (dir_ / "plain").string();
  std::ofstream(plain) << "x";
  const PortMap map = {{"COM1", link},
                       {"com2", far.path()},
                       {"COM3", (dir_ / "ttyUSB9").string()},
                       {"COM4", dangling},
                       {"COM5", plain}};
  const struct {
    const char* name;
    std::string device;
    std::string resolved;
    bool exists;
  } cases[] = {
      {"COM1", link, far.path(), true},
      {"Com2", far.path(), "", true},
      {"COM3", (dir_ / "ttyUSB9").string(), "", false},
      {"COM4", dangling, "", false},
      {"COM5", plain, "", false},
      {"NOPORT", "", "", false},
  };
  for (const auto& c : cases) {
    const portinfo::PortTarget t = portinfo::Describe(c.name, map);
    EXPECT_EQ(t.device, c.device) << c.name;
    EXPECT_EQ(t.resolved, c.resolved) << c.name;
    EXPECT_EQ(t.exists, c.exists) << c.name;
  }
  // A path is used as it is; an unmapped name is the fixed port (looked at,
  // never opened).
  EXPECT_EQ(portinfo::Describe(far.path(), {}).device, far.path());
  EXPECT_TRUE(portinfo::Describe(far.path(), {}).exists);
  EXPECT_EQ(portinfo::Describe("COM7", map).device, "/dev/ttyS6");
  // Describing opened nothing: an exclusive opener still gets the port.
  Trs232c p(nullptr);
  UsePty(p, far);
  EXPECT_TRUE(p.Open());
}

}  // namespace

namespace {

// The hint the port list shows for each name: where it leads, the device a
// link ends at, and whether it is there; nothing is opened to find out.
TEST(PortHint, WhereEachNameLeads) {
  testfs::TempDir tmp("kelv-hint-");
  const fs::path dir = tmp.path();
  const std::string link = (dir / "by-id-adapter").string();
  fs::create_symlink("/dev/null", link);
  const std::string missing = (dir / "gone").string();
  const PortMap map{{"COM1", link}, {"COM2", missing}, {"COM3", "/dev/null"}};
  const struct {
    const char* name;
    std::string want;
  } cases[] = {
      {"COM1", "COM1" + kelv::Sjis(" → ") + link + " (/dev/null)"},
      {"COM2", "COM2" + kelv::Sjis(" → ") + missing + kelv::Sjis("：見つかりません")},
      {"COM3", "COM3" + kelv::Sjis(" → ") + "/dev/null"},
  };
  for (const auto& c : cases) EXPECT_EQ(kelv::PortHint(c.name, map), c.want) << c.name;
}

}  // namespace

namespace {

// The hint as the user "nobody" sees it, with `groups` as its groups.
std::string HintAsNobody(const std::string& name, const PortMap& map,
                         const std::vector<gid_t>& groups) {
  constexpr uid_t kNobody = 65534;
  int out[2];
  if (::pipe(out) != 0) return "<no pipe>";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(kNobody) != 0 ||
        ::setuid(kNobody) != 0) {
      ::_exit(2);
    }
    const std::string hint = kelv::PortHint(name, map);
    ::_exit(::write(out[1], hint.data(), hint.size()) == static_cast<ssize_t>(hint.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string hint;
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) {
    hint.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? hint : "<child failed>";
}

// A device the operator may not open is told at its name, with the group to
// join where joining would help; told from its mode and group against the
// user's groups, without opening it. The device is a pseudo-terminal given
// the mode and group of a serial port.
TEST(PortHint, SaysWhenTheUserMayNotOpenTheDevice) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const struct group* dialout = ::getgrnam("dialout");
  if (!dialout) GTEST_SKIP() << "no group dialout on this machine";
  const gid_t gid = dialout->gr_gid;
  FarEnd far;
  ASSERT_TRUE(far.ok());
  ASSERT_EQ(::chown(far.path().c_str(), 0, gid), 0);
  const PortMap map{{"COM1", far.path()}};
  const std::string at = "COM1" + kelv::Sjis(" → ") + far.path();
  const struct {
    mode_t mode;
    std::vector<gid_t> groups;
    std::string want;
  } cases[] = {
      {0660, {}, at + kelv::Sjis("：権限がありません（dialout グループに追加してください）")},
      {0660, {gid}, at},
      // The group may not either: joining it would not help.
      {0600, {}, at + kelv::Sjis("：権限がありません")},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(::chmod(far.path().c_str(), c.mode), 0);
    EXPECT_EQ(HintAsNobody("COM1", map, c.groups), c.want)
        << std::oct << c.mode << std::dec << " in " << c.groups.size() << " group(s)";
  }
}

}  // namespace
