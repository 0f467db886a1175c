// EIA (RS-244) tape code to ISO (ASCII) and back.
//
// In EIA characters bit 0x10 is the parity channel and bit 0x80 the
// end-of-block mark. Both directions come from one table, so the line
// simulator's encoder cannot drift from what the receiver decodes.
#pragma once

#include <cstdint>
#include <optional>

namespace kelv {

// The ISO character an EIA code stands for. Codes the table does not know (and
// everything above 0x93) give 0x10. Never fails.
uint8_t EiaToIso(uint8_t eia);

// The EIA code that EiaToIso turns into `iso`, or nothing when no code does
// (0x10 itself included: it only ever stands for "unknown").
std::optional<uint8_t> IsoToEia(uint8_t iso);

}  // namespace kelv
