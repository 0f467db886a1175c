// Code page 932 through the system's own tables, whatever the system's ANSI
// code page is. No best-fit mapping: a character the code page lacks is
// reported, not replaced by a look-alike.
#include <windows.h>

#include "sjis_backend.h"
#include "widepath.h"

namespace kelv::sjis_backend {
namespace {

std::wstring WideFromCp932(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(932, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(932, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

}  // namespace

bool Encode(const std::string& utf8, std::string& out) {
  out.clear();
  if (utf8.empty()) return true;
  // Invalid UTF-8 becomes U+FFFD here, which the code page lacks.
  std::wstring w = fileio::WideFromUtf8(utf8);
  if (w.empty()) return false;
  // A character beyond the BMP is two UTF-16 units but one character the code
  // page lacks: one '?', as from iconv.
  for (size_t i = 0; i + 1 < w.size(); ++i) {
    if (w[i] >= 0xD800 && w[i] < 0xDC00 && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
      w.replace(i, 2, 1, static_cast<wchar_t>(0xFFFD));
    }
  }
  BOOL used_default = FALSE;
  const int len = static_cast<int>(w.size());
  const int n =
      WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, w.data(), len, nullptr, 0, "?", &used_default);
  if (n <= 0) return false;
  out.assign(static_cast<size_t>(n), '\0');
  used_default = FALSE;
  WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, w.data(), len, out.data(), n, "?", &used_default);
  return used_default == FALSE;
}

std::string Decode(const std::string& sjis) {
  return fileio::Utf8FromWide(WideFromCp932(sjis));
}

}  // namespace kelv::sjis_backend
