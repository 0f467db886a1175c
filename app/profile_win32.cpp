// The settings-file layer on Windows: the system's own profile functions, so
// the file behaves exactly as every other program on the machine sees it.
#include <windows.h>

#include "profile.h"

namespace kelv::profile {

namespace {
// One byte more than the longest value, for the terminating zero.
constexpr DWORD kReadBuffer = kMaxValue + 1;
}  // namespace

std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path) {
  char buf[kReadBuffer];
  const DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buf,
                                           kReadBuffer, path.c_str());
  return std::string(buf, n < kReadBuffer ? n : kReadBuffer - 1);
}

std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& section,
                                                             const std::string& path) {
  // The call reports a cut listing as size - 2; grow until it fits.
  std::string buf(4096, '\0');
  DWORD n = 0;
  for (;;) {
    n = GetPrivateProfileSectionA(section.c_str(), buf.data(), static_cast<DWORD>(buf.size()),
                                  path.c_str());
    if (n + 2 < buf.size() || buf.size() >= (1u << 24)) break;
    buf.resize(buf.size() * 2);
  }
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = 0;
  while (pos < n) {
    const size_t end = buf.find('\0', pos);
    const std::string line = buf.substr(pos, (end == std::string::npos ? n : end) - pos);
    pos = end == std::string::npos ? n : end + 1;
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      out.emplace_back(line, std::string());
    } else {
      out.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
  }
  return out;
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path) {
  return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str()) !=
         FALSE;
}

bool WriteInteger(const std::string& section, const std::string& key, int32_t value,
                  const std::string& path) {
  return WriteString(section, key, std::to_string(value), path);
}

void Flush(const std::string& path) {
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
}

}  // namespace kelv::profile
