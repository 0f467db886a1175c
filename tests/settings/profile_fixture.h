// A fresh temporary directory with a "Kelv.ini" path in it, for the tests of
// the settings file on real files (both systems).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

class Profile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() /
           ("kelv-profile-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "Kelv.ini").u8string();
  }
  void TearDown() override {
    // Read-only files and folders made by a test must go too.
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_, ec)) {
      std::filesystem::permissions(e.path(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(dir_, ec);
  }

  // Paths are UTF-8 (fileio.h).
  static std::string Slurp(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Spit(const std::string& path, const std::string& content) {
    std::ofstream(std::filesystem::u8path(path), std::ios::binary) << content;
  }
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

  std::filesystem::path dir_;
  std::string path_;
};
