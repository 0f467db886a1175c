// The presets' load rules and line settings. The full load/save round trip
// through the dialog is in tests/app/dialog_qt_test.cpp.
#include "presets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "apperror.h"
#include "sjis.h"
#include "tempdir.h"

namespace fs = std::filesystem;
using kelv::PortPreset;

namespace {

class PresetsFile : public ::testing::Test {
 protected:
  void Spit(const std::string& content) { testfs::Spit(path_, content); }
  std::string Slurp() { return testfs::Slurp(path_); }
  kelv::Settings Load(const std::string& content) {
    Spit(content);
    return kelv::LoadSettings(path_);
  }

  testfs::TempDir tmp_{"kelv-presets-"};
  fs::path dir_ = tmp_.path();
  std::string path_ = tmp_.File("Kelv.ini");
};

TEST_F(PresetsFile, LoadRules) {
  const struct {
    const char* content;
    std::function<int(const kelv::Settings&)> field;
    int want;
  } cases[] = {
      {"[Set]\r\nPort1=0x0A\r\n", [](auto& s) { return s.Presets[1].PortIndex; }, 10},
      {"[Set]\r\nPort1=$a\r\n", [](auto& s) { return s.Presets[1].PortIndex; }, 10},
      {"[Set]\r\nPort1=ten\r\n", [](auto& s) { return s.Presets[1].PortIndex; }, 0},
      {"[Set]\r\nPort1=1O\r\n", [](auto& s) { return s.Presets[1].PortIndex; }, 0},
      // Only the low 8 bits are kept.
      {"[Set]\r\nPort0=257\r\n", [](auto& s) { return s.Presets[0].PortIndex; }, 1},
      {"[Set]\r\nPort0=-1\r\n", [](auto& s) { return s.Presets[0].PortIndex; }, 255},
      {"[Set]\r\nStart2=$FFFFFF03\r\n", [](auto& s) { return s.Presets[2].StartMode; }, 3},
      {"[Set]\r\nbaudRate3=6.0\r\n", [](auto& s) { return s.Presets[3].BaudIndex; }, 0},
      {"[Set]\r\nCoadType0=1\r\n", [](auto& s) { return s.Presets[0].CodeType; }, 1},
      {"[Set]\r\nCodeType0=1\r\n", [](auto& s) { return s.Presets[0].CodeType; }, 0},
      // "Set" and "set" are one section, whatever the file calls it.
      {"[SET]\r\nActive=3\r\n", [](auto& s) { return s.ActivePreset; }, 3},
      {"[set]\r\nActive=300\r\n", [](auto& s) { return s.ActivePreset; }, 44},
      {"[SET]\r\nName4=x\r\n", [](auto& s) { return s.Names[3] == "x"; }, 1},
      {"[Set]\r\nName4=\r\n", [](auto& s) { return s.Names[3] == ""; }, 1},
      {"[Set]\r\n", [](auto& s) { return s.Names[3] == "4"; }, 1},
      // The colon option: any non-zero number, only in "File".
      {"[File]\r\nP32013=1\r\n", [](auto& s) { return s.ColonAsO; }, 1},
      {"[File]\r\nP32013=-3\r\n", [](auto& s) { return s.ColonAsO; }, 1},
      {"[File]\r\nP32013=0\r\n", [](auto& s) { return s.ColonAsO; }, 0},
      {"[File]\r\nP32013=true\r\n", [](auto& s) { return s.ColonAsO; }, 0},
      {"[Set]\r\nP32013=1\r\n", [](auto& s) { return s.ColonAsO; }, 0},
      // Numbered copies of earlier programs: 5 unless the file says.
      {"[Set]\r\n", [](auto& s) { return s.Backups; }, 5},
      {"[File]\r\nBackups=0\r\n", [](auto& s) { return s.Backups; }, 0},
      {"[File]\r\nBackups=12\r\n", [](auto& s) { return s.Backups; }, 12},
      {"[File]\r\nBackups=-2\r\n", [](auto& s) { return s.Backups; }, 0},
      {"[File]\r\nBackups=100000\r\n", [](auto& s) { return s.Backups; }, 99},
  };
  for (const auto& c : cases) EXPECT_EQ(c.field(Load(c.content)), c.want) << c.content;
}

// What the start-up reads. Only a file that is there and cannot be read marks
// the settings as not loaded: the close must then not save the defaults over
// it. A missing file whose save the system broke off half-way is taken from
// the newest copy that save left beside it.
TEST_F(PresetsFile, WhatTheStartUpReads) {
  const auto put = [](const std::string& p, int active, int age_s) {
    testfs::Spit(p, "[Set]\r\nActive=" + std::to_string(active) + "\r\n");
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::seconds(age_s));
  };
  const struct {
    const char* name;
    std::function<void(const std::string&)> put;
    bool loaded;
    int active;
    bool file_after;
  } rows[] = {
      {"no file", [](const std::string&) {}, true, 0, false},
      {"a file", [&](const std::string& p) { put(p, 2, 0); }, true, 2, true},
      {"a directory in its place", [](const std::string& p) { fs::create_directory(p); }, false,
       0, true},
      {"no file, copies of broken-off saves",
       [&](const std::string& p) {
         put(p + ".tmp11-0", 1, 60);
         put(p + ".tmp12-3", 3, 30);
         put(p + ".tmp", 2, 0);  // not a save's name
       },
       true, 3, true},
      {"a file and such a copy",
       [&](const std::string& p) {
         put(p, 2, 60);
         put(p + ".tmp12-3", 3, 0);
       },
       true, 2, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (const char* leftover : {"", ".tmp11-0", ".tmp12-3", ".tmp"}) {
      fs::remove_all(path_ + leftover);
    }
    row.put(path_);
    const kelv::Settings s = kelv::LoadSettings(path_);
    EXPECT_EQ(s.Loaded, row.loaded);
    EXPECT_EQ(s.ActivePreset, row.active);
    EXPECT_EQ(fs::exists(path_), row.file_after);
    if (row.active == 3) {
      EXPECT_FALSE(fs::exists(path_ + ".tmp12-3")) << "the copy is the file now";
    }
  }
}

TEST_F(PresetsFile, FailedWriteThrowsWithThePath) {
  // A Japanese directory name is shown in the message's code page.
  const fs::path japanese = dir_ / fs::u8path(u8"受信");
  fs::create_directory(japanese);
  path_ = (japanese / "Kelv.ini").u8string();
  const std::string shown = kelv::Utf8ToSjis(path_) + kelv::Sjis(" に書き込めません");
  ASSERT_NE(shown.find(kelv::Sjis("受信")), std::string::npos);
  fs::create_directory(fs::u8path(path_));  // a directory cannot be written as a file, not even by root
  try {
    kelv::SaveSettings(kelv::Settings{}, path_);
    FAIL() << "no error";
  } catch (const kelv::AppError& e) {
    EXPECT_EQ(std::string(e.what()), shown);
  }
}

// A protected "Kelv.ini" stays as it is: the save fails with the path (the
// dialog stays open), unless it would change nothing.
TEST_F(PresetsFile, ReadOnlyFileFailsTheSave) {
  const std::string old = "[Set]\r\nActive=1\r\n";
  Spit(old);
  fs::permissions(fs::u8path(path_),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  kelv::Settings s = kelv::LoadSettings(path_);
  s.Names[2] = "three";
  try {
    kelv::SaveSettings(s, path_);
    FAIL() << "no error";
  } catch (const kelv::AppError& e) {
    EXPECT_EQ(std::string(e.what()), kelv::Utf8ToSjis(path_) + kelv::Sjis(" に書き込めません"));
  }
  EXPECT_EQ(Slurp(), old);
  EXPECT_EQ(fs::status(fs::u8path(path_)).permissions() & fs::perms::owner_write, fs::perms::none);
}

// The keys a save writes, in the order it applies them: a fresh file comes
// out as the 22 lines existing installations hold.
TEST_F(PresetsFile, SaveWritesTheKeysInTheirOrder) {
  kelv::Settings s;
  s.ActivePreset = 3;
  s.Presets[1] = {2, 5, 1, 3};
  s.Names[3] = kelv::Sjis("旋盤～");
  kelv::SaveSettings(s, path_);
  EXPECT_EQ(Slurp(),
            "[Set]\r\nActive=3\r\n"
            "Port0=0\r\nbaudRate0=0\r\nStart0=0\r\nCoadType0=0\r\n"
            "Port1=2\r\nbaudRate1=5\r\nStart1=3\r\nCoadType1=1\r\n"
            "Port2=0\r\nbaudRate2=0\r\nStart2=0\r\nCoadType2=0\r\n"
            "Port3=0\r\nbaudRate3=0\r\nStart3=0\r\nCoadType3=0\r\n"
            "Name1=1\r\nName2=2\r\nName3=3\r\nName4=" +
                kelv::Sjis("旋盤～") + "\r\n");
  const kelv::Settings back = kelv::LoadSettings(path_);
  EXPECT_EQ(back.Presets, s.Presets);
  EXPECT_EQ(back.Names, s.Names);
}

TEST_F(PresetsFile, PortMapComesFromItsSection) {
  Load("[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM4=/dev/pts/7\r\n[Set]\r\nCOM2=/dev/no\r\n");
  EXPECT_EQ(kelv::LoadPortMap(path_), (PortMap{{"COM1", "/dev/ttyUSB0"}, {"COM4", "/dev/pts/7"}}));
}

TEST(Presets, ApplyPreset) {
  const struct {
    PortPreset preset;
    const char* portname;
    int32_t bps, charbit;
    const char* parity;
    char start, end;
  } cases[] = {
      {{3, 6, 1, 1}, "COM4", 19200, 8, "ODD", 'D', 'D'},
      {{0, 0, 0, 0}, "COM1", 600, 7, "EVEN", '%', '%'},
      {{6, 7, 0, 2}, "COM7", 38400, 7, "EVEN", 'N', 'N'},
      {{1, 4, 0, 3}, "COM2", 9600, 7, "EVEN", '%', 'D'},
      // Beyond the tables: the speed and the marks stay as they were.
      {{10, 8, 2, 4}, "COM11", 2400, 8, "ODD", 'N', 'D'},
      {{255, 255, 255, 255}, "COM256", 2400, 8, "ODD", 'N', 'D'},
  };
  for (const auto& c : cases) {
    Trs232c port(nullptr);
    port.bps = 2400;
    kelv::Marks marks{'N', 'D'};
    kelv::ApplyPreset(c.preset, port, marks);
    SCOPED_TRACE(c.portname);
    EXPECT_EQ(port.portname, c.portname);
    EXPECT_EQ(port.bps, c.bps);
    EXPECT_EQ(port.charbit, c.charbit);
    EXPECT_EQ(port.paritymode, c.parity);
    EXPECT_EQ(marks.start, c.start);
    EXPECT_EQ(marks.end, c.end);
    EXPECT_EQ(port.EvtChar, 0x12);
    EXPECT_EQ(port.XonChar, 0x11);
    EXPECT_EQ(port.XoffChar, 0x13);
    EXPECT_EQ(port.stopbit, "1");
  }
}

}  // namespace
