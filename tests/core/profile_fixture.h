// A fresh temporary directory with a "Kelv.ini" path in it, for the tests of
// the settings file on real files (both systems).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "tempdir.h"

using testfs::Slurp;
using testfs::Spit;

class Profile : public ::testing::Test {
 protected:
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      names.insert(e.path().filename().u8string());
    }
    return names;
  }
  static void SetReadOnly(const std::string& path, bool read_only) {
    std::filesystem::permissions(
        std::filesystem::u8path(path),
        std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
            std::filesystem::perms::others_write,
        read_only ? std::filesystem::perm_options::remove : std::filesystem::perm_options::add);
  }

  testfs::TempDir tmp_{"kelv-profile-"};
  std::filesystem::path dir_ = tmp_.path();
  std::string path_ = tmp_.File("Kelv.ini");
};
