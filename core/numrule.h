// The number rule of the settings file, also used for the position argument.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelv {

// Leading spaces (0x20 only), one optional sign, then decimal digits or a
// hexadecimal prefix ("$", "x", "X", "0x", "0X") with 1..8 significant hex
// digits (taken as a 32-bit two's-complement pattern), running to the end of the
// text. Decimal must fit in signed 32 bits. Anything else: no number.
std::optional<int32_t> ParseNumber(const std::string& text);

}  // namespace kelv
