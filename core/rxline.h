// The line the receive dialog opens, written once: the dialog gives its port
// these settings, and the tests that stand in for the dialog's line read them
// from here.
#pragma once

#include <cstdint>

#include "lineprops.h"
#include "sjis.h"

namespace kelv {

// A receive event that finds at least this many bytes queued calls the
// dialog's OnPACKET, which reads the queue (the input queue holds 1024).
constexpr int32_t kRxPacketSize = 900;

// The dialog's stored line settings. ApplyPreset replaces the name, speed,
// data bits, parity and the three characters before every opening; the
// handlers are the dialog's own.
inline void SetRxLine(LineProperties& line) {
  // The component's defaults but for these three.
  line = LineProperties();
  line.paritymode = Sjis("無し");
  line.packetsize = kRxPacketSize;
  // The stored set decides the whole flag word, whatever it held.
  line.set_flow(rsflowset{dfParity, dfBinary});
}

}  // namespace kelv
