#include "eia.h"

#include <array>

namespace kelv {
namespace {

struct Code {
  uint8_t eia;
  uint8_t iso;
};

constexpr Code kTable[] = {
    // Tape blank.
    {0x00, 0x00},
    // Digits.
    {0x20, '0'},
    {0x01, '1'},
    {0x02, '2'},
    {0x13, '3'},
    {0x04, '4'},
    {0x15, '5'},
    {0x16, '6'},
    {0x07, '7'},
    {0x08, '8'},
    {0x19, '9'},
    // Letters.
    {0x61, 'A'},
    {0x62, 'B'},
    {0x73, 'C'},
    {0x64, 'D'},
    {0x75, 'E'},
    {0x76, 'F'},
    {0x67, 'G'},
    {0x68, 'H'},
    {0x79, 'I'},
    {0x51, 'J'},
    {0x52, 'K'},
    {0x43, 'L'},
    {0x54, 'M'},
    {0x45, 'N'},
    {0x46, 'O'},
    {0x57, 'P'},
    {0x58, 'Q'},
    {0x49, 'R'},
    {0x32, 'S'},
    {0x23, 'T'},
    {0x34, 'U'},
    {0x25, 'V'},
    {0x26, 'W'},
    {0x37, 'X'},
    {0x38, 'Y'},
    {0x29, 'Z'},
    // Signs.
    {0x70, '+'},
    {0x40, '-'},
    {0x6B, '.'},
    {0x3B, ','},
    {0x31, '/'},
    {0x0B, '%'},
    {0x0E, '&'},
    {0x1A, '('},
    {0x4A, ')'},
    // Layout: space, TAB, BS, end of block.
    {0x10, 0x20},
    {0x3E, 0x09},
    {0x2A, 0x08},
    {0x80, 0x0A},
    // Transmission control passes through in ISO form; DC3 has its own code
    // because 0x13 is the digit 3.
    {0x11, 0x11},
    {0x12, 0x12},
    {0x14, 0x14},
    {0x93, 0x13},
};

constexpr uint8_t kUnknown = 0x10;

struct Maps {
  std::array<uint8_t, 256> decode{};
  std::array<int16_t, 256> encode{};  // -1: not encodable
};

constexpr Maps BuildMaps() {
  Maps m{};
  for (size_t i = 0; i < m.decode.size(); ++i) {
    m.decode[i] = kUnknown;
    m.encode[i] = -1;
  }
  for (const Code& c : kTable) {
    m.decode[c.eia] = c.iso;
    m.encode[c.iso] = c.eia;
  }
  return m;
}

constexpr Maps kMaps = BuildMaps();

// One code per character and one character per code, or the two directions
// would not invert each other.
constexpr bool TableIsOneToOne() {
  for (size_t i = 0; i < sizeof kTable / sizeof kTable[0]; ++i) {
    for (size_t j = i + 1; j < sizeof kTable / sizeof kTable[0]; ++j) {
      if (kTable[i].eia == kTable[j].eia || kTable[i].iso == kTable[j].iso) return false;
    }
    if (kTable[i].iso == kUnknown) return false;
  }
  return true;
}
static_assert(TableIsOneToOne(), "EIA table must be one to one");

}  // namespace

uint8_t EiaToIso(uint8_t eia) {
  return kMaps.decode[eia];
}

std::optional<uint8_t> IsoToEia(uint8_t iso) {
  const int16_t e = kMaps.encode[iso];
  if (e < 0) return std::nullopt;
  return static_cast<uint8_t>(e);
}

}  // namespace kelv
