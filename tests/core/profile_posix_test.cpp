// The settings file on POSIX: permissions, links, a full disk, a folder the
// user may not write, and how often a save replaces the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include "presets.h"
#include "profile.h"
#include "profile_fixture.h"
#include "sjis.h"

namespace fs = std::filesystem;

namespace {

namespace profile = kelv::profile;

constexpr uid_t kNobody = 65534;

// Runs `fn` in a child process as an operator who may not write `dir` but
// may write the files the test made writable for all: as root (who may write
// any folder) the user "nobody"; otherwise this user with the folder's write
// permission taken away. The child's result is fn's.
bool AsOperatorInLockedFolder(const fs::path& dir, const std::function<bool()>& fn) {
  const bool root = ::geteuid() == 0;
  if (!root) fs::permissions(dir, fs::perms::owner_write, fs::perm_options::remove);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (root && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(2);
    ::_exit(fn() ? 0 : 1);
  }
  int status = -1;
  ::waitpid(pid, &status, 0);
  if (!root) fs::permissions(dir, fs::perms::owner_write, fs::perm_options::add);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

TEST_F(Profile, ReadingAPipeNeverBlocks) {
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(profile::ReadString("set", "Name1", "1", path_), "1");
  EXPECT_FALSE(profile::WriteString("set", "Name1", "x", path_));
}

// Shop PCs: the program's folder locked, "Kelv.ini" writable for the
// operator. The file is written in place, keeps its inode and permissions.
TEST_F(Profile, LockedFolderWritesTheFileInPlace) {
  const std::string old = "; by hand\r\n[Set]\r\nActive=1\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n";
  Spit(path_, old);
  ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
  const ino_t before = Inode(path_);
  kelv::Settings s;
  s.ActivePreset = 2;
  s.Names[0] = kelv::Sjis("旋盤");
  const std::string want = profile::Update(
      profile::Update(old, "Set", "Active", "2"), "set", "Name1", kelv::Sjis("旋盤"));

  EXPECT_TRUE(AsOperatorInLockedFolder(dir_, [&] {
    return profile::WriteString("Set", "Active", "2", path_) &&
           profile::WriteString("set", "Name1", kelv::Sjis("旋盤"), path_);
  }));
  EXPECT_EQ(Slurp(path_), want);
  EXPECT_EQ(Inode(path_), before);
  EXPECT_EQ(Names(), std::set<std::string>{"Kelv.ini"});

  // The dialog's whole save, and a shorter file than before (cut to length).
  EXPECT_TRUE(AsOperatorInLockedFolder(dir_, [&] {
    try {
      kelv::SaveSettings(s, path_);
      return true;
    } catch (...) {
      return false;
    }
  }));
  EXPECT_EQ(kelv::LoadSettings(path_).ActivePreset, 2);
  EXPECT_EQ(kelv::LoadSettings(path_).Names[0], kelv::Sjis("旋盤"));
  Spit(path_, "[Set]\r\nActive=2\r\n; a long comment that goes away " + std::string(200, 'x'));
  EXPECT_TRUE(AsOperatorInLockedFolder(dir_, [&] {
    return profile::WriteString("Set", "Active", "3", path_);
  }));
  EXPECT_EQ(Slurp(path_),
            "[Set]\r\nActive=3\r\n; a long comment that goes away " + std::string(200, 'x'));
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(Inode(path_), before);
}

// In a locked folder nothing may be created, and a file the operator may not
// write stays as it is.
TEST_F(Profile, LockedFolderRefusesWhatTheOperatorMayNotWrite) {
  EXPECT_FALSE(AsOperatorInLockedFolder(
      dir_, [&] { return profile::WriteString("Set", "Active", "1", path_); }));
  EXPECT_FALSE(fs::exists(path_));

  const std::string old = "[Set]\r\nActive=1\r\n";
  Spit(path_, old);
  ASSERT_EQ(::chmod(path_.c_str(), ::geteuid() == 0 ? 0644 : 0444), 0);
  EXPECT_FALSE(AsOperatorInLockedFolder(
      dir_, [&] { return profile::WriteString("Set", "Active", "2", path_); }));
  EXPECT_EQ(Slurp(path_), old);
  EXPECT_EQ(Names(), std::set<std::string>{"Kelv.ini"});
}

// One save, one replacement of the file: the renames into the folder are
// counted as the kernel reports them.
TEST_F(Profile, ASaveReplacesTheFileOnce) {
  Spit(path_, "[Set]\r\nActive=3\r\n");
  const int in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_GE(::inotify_add_watch(in, dir_.c_str(), IN_MOVED_TO | IN_CREATE), 0);
  kelv::Settings s;
  for (auto& p : s.Presets) p = {1, 4, 0, 0};
  kelv::SaveSettings(s, path_);
  int moved = 0;
  int created = 0;
  alignas(inotify_event) char buf[8192];
  for (;;) {
    const ssize_t n = ::read(in, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      if (ev->mask & IN_MOVED_TO) ++moved;
      if (ev->mask & IN_CREATE) ++created;
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  ::close(in);
  EXPECT_EQ(moved, 1);
  EXPECT_EQ(created, 1);
  EXPECT_EQ(kelv::LoadSettings(path_).Presets[3].BaudIndex, 4);
}

// A full disk, as a file-size limit: the write breaks off after some bytes.
TEST_F(Profile, FullDiskLeavesTheOldFileAndNoTemporary) {
  const std::string old = "[Set]\r\nActive=1\r\n";
  Spit(path_, old);
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = profile::WriteString("set", "Name1", std::string(1000, 'x'), path_);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  EXPECT_EQ(Slurp(path_), old);
  EXPECT_EQ(Names(), std::set<std::string>{"Kelv.ini"});
}

TEST_F(Profile, WritesKeepPermissionsAndFollowLinks) {
  Spit(path_, "[Set]\r\n");
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  ASSERT_TRUE(profile::WriteString("Set", "Active", "1", path_));
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const std::string link = (dir_ / "Link.ini").string();
  fs::create_symlink(path_, link);
  ASSERT_TRUE(profile::WriteString("Set", "Active", "2", link));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Slurp(path_), "[Set]\r\nActive=2\r\n");
}
