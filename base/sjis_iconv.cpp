// Code page 932 through glibc's iconv. Its "CP932" maps like the Windows code
// page ("SHIFT_JIS" does not); no "//TRANSLIT", so nothing is guessed.
#include <iconv.h>

#include <cerrno>

#include "sjis_backend.h"

namespace kelv::sjis_backend {
namespace {

// Length of the UTF-8 sequence that starts with `c`, for skipping a character
// the code page lacks; a byte that starts no sequence is skipped alone.
size_t Utf8Length(unsigned char c) {
  return c < 0xC2 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 1;
}

// Returns false when some input was replaced by `bad_out`.
bool Convert(const std::string& in, std::string& out, const char* to, const char* from,
             const std::string& bad_out, bool utf8_in) {
  out.clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  bool clean = true;
  char buf[256];
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    const size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a sequence cut at the end): skip the offending input.
      clean = false;
      out += bad_out;
      size_t step = utf8_in ? Utf8Length(static_cast<unsigned char>(*src)) : 1;
      if (step > left) step = left;
      src += step;
      left -= step;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return clean;
}

}  // namespace

bool Encode(const std::string& utf8, std::string& out) {
  return Convert(utf8, out, "CP932", "UTF-8", "?", true);
}

std::string Decode(const std::string& sjis) {
  std::string out;
  Convert(sjis, out, "UTF-8", "CP932", "\xEF\xBF\xBD", false);
  return out;
}

}  // namespace kelv::sjis_backend
