// A fresh folder for a test's real files, removed with everything in it at
// the end of the scope (read-only files and folders a test made included).
// Paths are UTF-8, as the program's (fileio.h).
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace testfs {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "kelv-test-") {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() /
           (prefix + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir_);
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (const auto& e : fs::recursive_directory_iterator(dir_, ec)) {
      fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
    }
    fs::remove_all(dir_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return dir_; }
  // A file in it, as a UTF-8 path.
  std::string File(const std::string& name) const {
    return (dir_ / std::filesystem::u8path(name)).u8string();
  }

 private:
  std::filesystem::path dir_;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void Spit(const std::string& path, const std::string& content) {
  std::ofstream(std::filesystem::u8path(path), std::ios::binary) << content;
}

}  // namespace testfs
