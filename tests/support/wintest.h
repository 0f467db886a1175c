// Helpers of the Windows-only tests. Free of <windows.h>, whose macros clash
// with the names of the serial interface.
#pragma once

#include <string>

namespace wintest {

// True when running under Wine rather than Windows.
bool UnderWine();

// A fresh directory under the user's temporary directory, removed with its
// files at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // With the trailing separator.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace wintest
