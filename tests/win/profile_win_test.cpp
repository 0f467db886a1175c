// The settings-file layer on the system's own profile functions, held to the
// same files as our Linux implementation: what the dialog writes must look the
// same whichever system wrote it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "profile.h"
#include "sjis.h"
#include "wintest.h"

namespace {

namespace profile = kelv::profile;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Spit(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

// The dialog's save of untouched defaults, call for call.
void SaveDefaults(const std::string& path) {
  ASSERT_TRUE(profile::WriteInteger("Set", "Active", 0, path));
  for (int i = 0; i < 4; ++i) {
    const std::string n = std::to_string(i);
    ASSERT_TRUE(profile::WriteInteger("Set", "Port" + n, 0, path));
    ASSERT_TRUE(profile::WriteInteger("Set", "baudRate" + n, 0, path));
    ASSERT_TRUE(profile::WriteInteger("Set", "Start" + n, 0, path));
    ASSERT_TRUE(profile::WriteInteger("Set", "CoadType" + n, 0, path));
  }
  for (int i = 1; i <= 4; ++i) {
    ASSERT_TRUE(profile::WriteString("set", "Name" + std::to_string(i), std::to_string(i), path));
  }
  profile::Flush(path);
}

TEST(SystemProfile, FreshFileIsTheTwentyTwoLines) {
  wintest::TempDir dir;
  const std::string path = dir.path() + "Kelv.ini";
  SaveDefaults(path);
  EXPECT_EQ(Slurp(path),
            "[Set]\r\nActive=0\r\n"
            "Port0=0\r\nbaudRate0=0\r\nStart0=0\r\nCoadType0=0\r\n"
            "Port1=0\r\nbaudRate1=0\r\nStart1=0\r\nCoadType1=0\r\n"
            "Port2=0\r\nbaudRate2=0\r\nStart2=0\r\nCoadType2=0\r\n"
            "Port3=0\r\nbaudRate3=0\r\nStart3=0\r\nCoadType3=0\r\n"
            "Name1=1\r\nName2=2\r\nName3=3\r\nName4=4\r\n");
}

struct Write {
  const char* section;
  const char* key;
  const char* value;
};

struct EditCase {
  const char* name;
  const char* before;
  std::vector<Write> writes;
  const char* after;
};

// Files in the form the program writes (name=value, CR LF, no blank lines);
// this is where the system's functions and our own text layer (the Linux
// implementation) must agree byte for byte.
TEST(SystemProfile, EditsExistingFiles) {
  const EditCase cases[] = {
      {"present key replaced on its own line",
       "[Set]\r\nActive=0\r\nPort0=1\r\n",
       {{"Set", "Active", "2"}},
       "[Set]\r\nActive=2\r\nPort0=1\r\n"},
      {"missing key appended at the end of its section, before the next one",
       "[Set]\r\nActive=0\r\n[File]\r\nP32013=1\r\n",
       {{"Set", "Port0", "3"}},
       "[Set]\r\nActive=0\r\nPort0=3\r\n[File]\r\nP32013=1\r\n"},
      {"section names compared without case: [SET] takes Set and set keys",
       "[SET]\r\nName1=A\r\n",
       {{"set", "Name1", "B"}, {"Set", "Active", "1"}},
       "[SET]\r\nName1=B\r\nActive=1\r\n"},
      {"key names compared without case, the file's spelling kept",
       "[set]\r\nactive=0\r\n",
       {{"Set", "Active", "3"}},
       "[set]\r\nactive=3\r\n"},
      {"comments and foreign sections and keys kept",
       "; by hand\r\n[Other]\r\nx=1\r\n[Set]\r\nName1=a\r\nUnknown=z\r\n",
       {{"set", "Name1", "b"}},
       "; by hand\r\n[Other]\r\nx=1\r\n[Set]\r\nName1=b\r\nUnknown=z\r\n"},
      {"an empty value is written, the key stays",
       "[Set]\r\nName1=1\r\n",
       {{"set", "Name1", ""}},
       "[Set]\r\nName1=\r\n"},
      {"P32013 is untouched by a save of Set keys",
       "[File]\r\nP32013=1\r\n[Set]\r\nActive=0\r\n",
       {{"Set", "Active", "1"}, {"set", "Name1", "x"}},
       "[File]\r\nP32013=1\r\n[Set]\r\nActive=1\r\nName1=x\r\n"},
  };
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.name);
    wintest::TempDir dir;
    const std::string path = dir.path() + "Kelv.ini";
    Spit(path, c.before);
    std::string ours = c.before;
    for (const Write& w : c.writes) {
      ASSERT_TRUE(profile::WriteString(w.section, w.key, w.value, path));
      ours = profile::Update(ours, w.section, w.key, w.value);
    }
    profile::Flush(path);
    EXPECT_EQ(Slurp(path), c.after) << "the system's functions";
    EXPECT_EQ(ours, c.after) << "our own text layer";
  }
}

TEST(SystemProfile, Reads) {
  wintest::TempDir dir;
  const std::string path = dir.path() + "Kelv.ini";
  Spit(path,
       "; comment\r\n"
       "[SET]\r\n"
       "  Active = 2  \r\n"
       "Port1=0x0A\r\n"
       "Port2=$a\r\n"
       "Port3=ten\r\n"
       "Name1=\r\n"
       "[File]\r\n"
       "P32013=-3\r\n");
  struct Case {
    const char* section;
    const char* key;
    const char* def;
    const char* want;
  } strings[] = {
      {"Set", "Active", "d", "2"},  // blanks around name and value are no part of them
      {"set", "ACTIVE", "d", "2"}, {"Set", "Name1", "1", ""},  // present but empty: not the default
      {"set", "Name2", "2", "2"},  {"Nowhere", "Active", "x", "x"},
  };
  const std::string content = Slurp(path);
  for (const Case& c : strings) {
    EXPECT_EQ(profile::ReadString(c.section, c.key, c.def, path), c.want)
        << c.section << "/" << c.key;
    bool found = false;
    const std::string ours = profile::Lookup(content, c.section, c.key, found);
    EXPECT_EQ(found ? ours : std::string(c.def), c.want)
        << "our own: " << c.section << "/" << c.key;
  }
  EXPECT_EQ(profile::ReadInteger("Set", "Active", 0, path), 2);
  EXPECT_EQ(profile::ReadInteger("Set", "Port1", 0, path), 10);
  EXPECT_EQ(profile::ReadInteger("Set", "Port2", 0, path), 10);
  EXPECT_EQ(profile::ReadInteger("Set", "Port3", 7, path), 7);
  EXPECT_EQ(profile::ReadInteger("Set", "Name1", 5, path), 5);  // empty is no number
  EXPECT_TRUE(profile::ReadBool("File", "P32013", false, path));
  EXPECT_FALSE(profile::ReadBool("File", "Missing", false, path));

  const auto section = profile::ReadSection("file", path);
  ASSERT_EQ(section.size(), 1u);
  EXPECT_EQ(section[0].first, "P32013");
  EXPECT_EQ(section[0].second, "-3");
}

TEST(SystemProfile, MissingFileGivesDefaultsAndStaysMissing) {
  wintest::TempDir dir;
  const std::string path = dir.path() + "Kelv.ini";
  EXPECT_EQ(profile::ReadString("set", "Name1", "1", path), "1");
  EXPECT_EQ(profile::ReadInteger("Set", "Active", 0, path), 0);
  EXPECT_TRUE(profile::ReadSection("Set", path).empty());
  EXPECT_FALSE(Exists(path));
}

TEST(SystemProfile, LongValuesAreCutTo2047Bytes) {
  wintest::TempDir dir;
  const std::string path = dir.path() + "Kelv.ini";
  const std::string exact(2047, 'b');
  Spit(path, "[S]\r\nexact=" + exact + "\r\nlong=" + std::string(3000, 'a') + "\r\n");
  EXPECT_EQ(profile::ReadString("S", "exact", "", path), exact);
  EXPECT_EQ(profile::ReadString("S", "long", "", path), std::string(2047, 'a'));
}

TEST(SystemProfile, ShiftJisCaptionsRoundTrip) {
  wintest::TempDir dir;
  const std::string path = dir.path() + "Kelv.ini";
  const std::string caption = kelv::Sjis("旋盤１号ﾎﾞｰﾚｰﾄ～");
  ASSERT_TRUE(profile::WriteString("set", "Name1", caption, path));
  profile::Flush(path);
  EXPECT_EQ(Slurp(path), "[set]\r\nName1=" + caption + "\r\n");
  EXPECT_EQ(profile::ReadString("Set", "Name1", "1", path), caption);
}

TEST(SystemProfile, UnwritableFileReportsFailure) {
  wintest::TempDir dir;
  const std::string path = dir.path() + "no such folder\\Kelv.ini";
  EXPECT_FALSE(profile::WriteString("Set", "Active", "0", path));
  EXPECT_FALSE(profile::WriteInteger("Set", "Active", 0, path));
}

}  // namespace
