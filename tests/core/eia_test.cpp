#include "eia.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// The code table, written out once more by hand so the test does not share a
// typo with the code. Note 0x13 is the digit 3 (DC3 is 0x93), 0x00 stays
// NUL, and 0x7F or 0x81 (end-of-block plus a digit) are unknown.
const std::map<int, int>& Listed() {
  static const std::map<int, int> m = {
      {0x00, 0x00}, {0x20, '0'},  {0x01, '1'},  {0x02, '2'},  {0x13, '3'},  {0x04, '4'},
      {0x15, '5'},  {0x16, '6'},  {0x07, '7'},  {0x08, '8'},  {0x19, '9'},  {0x61, 'A'},
      {0x62, 'B'},  {0x73, 'C'},  {0x64, 'D'},  {0x75, 'E'},  {0x76, 'F'},  {0x67, 'G'},
      {0x68, 'H'},  {0x79, 'I'},  {0x51, 'J'},  {0x52, 'K'},  {0x43, 'L'},  {0x54, 'M'},
      {0x45, 'N'},  {0x46, 'O'},  {0x57, 'P'},  {0x58, 'Q'},  {0x49, 'R'},  {0x32, 'S'},
      {0x23, 'T'},  {0x34, 'U'},  {0x25, 'V'},  {0x26, 'W'},  {0x37, 'X'},  {0x38, 'Y'},
      {0x29, 'Z'},  {0x70, '+'},  {0x40, '-'},  {0x6B, '.'},  {0x3B, ','},  {0x31, '/'},
      {0x0B, '%'},  {0x0E, '&'},  {0x1A, '('},  {0x4A, ')'},  {0x10, 0x20}, {0x3E, 0x09},
      {0x2A, 0x08}, {0x80, 0x0A}, {0x11, 0x11}, {0x12, 0x12}, {0x14, 0x14}, {0x93, 0x13},
  };
  return m;
}

TEST(Eia, WholeDomain) {
  int listed = 0;
  for (int code = 0; code < 256; ++code) {
    const auto it = Listed().find(code);
    const int want = it != Listed().end() ? it->second : 0x10;
    if (it != Listed().end()) ++listed;
    EXPECT_EQ(kelv::EiaToIso(static_cast<uint8_t>(code)), want) << "code 0x" << std::hex << code;
  }
  EXPECT_EQ(listed, 54);
}

TEST(Eia, EncoderInvertsTheDecoder) {
  int encodable = 0;
  for (int iso = 0; iso < 256; ++iso) {
    const std::optional<uint8_t> eia = kelv::IsoToEia(static_cast<uint8_t>(iso));
    bool decodable = false;
    for (const auto& [code, ch] : Listed()) decodable = decodable || ch == iso;
    ASSERT_EQ(eia.has_value(), decodable) << "iso 0x" << std::hex << iso;
    if (eia) {
      ++encodable;
      EXPECT_EQ(kelv::EiaToIso(*eia), iso) << "iso 0x" << std::hex << iso;
    }
  }
  EXPECT_EQ(encodable, 54);
  // Lower case is not on the tape, and the "unknown" result has no code.
  EXPECT_FALSE(kelv::IsoToEia('a'));
  EXPECT_FALSE(kelv::IsoToEia(0x10));
  EXPECT_FALSE(kelv::IsoToEia(0x0D));
}

}  // namespace
