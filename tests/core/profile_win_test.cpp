// The settings-file layer on Windows (the same layer as on Linux, over wide
// file access), held to the files existing installations have and checked
// against the system's own profile functions: what our layer writes, the
// system reads the same, quotes included.
// Before <windows.h>, whose macros take the serial interface's names.
#include "presets.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "apperror.h"
#include "profile.h"
#include "profile_cases.h"
#include "profile_fixture.h"
#include "replace_win32.h"
#include "rxfile.h"
#include "sjis.h"
#include "tempdir.h"
#include "widepath.h"
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
}

TEST(WinProfile, FreshFileIsTheTwentyTwoLines) {
  testfs::TempDir dir;
  const std::string path = dir.File("Kelv.ini");
  SaveDefaults(path);
  EXPECT_EQ(Slurp(path),
            "[Set]\r\nActive=0\r\n"
            "Port0=0\r\nbaudRate0=0\r\nStart0=0\r\nCoadType0=0\r\n"
            "Port1=0\r\nbaudRate1=0\r\nStart1=0\r\nCoadType1=0\r\n"
            "Port2=0\r\nbaudRate2=0\r\nStart2=0\r\nCoadType2=0\r\n"
            "Port3=0\r\nbaudRate3=0\r\nStart3=0\r\nCoadType3=0\r\n"
            "Name1=1\r\nName2=2\r\nName3=3\r\nName4=4\r\n");
}

TEST(WinProfile, Reads) {
  testfs::TempDir dir;
  const std::string path = dir.File("Kelv.ini");
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

TEST(WinProfile, MissingFileGivesDefaultsAndStaysMissing) {
  testfs::TempDir dir;
  const std::string path = dir.File("Kelv.ini");
  EXPECT_EQ(profile::ReadString("set", "Name1", "1", path), "1");
  EXPECT_EQ(profile::ReadInteger("Set", "Active", 0, path), 0);
  EXPECT_TRUE(profile::ReadSection("Set", path).empty());
  EXPECT_FALSE(Exists(path));
}

// A file another program holds past the wait is a failed read, not a
// missing one: its keys are defaults that must not be saved over it.
TEST(WinProfile, HeldFileIsAFailedRead) {
  testfs::TempDir dir;
  const std::string path = dir.File("Kelv.ini");
  Spit(path, "[Set]\r\nActive=2\r\n");
  HANDLE holder = CreateFileW(kelv::fileio::WideFromUtf8(path).c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(profile::Snapshot(path).Failed());
  CloseHandle(holder);
  const profile::Snapshot file(path);
  EXPECT_FALSE(file.Failed());
  EXPECT_EQ(file.Integer("Set", "Active", 0), 2);
}

TEST(WinProfile, LongValuesAreCutTo2047Bytes) {
  testfs::TempDir dir;
  const std::string path = dir.File("Kelv.ini");
  const std::string exact(2047, 'b');
  Spit(path, "[S]\r\nexact=" + exact + "\r\nlong=" + std::string(3000, 'a') + "\r\n");
  EXPECT_EQ(profile::ReadString("S", "exact", "", path), exact);
  EXPECT_EQ(profile::ReadString("S", "long", "", path), std::string(2047, 'a'));
}

TEST(WinProfile, ShiftJisCaptionsRoundTrip) {
  testfs::TempDir dir;
  const std::string path = dir.File("Kelv.ini");
  const std::string caption = kelv::Sjis("旋盤１号ﾎﾞｰﾚｰﾄ～");
  ASSERT_TRUE(profile::WriteString("set", "Name1", caption, path));
  EXPECT_EQ(Slurp(path), "[set]\r\nName1=" + caption + "\r\n");
  EXPECT_EQ(profile::ReadString("Set", "Name1", "1", path), caption);
}

TEST(WinProfile, UnwritableFileReportsFailure) {
  testfs::TempDir dir;
  const std::string path = dir.File("no such folder\\Kelv.ini");
  EXPECT_FALSE(profile::WriteString("Set", "Active", "0", path));
  EXPECT_FALSE(profile::WriteInteger("Set", "Active", 0, path));
}

// The system's reading of a value, in its ANSI code page (932 here).
std::string SystemRead(const std::string& section, const std::string& key, const char* def,
                       const std::string& path) {
  char buf[4096];
  const DWORD n =
      GetPrivateProfileStringA(section.c_str(), key.c_str(), def, buf, sizeof buf, path.c_str());
  return std::string(buf, n);
}

// The table our layer runs everywhere, on the system's own functions: they
// leave the row's bytes (where the row does not say otherwise), our layer reads
// what they wrote as they read it, and they read the row's file as the row
// says. Each on a file of its own: the system keeps what it read in memory.
TEST(WinProfile, SystemFunctionsOnTheCaseTable) {
  for (const profile_cases::EditCase& c : profile_cases::EditCases()) {
    SCOPED_TRACE(c.name);
    testfs::TempDir dir;
    const std::string written = dir.File("Written.ini");
    if (!c.writes.empty()) {
      Spit(written, c.before);
      for (const profile_cases::Write& w : c.writes) {
        ASSERT_TRUE(WritePrivateProfileStringA(w.section, w.key, w.value.c_str(), written.c_str()))
            << w.key;
      }
      WritePrivateProfileStringA(nullptr, nullptr, nullptr, written.c_str());
      const std::string content = Slurp(written);
      if (!c.system_writes_otherwise) {
        EXPECT_EQ(content, c.after) << "the system's writes";
      }
      for (const profile_cases::Write& w : c.writes) {
        bool found = false;
        const std::string ours = profile::Lookup(content, w.section, w.key, found);
        EXPECT_EQ(found ? ours : "<none>", SystemRead(w.section, w.key, "<none>", written))
            << "the system's file, read by us: " << w.key;
      }
    }
    const std::string read = dir.File("Read.ini");
    Spit(read, c.after);
    for (const profile_cases::Read& r : c.reads) {
      EXPECT_EQ(SystemRead(r.section, r.key, r.def, read), r.want) << r.section << "/" << r.key;
    }
  }
}

// A folder name outside the system's code page: the A functions cannot name
// it, the wide ones can. Both files of the program are written there.
TEST(WinProfile, FolderOutsideTheCodePage) {
  testfs::TempDir dir;
  const std::wstring wide_dir = dir.path().wstring() + L"\\\x53D7\x4FE1 \x00E9 \x03A9\\";
  ASSERT_TRUE(CreateDirectoryW(wide_dir.c_str(), nullptr));
  // Paths are UTF-8 in the program.
  const std::string folder = dir.File("\xE5\x8F\x97\xE4\xBF\xA1 \xC3\xA9 \xCE\xA9") + "\\";
  const std::string ini = folder + "Kelv.ini";
  ASSERT_TRUE(profile::WriteString("set", "Name1", kelv::Sjis("旋盤"), ini));
  EXPECT_EQ(profile::ReadString("Set", "Name1", "1", ini), kelv::Sjis("旋盤"));
  const std::string rx = folder + kelv::kRxFileName;
  kelv::WriteRxFile(rx, {"%", "G90", "M30"});

  const auto read_wide = [](const std::wstring& p) {
    HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    std::string out;
    if (h == INVALID_HANDLE_VALUE) return out;
    char buf[256];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    CloseHandle(h);
    return out;
  };
  EXPECT_EQ(read_wide(wide_dir + L"Kelv.ini"), "[set]\r\nName1=" + kelv::Sjis("旋盤") + "\r\n");
  EXPECT_EQ(read_wide(wide_dir + L"Rx.nc"), "%\r\nG90\r\nM30\r\n");
  DeleteFileW((wide_dir + L"Kelv.ini").c_str());
  DeleteFileW((wide_dir + L"Rx.nc").c_str());
  RemoveDirectoryW(wide_dir.c_str());
}

// The read-only attribute is the administrator's word: never replaced.
TEST(WinProfile, ReadOnlyAttributeRefusesTheSave) {
  testfs::TempDir dir;
  const std::string path = dir.File("Kelv.ini");
  Spit(path, "[Set]\r\nActive=1\r\n");
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(profile::WriteString("Set", "Active", "2", path));
  EXPECT_TRUE(profile::WriteString("Set", "Active", "1", path));  // no change, no write
  EXPECT_EQ(Slurp(path), "[Set]\r\nActive=1\r\n");
  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A folder the operator may not create files in, with "Kelv.ini" writable:
// shown on Linux (tests/core/profile_posix_test.cpp); here it needs a second
// user and access rights, which this Wine (run as the machine's user, without
// Windows access control) cannot give.
TEST(WinProfile, LockedFolderWritesInPlace) {
  GTEST_SKIP() << "needs a folder whose access rights deny creating files (real Windows, a "
                  "second account); the in-place write itself is the Linux one's twin";
}

// Putting the new file in place while another program holds the old one
// open without FILE_SHARE_DELETE, as a virus scanner or the search indexer
// does just after it was written (Kelv.ini replaced keeping its rights, Rx.nc
// moved over it): let go after the system's first refusal, or never. And what
// the system does rarely, played by stand-ins: ReplaceFileW losing the old
// file half-way, or failing for a reason no other program causes.
TEST_F(Profile, PlacingTheNewFile) {
  namespace fileio = kelv::fileio;
  using Placed = fileio::Placed;
  using Replace = std::function<BOOL(const wchar_t*, const wchar_t*)>;
  enum Hold { kFree, kLetGo, kForGood };
  const std::wstring aside = dir_.wstring() + L"\\aside";
  // ReplaceFileW failing with `error`, the old file as the system then leaves it.
  const auto failing = [&aside](DWORD error) -> Replace {
    return [&aside, error](const wchar_t* replaced, const wchar_t*) {
      if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) DeleteFileW(replaced);
      if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) MoveFileExW(replaced, aside.c_str(), 0);
      SetLastError(error);
      return FALSE;
    };
  };
  const struct {
    const char* name;
    const char* file;
    Hold hold;
    Replace replace;  // null: the system's
    bool moves_refused;
    Placed want;
    int tries;  // of the placing call
    const char* at_path;
    const char* at_tmp;
  } cases[] = {
      {"held a moment", "Kelv.ini", kLetGo, nullptr, false, Placed::kDone, 2, "new", nullptr},
      {"held for good", "Kelv.ini", kForGood, nullptr, false, Placed::kFailed, fileio::kHeldTries,
       "old", "new"},
      {"held a moment", "Rx.nc", kLetGo, nullptr, false, Placed::kDone, 2, "new", nullptr},
      {"held for good", "Rx.nc", kForGood, nullptr, false, Placed::kFailed, fileio::kHeldTries,
       "old", "new"},
      {"old file lost: the new one moved in", "Kelv.ini", kFree,
       failing(ERROR_UNABLE_TO_MOVE_REPLACEMENT), false, Placed::kDone, 1, "new", nullptr},
      {"old file moved aside: the new one moved in", "Kelv.ini", kFree,
       failing(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2), false, Placed::kDone, 1, "new", nullptr},
      {"old file lost, the move refused: the only copy kept", "Kelv.ini", kFree,
       failing(ERROR_UNABLE_TO_MOVE_REPLACEMENT), true, Placed::kKeptAside, 1, nullptr, "new"},
      {"a full disk is not waited for", "Kelv.ini", kFree, failing(ERROR_DISK_FULL), false,
       Placed::kFailed, 1, "old", "new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ": " + c.name);
    const std::string path = tmp_.File(c.file), tmp = path + ".tmp";
    const bool keep_rights = std::string(c.file) == "Kelv.ini";
    Spit(path, "old");
    Spit(tmp, "new");
    HANDLE holder = c.hold == kFree ? INVALID_HANDLE_VALUE
                                    : CreateFileW(kelv::fileio::WideFromUtf8(path).c_str(),
                                                  GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(holder == INVALID_HANDLE_VALUE, c.hold == kFree);
    int tries = 0;
    DWORD first_error = ERROR_SUCCESS;
    const auto placing = [&](BOOL ok) {
      const DWORD error = GetLastError();
      if (++tries == 1 && !ok) first_error = error;
      if (c.hold == kLetGo && holder != INVALID_HANDLE_VALUE) {
        CloseHandle(holder);
        holder = INVALID_HANDLE_VALUE;
      }
      SetLastError(error);
      return ok;
    };
    fileio::RenameCalls calls;
    calls.replace = [&](const wchar_t* replaced, const wchar_t* replacement) {
      return placing(
          (c.replace ? c.replace : fileio::SystemRenames().replace)(replaced, replacement));
    };
    calls.move = [&](const wchar_t* from, const wchar_t* to, DWORD flags) {
      if (c.moves_refused) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
      }
      const BOOL ok = fileio::SystemRenames().move(from, to, flags);
      return keep_rights ? ok : placing(ok);
    };
    EXPECT_EQ(fileio::PlaceFile(fileio::WideFromUtf8(tmp), fileio::WideFromUtf8(path), keep_rights,
                                calls),
              c.want);
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    EXPECT_EQ(tries, c.tries);
    if (c.hold != kFree) {
      EXPECT_TRUE(fileio::HeldByOthers(first_error)) << first_error;
    }
    // Nothing else beside them: the caller removes the new file it could not place.
    DeleteFileW(aside.c_str());
    std::set<std::string> left;
    for (const auto& [name, content] : {std::pair{path, c.at_path}, std::pair{tmp, c.at_tmp}}) {
      if (content) {
        EXPECT_EQ(Slurp(name), content);
        left.insert(std::filesystem::u8path(name).filename().u8string());
      }
    }
    EXPECT_EQ(Names(), left);
    DeleteFileW(kelv::fileio::WideFromUtf8(path).c_str());
    DeleteFileW(kelv::fileio::WideFromUtf8(tmp).c_str());
  }
}

// A save the system breaks off half-way, the move-in refused too: the error
// names the copy that holds the settings now, and the next start takes it.
TEST_F(Profile, SaveBrokenOffHalfWayIsNamedAndAdopted) {
  namespace fileio = kelv::fileio;
  const std::string path = tmp_.File("Kelv.ini");
  Spit(path, "[Set]\r\nActive=0\r\n");
  const fileio::RenameCalls broken{
      [](const wchar_t* replaced, const wchar_t*) {
        DeleteFileW(replaced);
        SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
        return FALSE;
      },
      [](const wchar_t*, const wchar_t*, DWORD) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
      }};
  kelv::Settings s;
  s.ActivePreset = 2;
  fileio::UseRenamesForSaves(&broken);
  std::string message;
  try {
    kelv::SaveSettings(s, path);
  } catch (const kelv::AppError& e) {
    message = e.what();
  }
  fileio::UseRenamesForSaves(nullptr);
  const std::string kept = path + ".tmp" + std::to_string(GetCurrentProcessId()) + "-0";
  EXPECT_EQ(message, kelv::Utf8ToSjis(path) + kelv::Sjis(" に書き込めません。設定は ") +
                         kelv::Utf8ToSjis(kept) + kelv::Sjis(" に残っています"));
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(Exists(kept));
  EXPECT_EQ(kelv::LoadSettings(path).ActivePreset, 2);
  EXPECT_TRUE(Exists(path));
  EXPECT_FALSE(Exists(kept));
}

}  // namespace
