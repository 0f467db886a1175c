#include "sjis.h"

#include <cstdint>
#include <map>
#include <mutex>

#include "sjis_backend.h"

namespace kelv {
namespace {

// The second Unicode forms of code page 932 characters, with the form the
// code page maps. Both converters of the program (glibc's and the Windows
// code page) know only some of them, each a different some, and one of them
// turns U+00A5 and U+203E into the ASCII backslash and tilde; mapping them
// here first makes every system give the same bytes.
struct Alias {
  char32_t from;
  char32_t to;
};
constexpr Alias kAliases[] = {
    {0x00A2, 0xFFE0},  // ¢ -> ￠ 81 91
    {0x00A3, 0xFFE1},  // £ -> ￡ 81 92
    {0x00A5, 0xFFE5},  // ¥ -> ￥ 81 8F
    {0x00A6, 0xFFE4},  // ¦ -> ￤ FA 55
    {0x00AC, 0xFFE2},  // ¬ -> ￢ 81 CA
    {0x2014, 0x2015},  // em dash -> ― 81 5C
    {0x2016, 0x2225},  // ‖ -> ∥ 81 61
    {0x203E, 0xFFE3},  // overline -> ￣ 81 50
    {0x2212, 0xFF0D},  // − -> － 81 7C
    {0x301C, 0xFF5E},  // 〜 -> ～ 81 60
};

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Replaces the second forms by the code page's own; everything else, invalid
// bytes included, passes unchanged for the converter to judge.
std::string Unalias(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    size_t len = 1;
    char32_t c = b0;
    if (b0 >= 0xC2 && b0 < 0xE0 && i + 1 < utf8.size()) {
      len = 2;
      c = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
    } else if (b0 >= 0xE0 && b0 < 0xF0 && i + 2 < utf8.size()) {
      len = 3;
      c = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu) << 6) |
          (static_cast<unsigned char>(utf8[i + 2]) & 0x3Fu);
    }
    bool continuation_ok = true;
    for (size_t k = 1; k < len; ++k) {
      continuation_ok = continuation_ok && (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
    }
    const Alias* hit = nullptr;
    if (continuation_ok && len > 1) {
      for (const Alias& a : kAliases) {
        if (a.from == c) hit = &a;
      }
    }
    if (hit) {
      AppendUtf8(hit->to, out);
    } else {
      out.append(utf8, i, len);
    }
    i += len;
  }
  return out;
}

}  // namespace

bool Utf8ToSjis(const std::string& utf8, std::string& out) {
  return sjis_backend::Encode(Unalias(utf8), out);
}

std::string Utf8ToSjis(const std::string& utf8) {
  std::string out;
  Utf8ToSjis(utf8, out);
  return out;
}

bool Representable(const std::string& utf8) {
  std::string out;
  return Utf8ToSjis(utf8, out);
}

std::string SjisToUtf8(const std::string& sjis) {
  return sjis_backend::Decode(sjis);
}

const std::string& Sjis(const char* utf8_literal) {
  // Never destroyed: exit handlers (the save when the display goes) still use it.
  static std::mutex& mu = *new std::mutex;
  static auto& cache = *new std::map<const char*, std::string>;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find(utf8_literal);
  if (it == cache.end()) it = cache.emplace(utf8_literal, Utf8ToSjis(utf8_literal)).first;
  return it->second;
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto fold = [](unsigned char c) {
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
  };
  for (size_t i = 0; i < a.size(); ++i) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[i]);
    if (IsLeadByte(ca)) {
      if (ca != cb) return false;
      if (i + 1 < a.size()) {
        if (a[i + 1] != b[i + 1]) return false;
        ++i;
      }
    } else if (fold(ca) != fold(cb)) {
      return false;
    }
  }
  return true;
}

}  // namespace kelv
