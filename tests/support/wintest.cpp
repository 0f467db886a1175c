#include "wintest.h"

#include <windows.h>

namespace wintest {

bool UnderWine() {
  // Wine's ntdll exports its version; Windows' does not.
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TempDir::TempDir() {
  char base[MAX_PATH + 1];
  GetTempPathA(sizeof base, base);
  for (unsigned n = GetTickCount(); path_.empty(); ++n) {
    const std::string p = std::string(base) + "kelvtest" + std::to_string(GetCurrentProcessId()) +
                          "_" + std::to_string(n);
    if (CreateDirectoryA(p.c_str(), nullptr)) path_ = p + "\\";
  }
}

TempDir::~TempDir() {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((path_ + "*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileA((path_ + fd.cFileName).c_str());
      }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryA(path_.c_str());
}

}  // namespace wintest
