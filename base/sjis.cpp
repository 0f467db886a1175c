#include "sjis.h"

#include <map>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
#endif

namespace kelv {

#ifdef _WIN32
namespace {
std::wstring ToWide(const std::string& s, UINT cp) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}
std::string FromWide(const std::wstring& w, UINT cp) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}
}  // namespace

std::string Utf8ToSjis(const std::string& utf8) {
  return FromWide(ToWide(utf8, CP_UTF8), 932);
}
std::string SjisToUtf8(const std::string& sjis) {
  return FromWide(ToWide(sjis, 932), CP_UTF8);
}

#else

namespace {
// glibc's "CP932" maps like Windows code page 932 ("SHIFT_JIS" does not).
std::string Convert(const std::string& in, const char* to, const char* from,
                    const std::string& bad_out, size_t bad_in_step) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out;
  char buf[256];
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a sequence cut at the end): skip the offending input.
      out += bad_out;
      size_t step = bad_in_step;
      if (from[0] == 'U') {  // UTF-8 input: skip one whole character
        unsigned char c = static_cast<unsigned char>(*src);
        step = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      }
      if (step > left) step = left;
      src += step;
      left -= step;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}
}  // namespace

std::string Utf8ToSjis(const std::string& utf8) {
  return Convert(utf8, "CP932", "UTF-8", "?", 1);
}
std::string SjisToUtf8(const std::string& sjis) {
  return Convert(sjis, "UTF-8", "CP932", "\xEF\xBF\xBD", 1);
}
#endif

const std::string& Sjis(const char* utf8_literal) {
  static std::mutex mu;
  static std::map<const char*, std::string> cache;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find(utf8_literal);
  if (it == cache.end()) it = cache.emplace(utf8_literal, Utf8ToSjis(utf8_literal)).first;
  return it->second;
}

}  // namespace kelv
