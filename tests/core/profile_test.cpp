// The settings-file layer, on real files in a temporary directory: the same
// tables run on Linux and, cross-built, on Windows (POSIX-only cases are in
// profile_posix_test.cpp).
#include "profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>

#include "fresh_settings.h"
#include "profile_cases.h"
#include "profile_fixture.h"
#include "sjis.h"

namespace fs = std::filesystem;

namespace {

namespace profile = kelv::profile;

// The dialog's save, call for call: "set" must land in the [Set] just written.
TEST_F(Profile, SaveWithoutFileWritesTheTwentyTwoLines) {
  ASSERT_TRUE(profile::WriteInteger("Set", "Active", 0, path_));
  for (int i = 0; i < 4; ++i) {
    const std::string n = std::to_string(i);
    for (const char* key : {"Port", "baudRate", "Start", "CoadType"}) {
      ASSERT_TRUE(profile::WriteInteger("Set", key + n, 0, path_));
    }
  }
  for (int i = 1; i <= 4; ++i) {
    ASSERT_TRUE(profile::WriteString("set", "Name" + std::to_string(i), std::to_string(i), path_));
  }
  EXPECT_EQ(Slurp(path_), kFreshFile);
  EXPECT_EQ(Names(), std::set<std::string>{"Kelv.ini"});  // no temporary file left

  // Saving the same values again changes nothing.
  ASSERT_TRUE(profile::WriteInteger("Set", "Active", 0, path_));
  ASSERT_TRUE(profile::WriteString("set", "Name4", "4", path_));
  EXPECT_EQ(Slurp(path_), kFreshFile);
}

using profile_cases::kHandMade;

// Every row on our layer, on a real file and on the text in memory.
TEST_F(Profile, EditsAndReadsOfTheCaseTable) {
  for (const profile_cases::EditCase& c : profile_cases::EditCases()) {
    SCOPED_TRACE(c.name);
    Spit(path_, c.before);
    std::string in_memory = c.before;
    for (const profile_cases::Write& w : c.writes) {
      ASSERT_TRUE(profile::WriteString(w.section, w.key, w.value, path_)) << w.key;
      in_memory = profile::Update(in_memory, w.section, w.key, w.value);
    }
    EXPECT_EQ(Slurp(path_), c.after);
    EXPECT_EQ(in_memory, c.after) << "the text layer in memory";
    EXPECT_EQ(Names(), std::set<std::string>{"Kelv.ini"});
    for (const profile_cases::Read& r : c.reads) {
      EXPECT_EQ(profile::ReadString(r.section, r.key, r.def, path_), r.want)
          << r.section << "/" << r.key;
      bool found = false;
      const std::string value = profile::Lookup(c.after, r.section, r.key, found);
      EXPECT_EQ(found ? value : std::string(r.def), r.want)
          << "in memory: " << r.section << "/" << r.key;
      // A section's listing gives each value as the single read does.
      const auto listed = profile::ReadSection(r.section, path_);
      const auto it = std::find_if(listed.begin(), listed.end(), [&r](const auto& kv) {
        return kelv::SameIgnoringAsciiCase(kv.first, r.key);
      });
      ASSERT_EQ(it != listed.end(), found) << "listed: " << r.section << "/" << r.key;
      if (found) {
        EXPECT_EQ(it->second, r.want) << "listed: " << r.section << "/" << r.key;
      }
    }
  }
}

TEST_F(Profile, ReadsNumbersByTheNumberRule) {
  const struct {
    const char* text;
    int32_t want;  // default is -77
  } cases[] = {
      {"0x0A", 10},      {"$a", 10},          {"10", 10},     {"X1f", 31},  {"ten", -77},
      {"1O", -77},       {"257", 257},        {"-1", -1},     {"+7", 7},    {"FFFFFFFF", -77},
      {"$FFFFFFFF", -1}, {"2147483648", -77}, {"-0x10", -16}, {"0x", -77},  {"$", -77},
      {"- 1", -77},      {"", -77},           {"  12  ", 12}, {"1 2", -77}, {"0x123456789", -77},
  };
  for (const auto& c : cases) {
    Spit(path_, std::string("[Set]\r\nPort1=") + c.text + "\r\n");
    EXPECT_EQ(profile::ReadInteger("Set", "Port1", -77, path_), c.want) << '"' << c.text << '"';
  }
  Spit(path_, "[Set]\r\n");
  EXPECT_EQ(profile::ReadInteger("Set", "Port1", 3, path_), 3);
}

TEST_F(Profile, ReadsBooleansByTheNumberRule) {
  const struct {
    const char* line;  // nullptr: no such key
    bool def;
    bool want;
  } cases[] = {
      {"P32013=1", false, true}, {"P32013=-3", false, true},    {"P32013=0", false, false},
      {"P32013=0", true, false}, {"P32013=true", false, false}, {"P32013=true", true, true},
      {nullptr, false, false},   {nullptr, true, true},
  };
  for (const auto& c : cases) {
    Spit(path_, std::string("[File]\r\n") + (c.line ? c.line : "") + "\r\n");
    EXPECT_EQ(profile::ReadBool("File", "P32013", c.def, path_), c.want)
        << (c.line ? c.line : "missing") << " def " << c.def;
  }
}

TEST_F(Profile, ReadingNeverCreatesTheFileAndNeverFails) {
  EXPECT_EQ(profile::ReadString("set", "Name1", "1", path_), "1");
  EXPECT_EQ(profile::ReadInteger("Set", "Active", 0, path_), 0);
  EXPECT_TRUE(profile::ReadSection("Ports", path_).empty());
  EXPECT_FALSE(fs::exists(path_));

  // A directory in the file's place.
  fs::create_directory(fs::u8path(path_));
  EXPECT_EQ(profile::ReadString("set", "Name1", "1", path_), "1");
}

TEST_F(Profile, ValuesAreCutTo2047Bytes) {
  const std::string exact(2047, 'b');
  const std::string huge(10 << 20, 'h');
  const std::string sjis_long = [] {
    std::string s;
    while (s.size() < 3000) s += kelv::Sjis("表");
    return s;
  }();
  Spit(path_, "[S]\r\nexact=" + exact + "\r\nlong=" + std::string(2048, 'a') + "\r\nhuge=" + huge +
                  "\r\nsjis=" + sjis_long + "\r\nafter=ok\r\n");
  EXPECT_EQ(profile::ReadString("S", "exact", "", path_), exact);
  EXPECT_EQ(profile::ReadString("S", "long", "", path_), std::string(2047, 'a'));
  EXPECT_EQ(profile::ReadString("S", "huge", "", path_), std::string(2047, 'h'));
  EXPECT_EQ(profile::ReadString("S", "sjis", "", path_), sjis_long.substr(0, 2047));  // bytes
  EXPECT_EQ(profile::ReadString("S", "after", "", path_), "ok");
  EXPECT_EQ(profile::ReadString("S", "none", std::string(5000, 'd'), path_),
            std::string(2047, 'd'));
  for (const auto& [name, value] : profile::ReadSection("S", path_)) {
    EXPECT_LE(value.size(), profile::kMaxValue) << name;
  }
  EXPECT_EQ(profile::ReadInteger("S", "huge", 4, path_), 4);
}

TEST_F(Profile, ListsASection) {
  Spit(path_,
       "[Set]\r\nActive=1\r\n[PORTS]\r\n; map\r\n COM1 = /dev/pts/3 \r\nCOM9=/dev/ttyACM0\n"
       "stray\r\n[File]\r\nP32013=1\r\n");
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(profile::ReadSection("ports", path_),
            (Pairs{{"COM1", "/dev/pts/3"}, {"COM9", "/dev/ttyACM0"}}));
  EXPECT_TRUE(profile::ReadSection("Nowhere", path_).empty());
}

// The second byte of a double-byte character may equal an ASCII letter: "ア"
// is 83 41 ('A'), "ヂ" is 83 61 ('a'); they are different names all the same.
TEST_F(Profile, JapaneseNamesAreComparedExactly) {
  const std::string a = kelv::Sjis("ア");
  const std::string di = kelv::Sjis("ヂ");
  ASSERT_EQ(a, "\x83\x41");
  ASSERT_EQ(di, "\x83\x61");
  ASSERT_TRUE(profile::WriteString(a, a, "1", path_));
  EXPECT_EQ(profile::ReadString(di, a, "none", path_), "none");
  EXPECT_EQ(profile::ReadString(a, di, "none", path_), "none");
  EXPECT_EQ(profile::ReadString(a, a, "none", path_), "1");
  ASSERT_TRUE(profile::WriteString(a, di, "2", path_));
  EXPECT_EQ(Slurp(path_), "[" + a + "]\r\n" + a + "=1\r\n" + di + "=2\r\n");
}

TEST_F(Profile, FailedWritesLeaveTheOldFile) {
  const std::string old = "[Set]\r\nActive=1\r\n";
  Spit(path_, old);
  const std::string inside_file = path_ + "/Kelv.ini";  // parent is a regular file
  EXPECT_FALSE(profile::WriteString("Set", "Active", "0", inside_file));
  EXPECT_FALSE(
      profile::WriteInteger("Set", "Active", 0, (dir_ / "missing" / "Kelv.ini").u8string()));

  // Texts the file cannot hold are refused, not written half-way.
  const profile_cases::Write refused[] = {
      {"Set", "Active", "1\r\nPort0=6"},
      {"Set", "Active", "1\n"},
      {"Set", "A\rB", "1"},
      {"Set]", "Active", "1"},
      {"Set", "A=B", "1"},
      {"Set", "", "1"},
      {"", "Active", "1"},
      {"Set", ";x", "1"},
      {"Set", "[x", "1"},
      {"Set", "Active",
       std::string("1\0"
                   "2",
                   3)},
  };
  for (const profile_cases::Write& w : refused) {
    EXPECT_FALSE(profile::WriteString(w.section, w.key, w.value, path_)) << w.key << w.value;
  }
  EXPECT_EQ(Slurp(path_), old);

  // A directory in the file's place.
  const std::string dir_path = (dir_ / "Dir.ini").u8string();
  fs::create_directory(fs::u8path(dir_path));
  EXPECT_FALSE(profile::WriteString("Set", "Active", "0", dir_path));
  EXPECT_TRUE(fs::is_directory(fs::u8path(dir_path)));
  fs::remove(fs::u8path(dir_path));
  EXPECT_EQ(Names(), std::set<std::string>{"Kelv.ini"});
}

// A value read drops one pair of matching quotes around it (the table's
// quoted rows); the file keeps what was written.
TEST_F(Profile, QuotesWrittenStayInTheFile) {
  Spit(path_, "[S]\r\nv=\"open\r\n");
  ASSERT_TRUE(profile::WriteString("set", "Name1", "\"x\"", path_));
  EXPECT_EQ(Slurp(path_), "[S]\r\nv=\"open\r\n[set]\r\nName1=\"x\"\r\n");
  EXPECT_EQ(profile::ReadString("set", "Name1", "1", path_), "x");
}

// Several writes at once leave the bytes the single writes would, one after
// the other, and nothing at all when one of them cannot be held.
TEST_F(Profile, WritesAtOnceEqualTheWritesOneByOne) {
  const std::vector<profile::Entry> entries = {
      {"Set", "Active", "2"}, {"set", "Name1", kelv::Sjis("旋盤")},
      {"New", "k", "v"},      {"SET", "active", "3"},
      {"Set", "Port0", "1"},
  };
  const std::string starts[] = {"", kHandMade, "[set]\r\nName1=x\r\n[Set]\r\nActive=9"};
  for (const std::string& start : starts) {
    SCOPED_TRACE(start);
    std::string one_by_one = start;
    for (const auto& e : entries)
      one_by_one = profile::Update(one_by_one, e.section, e.key, e.value);
    if (start.empty()) {
      std::error_code ec;
      fs::remove(fs::u8path(path_), ec);
    } else {
      Spit(path_, start);
    }
    ASSERT_TRUE(profile::WriteStrings(entries, path_));
    EXPECT_EQ(Slurp(path_), one_by_one);
    EXPECT_EQ(Names(), std::set<std::string>{"Kelv.ini"});

    std::vector<profile::Entry> spoilt = entries;
    spoilt.push_back({"set", "Name2", "two\r\nlines"});
    Spit(path_, start);
    EXPECT_FALSE(profile::WriteStrings(spoilt, path_));
    EXPECT_EQ(Slurp(path_), start);
  }
}

// A read-only file is meant: it is not replaced, and stays read-only. A save
// that changes nothing in it passes, so the program can still be closed.
TEST_F(Profile, ReadOnlyFileIsNeverWritten) {
  const std::string old = "[Set]\r\nActive=1\r\n; protected\r\n";
  Spit(path_, old);
  SetReadOnly(path_, true);
  EXPECT_FALSE(profile::WriteString("Set", "Active", "2", path_));
  EXPECT_FALSE(profile::WriteStrings({{"Set", "Active", "1"}, {"set", "Name1", "x"}}, path_));
  EXPECT_TRUE(profile::WriteString("Set", "Active", "1", path_));
  EXPECT_EQ(Slurp(path_), old);
  EXPECT_EQ(Names(), std::set<std::string>{"Kelv.ini"});
  const auto perms = fs::status(fs::u8path(path_)).permissions();
  EXPECT_EQ(perms & fs::perms::owner_write, fs::perms::none);
}

// A folder whose name no single-byte or Japanese code page holds.
TEST_F(Profile, FolderNamesOutsideTheCodePage) {
  const fs::path folder = dir_ / fs::u8path(u8"受信 é ü Ω");
  fs::create_directory(folder);
  const std::string path = (folder / "Kelv.ini").u8string();
  ASSERT_TRUE(profile::WriteString("set", "Name1", kelv::Sjis("旋盤"), path));
  EXPECT_EQ(profile::ReadString("Set", "Name1", "1", path), kelv::Sjis("旋盤"));
  EXPECT_EQ(Slurp(path), "[set]\r\nName1=" + kelv::Sjis("旋盤") + "\r\n");
}

// Whatever the file holds, an edit never crashes, reads back what was written
// and leaves a file that edits the same way again.
TEST(ProfileContent, AnyContentSurvivesAnEdit) {
  const std::string alphabet = std::string("[]=; \t\r\n\0aSsKk\x83\x41\xff", 18);
  std::mt19937 rng(2047);
  for (int round = 0; round < 3000; ++round) {
    std::string content;
    const size_t len = rng() % 64;
    for (size_t i = 0; i < len; ++i) content += alphabet[rng() % alphabet.size()];
    const std::string value = round % 2 ? "v" : kelv::Sjis("値");
    const std::string once = profile::Update(content, "S", "k", value);
    bool found = false;
    ASSERT_EQ(profile::Lookup(once, "s", "K", found), value) << testing::PrintToString(content);
    ASSERT_TRUE(found) << testing::PrintToString(content);
    ASSERT_EQ(profile::Update(once, "S", "k", value), once) << testing::PrintToString(content);
  }
}

}  // namespace
