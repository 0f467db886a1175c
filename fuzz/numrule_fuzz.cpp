// The number rule: compared with a second, deliberately plain reading of the
// rule, and checked by round trips and by padding that must not matter.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "check.h"
#include "numrule.h"

namespace {

bool IsDec(char c) {
  return c >= '0' && c <= '9';
}
bool IsHex(char c) {
  return IsDec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Bytes that can appear in an accepted text at all.
bool MayAppear(char c) {
  return c == ' ' || c == '+' || c == '-' || c == '$' || c == 'x' || c == 'X' || IsHex(c);
}

// The rule read the other way round: cut the text into its parts first, then
// judge the digits by their count once leading zeros are gone.
std::optional<int32_t> Reference(const std::string& t) {
  size_t i = t.find_first_not_of(' ');
  if (i == std::string::npos) return std::nullopt;
  bool neg = false;
  if (t[i] == '+' || t[i] == '-') neg = t[i++] == '-';
  std::string rest = t.substr(i);
  bool hex = false;
  if (rest.rfind("0x", 0) == 0 || rest.rfind("0X", 0) == 0) {
    hex = true;
    rest.erase(0, 2);
  } else if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
    hex = true;
    rest.erase(0, 1);
  }
  if (rest.empty()) return std::nullopt;
  for (char c : rest) {
    if (hex ? !IsHex(c) : !IsDec(c)) return std::nullopt;
  }
  const size_t nz = rest.find_first_not_of('0');
  const std::string sig = nz == std::string::npos ? "" : rest.substr(nz);
  if (hex) {
    if (sig.size() > 8) return std::nullopt;
    uint32_t v = sig.empty() ? 0 : static_cast<uint32_t>(std::stoul(sig, nullptr, 16));
    if (neg) v = ~v + 1;
    return static_cast<int32_t>(v);
  }
  if (sig.size() > 10) return std::nullopt;
  const long long v = sig.empty() ? 0 : std::stoll(sig);
  const long long s = neg ? -v : v;
  if (s < INT32_MIN || s > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<int32_t> got = kelv::ParseNumber(text);

  FUZZ_CHECK(got == Reference(text));

  bool foreign = false;
  for (char c : text) foreign = foreign || !MayAppear(c);
  if (foreign) FUZZ_CHECK(!got);
  if (!got) return 0;
  const int32_t v = *got;

  // No blank after the first non-blank byte: the number runs to the end.
  const size_t first = text.find_first_not_of(' ');
  FUZZ_CHECK(first != std::string::npos);
  FUZZ_CHECK(text.find(' ', first) == std::string::npos);

  // What we write back as decimal (the settings save) and as hexadecimal in
  // each prefix reads back as the same value.
  FUZZ_CHECK(kelv::ParseNumber(std::to_string(v)) == v);
  char buf[32];
  const uint32_t bits = static_cast<uint32_t>(v);
  for (const char* fmt : {"0x%X", "0X%x", "$%x", "x%X", "X%08x"}) {
    std::snprintf(buf, sizeof buf, fmt, bits);
    FUZZ_CHECK(kelv::ParseNumber(buf) == v);
  }

  // Longer than needed is fine: more leading blanks, or a zero in front of the
  // digits, keep the value.
  FUZZ_CHECK(kelv::ParseNumber("  " + text) == v);
  size_t digits = first;
  if (text[digits] == '+' || text[digits] == '-') ++digits;
  if (text.compare(digits, 2, "0x") == 0 || text.compare(digits, 2, "0X") == 0) {
    digits += 2;
  } else if (text[digits] == '$' || text[digits] == 'x' || text[digits] == 'X') {
    digits += 1;
  }
  std::string padded = text;
  padded.insert(digits, "0");
  FUZZ_CHECK(kelv::ParseNumber(padded) == v);

  // Something after the number, a blank included, spoils it.
  FUZZ_CHECK(!kelv::ParseNumber(text + " "));
  FUZZ_CHECK(!kelv::ParseNumber(text + "g"));
  return 0;
}
