// The control characters of the line by their ASCII names: the line ends and
// the four device controls the control and this program exchange.
#pragma once

#include <cstdint>

namespace linechars {

constexpr uint8_t kLF = 0x0A;
constexpr uint8_t kCR = 0x0D;
constexpr uint8_t kDC1 = 0x11;  // go on (XON), and the answer to DC2
constexpr uint8_t kDC2 = 0x12;  // the control asks whether we are ready; the start mark
constexpr uint8_t kDC3 = 0x13;  // hold (XOFF)
constexpr uint8_t kDC4 = 0x14;  // the end mark

}  // namespace linechars
