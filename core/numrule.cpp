#include "numrule.h"

namespace kelv {

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

std::optional<int32_t> ParseNumber(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= n) return std::nullopt;

  bool hex = false;
  if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
    hex = true;
    ++i;
  } else if (text[i] == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) return std::nullopt;  // a prefix without digits, or nothing

  if (hex) {
    uint32_t value = 0;
    int significant = 0;
    for (; i < n; ++i) {
      int d = HexDigit(text[i]);
      if (d < 0) return std::nullopt;
      if (significant > 0 || d != 0) ++significant;
      if (significant > 8) return std::nullopt;
      value = (value << 4) | static_cast<uint32_t>(d);
    }
    // Negation in unsigned arithmetic keeps the two's-complement pattern.
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
  }

  // Decimal: accumulate the magnitude; the range depends on the sign.
  uint64_t magnitude = 0;
  for (; i < n; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    if (magnitude > 2147483648ull) return std::nullopt;
  }
  if (negative) {
    return static_cast<int32_t>(-static_cast<int64_t>(magnitude));
  }
  if (magnitude > 2147483647ull) return std::nullopt;
  return static_cast<int32_t>(magnitude);
}

}  // namespace kelv
