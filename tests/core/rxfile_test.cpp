#include "rxfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "apperror.h"
#include "fileio.h"
#include "rxlog.h"
#include "sjis.h"
#include "tempdir.h"

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#endif

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const std::string kCreatePrefix = "\x83\x74\x83\x40\x83\x43\x83\x8b\x20\x22";  // ファイル "
const std::string kCreateMiddle =
    "\x22\x20\x82\xf0\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x81\x42";
const std::string kWriteError =
    "\x83\x58\x83\x67\x83\x8a\x81\x5b\x83\x80\x82\xd6\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83"
    "\x47\x83\x89\x81\x5b";

class RxFile : public ::testing::Test {
 protected:
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }
  // The create error for `path`, with any system text after it.
  static void ExpectCreateError(const kelv::AppError& e, const std::string& path) {
    const std::string what = e.what();
    const std::string head = kCreatePrefix + path + kCreateMiddle;
    EXPECT_EQ(what.substr(0, head.size()), head);
    EXPECT_GT(what.size(), head.size()) << "system error text missing";
  }

  testfs::TempDir tmp_{"kelv-rxfile-"};
  fs::path dir_ = tmp_.path();
  std::string path_ = tmp_.File("Rx.nc");
};

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

TEST_F(RxFile, ExactBytes) {
  const std::string longline(200'000, 'X');
  Lines many;
  std::string many_want;
  for (int i = 0; i < 20000; ++i) {
    many.push_back("N" + std::to_string(i));
    many_want += many.back() + "\r\n";
  }
  const struct {
    const char* name;
    Lines lines;
    std::string want;
  } cases[] = {
      {"program", {"%", "O1234", "G01 X10.", "%"}, "%\r\nO1234\r\nG01 X10.\r\n%\r\n"},
      {"empty lines give CR LF alone", {"", "A", ""}, "\r\nA\r\n\r\n"},
      {"bytes as stored, no conversion",
       {Bytes({0, 'G', 0x10, 0x7F}), Bytes({0x81, 0x40, 0x82, 0xa0, 0xFF}), "\xEF\xBB\xBF"},
       Bytes({0, 'G', 0x10, 0x7F, 0x0D, 0x0A, 0x81, 0x40, 0x82, 0xa0, 0xFF, 0x0D, 0x0A, 0xEF, 0xBB,
              0xBF, 0x0D, 0x0A})},
      {"a line longer than the write buffer",
       {"A", longline, "B"},
       "A\r\n" + longline + "\r\nB\r\n"},
      {"many lines across buffer boundaries", many, many_want},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kelv::WriteRxFile(path_, c.lines);
    EXPECT_TRUE(testfs::Slurp(path_) == c.want);
    EXPECT_EQ(Names(), std::set<std::string>{"Rx.nc"});
    // The same content already in the file's form, in two blocks.
    const size_t half = c.want.size() / 2;
    kelv::WriteRxFileBlocks(path_, {c.want.substr(0, half), c.want.substr(half)});
    EXPECT_TRUE(testfs::Slurp(path_) == c.want);
    EXPECT_EQ(Names(), std::set<std::string>{"Rx.nc"});
  }
}

TEST_F(RxFile, ReplacesALongerFileWhole) {
  testfs::Spit(path_, std::string(100'000, 'o') + "\r\n");
  kelv::WriteRxFile(path_, {"%", "%"});
  EXPECT_EQ(testfs::Slurp(path_), "%\r\n%\r\n");
  EXPECT_EQ(Names(), std::set<std::string>{"Rx.nc"});
}

TEST_F(RxFile, NoLinesTouchNothing) {
  kelv::WriteRxFile(path_, {});
  EXPECT_FALSE(fs::exists(path_));
  testfs::Spit(path_, "OLD\r\n");
  kelv::WriteRxFile(path_, {});
  kelv::WriteRxFileBlocks(path_, {});
  EXPECT_EQ(testfs::Slurp(path_), "OLD\r\n");
  EXPECT_EQ(Names(), std::set<std::string>{"Rx.nc"});
}

TEST_F(RxFile, LeftoversInTheWayOfTheTemporaryFile) {
  // What an interrupted save (or anything else) left under the first
  // temporary names must neither block the save nor be destroyed.
  const std::string first = kelv::fileio::TemporaryName(path_, 0);
  const std::string second = kelv::fileio::TemporaryName(path_, 1);
  fs::create_directory(first);
  testfs::Spit(second, "stale");
  testfs::Spit(path_, "OLD\r\n");
  kelv::WriteRxFile(path_, {"NEW"});
  EXPECT_EQ(testfs::Slurp(path_), "NEW\r\n");
  EXPECT_TRUE(fs::is_directory(first));
  EXPECT_EQ(testfs::Slurp(second), "stale");
  EXPECT_EQ(Names(), (std::set<std::string>{"Rx.nc", kelv::fileio::FileNameOf(first),
                                            kelv::fileio::FileNameOf(second)}));
}

TEST_F(RxFile, CannotCreate) {
  // Each of these fails whoever runs the test, root included.
  const std::string file = (dir_ / "plain").string();
  testfs::Spit(file, "plain");
  const struct {
    const char* name;
    std::string path;
  } cases[] = {
      {"directory in place of the file", path_},
      {"parent is a regular file", file + "/Rx.nc"},
      {"parent missing", (dir_ / "missing" / "Rx.nc").string()},
  };
  fs::create_directory(path_);
  testfs::Spit(path_ + "/inside", "kept");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      kelv::WriteRxFile(c.path, {"%", "G01"});
      ADD_FAILURE() << "no error";
    } catch (const kelv::AppError& e) {
      ExpectCreateError(e, c.path);
    }
    EXPECT_EQ(Names(), (std::set<std::string>{"Rx.nc", "plain"})) << "temporary file left";
    EXPECT_EQ(testfs::Slurp(path_ + "/inside"), "kept");
    EXPECT_EQ(testfs::Slurp(file), "plain");
  }
}

// The files of the directory with their contents; a directory reads "<dir>".
std::map<std::string, std::string> Contents(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    files[e.path().filename().string()] =
        e.is_directory() ? "<dir>" : testfs::Slurp(e.path().u8string());
  }
  return files;
}

// The earlier programs before a new Rx.nc: numbered copies, newest first.
TEST_F(RxFile, EarlierProgramsKeptAsNumberedCopies) {
  using Files = std::map<std::string, std::string>;
  const struct {
    const char* name;
    int keep;
    Files before;
    Files after;  // once the new program "NEW" is written
    std::string made;
  } rows[] = {
      {"no program yet", 5, {}, {{"Rx.nc", "NEW\r\n"}}, ""},
      {"the first copy", 5, {{"Rx.nc", "A"}}, {{"Rx.nc", "NEW\r\n"}, {"Rx.1.nc", "A"}}, "Rx.1.nc"},
      {"the chain moves on, newest first", 3,
       {{"Rx.nc", "C"}, {"Rx.1.nc", "B"}, {"Rx.2.nc", "A"}},
       {{"Rx.nc", "NEW\r\n"}, {"Rx.1.nc", "C"}, {"Rx.2.nc", "B"}, {"Rx.3.nc", "A"}}, "Rx.1.nc"},
      {"the oldest beyond the number goes", 2,
       {{"Rx.nc", "C"}, {"Rx.1.nc", "B"}, {"Rx.2.nc", "A"}},
       {{"Rx.nc", "NEW\r\n"}, {"Rx.1.nc", "C"}, {"Rx.2.nc", "B"}}, "Rx.1.nc"},
      {"a gap in the chain stays a gap", 3, {{"Rx.nc", "C"}, {"Rx.2.nc", "A"}},
       {{"Rx.nc", "NEW\r\n"}, {"Rx.1.nc", "C"}, {"Rx.3.nc", "A"}}, "Rx.1.nc"},
      {"0 keeps none", 0, {{"Rx.nc", "A"}, {"Rx.1.nc", "B"}},
       {{"Rx.nc", "NEW\r\n"}, {"Rx.1.nc", "B"}}, ""},
      {"the copy cannot be made: the program is written all the same", 1,
       {{"Rx.nc", "A"}, {"Rx.1.nc", "<dir>"}}, {{"Rx.nc", "NEW\r\n"}, {"Rx.1.nc", "<dir>"}}, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    for (const auto& e : fs::directory_iterator(dir_)) fs::remove_all(e.path());
    for (const auto& [name, content] : r.before) {
      if (content == "<dir>") {
        fs::create_directories(dir_ / name / "inside");
      } else {
        testfs::Spit(tmp_.File(name), content);
      }
    }
    const kelv::BackupResult b = kelv::KeepPrevious(path_, r.keep);
    kelv::WriteRxFile(path_, {"NEW"});
    EXPECT_EQ(Contents(dir_), r.after);
    EXPECT_EQ(b.made.empty() ? "" : fs::u8path(b.made).filename().u8string(), r.made);
    EXPECT_EQ(b.failure.empty(), r.made != "" || r.keep == 0 || r.before.empty());
  }
  EXPECT_EQ(kelv::BackupPath("/a.b/Kept", 2), "/a.b/Kept.2");
}

// The reception log: one line per reception under a heading, code page 932
// and CR LF, a new file past its size with the one before kept.
TEST_F(RxFile, ReceptionLog) {
  using kelv::Sjis;
  kelv::ReceptionLogEntry e;
  e.when = "2026-12-09 10:21:27";
  e.preset = 2;
  e.button = Sjis("旋盤\t2");
  e.port = "COM3";
  e.baud = 9600;
  e.code = "ISO";
  e.start_mode = Sjis("DC2で開始、DC4で終了");
  e.bytes = 1234;
  e.lines = 56;
  e.program = "O1234";
  e.ending = Sjis("途中終了");
  e.file = "Rx.nc";
  const std::string line = kelv::ReceptionLogLine(e);
  EXPECT_EQ(line, "2026-12-09 10:21:27\t2\t" + Sjis("旋盤 2") + "\tCOM3\t9600\tISO\t" +
                      Sjis("DC2で開始、DC4で終了") + "\t1234\t56\tO1234\t" + Sjis("途中終了") +
                      "\t" + Sjis("なし") + "\tRx.nc\t-\r\n");

  const std::string log = tmp_.File("Rx.log");
  const std::string heading = kelv::ReceptionLogHeading();
  ASSERT_TRUE(kelv::AppendReceptionLog(log, line));
  ASSERT_TRUE(kelv::AppendReceptionLog(log, line));
  EXPECT_EQ(testfs::Slurp(log), heading + line + line);
  const std::string full(kelv::kRxLogMax, 'x');
  testfs::Spit(log, full);
  ASSERT_TRUE(kelv::AppendReceptionLog(log, line));
  EXPECT_EQ(testfs::Slurp(log), heading + line);
  EXPECT_TRUE(testfs::Slurp(tmp_.File("Rx.1.log")) == full);
  // A log that cannot be written is only reported.
  EXPECT_FALSE(kelv::AppendReceptionLog(dir_.u8string(), line));

  const struct {
    std::vector<std::string> content;
    std::string number;
  } programs[] = {
      {{"%\r\nO1234 (O9 PLATE)\r\n"}, "O1234"},
      {{"%\r\n(O999 COMMENT)\r\n", ":0042\r\nO7\r\n"}, ":0042"},
      {{"(UNCLOSED O5\r\nN10 O12\r\n"}, "O12"},
      {{"%\r\nG01 X1.\r\nOX\r\n"}, ""},
      // Only where a block begins: after blanks, "/" and N..., in either order.
      {{"%\r\nGOTO10\r\nO1004\r\n"}, "O1004"},
      {{"%\r\nN5 G0 O7\r\n/N10O20\r\n"}, "O20"},
      {{" N10 / :0300\r\n"}, ":0300"},
      {{"%\r\n(O999)\r\nM98 P1 O3\r\n"}, ""},
  };
  for (const auto& p : programs) EXPECT_EQ(kelv::FirstProgramNumber(p.content), p.number);
}

#ifndef _WIN32
// Child side: a file-size limit makes the write itself fail, after the file
// was created.
[[noreturn]] void WriteBeyondSizeLimit(const std::string& path) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit lim{4096, 4096};
  setrlimit(RLIMIT_FSIZE, &lim);
  try {
    kelv::WriteRxFile(path, {std::string(100'000, 'A'), "B"});
  } catch (const kelv::AppError& e) {
    std::_Exit(e.what() == kWriteError ? 0 : 2);
  }
  std::_Exit(3);
}

TEST_F(RxFile, WriteFailureKeepsTheOldFile) {
  // The child must write into this test's directory: fork, do not re-run.
  GTEST_FLAG_SET(death_test_style, "fast");
  testfs::Spit(path_, "OLD\r\n");
  EXPECT_EXIT(WriteBeyondSizeLimit(path_), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(testfs::Slurp(path_), "OLD\r\n");
  EXPECT_EQ(Names(), std::set<std::string>{"Rx.nc"});
}
#endif

}  // namespace
