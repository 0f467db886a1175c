// Pure translations of the POSIX backend: the device control block to termios
// and back, and the decoding of marked input bytes. Nothing here touches a
// device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "serialdev.h"

namespace serialtables {

// What the termios backend applies for a device control block: the four mode
// words (no baud bits in cflag; the speed travels separately so that any rate
// can be set), the flow-control characters, and the modem lines to drive.
struct LineTermios {
  uint32_t iflag = 0;
  uint32_t oflag = 0;
  uint32_t cflag = 0;
  uint32_t lflag = 0;
  uint32_t speed = 0;
  uint8_t vstart = 0;  // XON
  uint8_t vstop = 0;   // XOFF
  // Modem outputs after applying: true raise, false drop.
  bool dtr = false;
  bool rts = false;
};

// Translates a device control block into raw-mode termios settings (with
// fewer than 8 data bits the kernel strips input to 7 bits, so that its own
// flow control sees the characters the program sees). Returns
// nothing for settings the device model refuses: baud rate 0, byte size other
// than 5..8, an unknown parity or stop-bit value, 1.5 stop bits with more than
// 5 data bits, 2 stop bits with 5 data bits, and equal XON and XOFF characters
// while software flow control is on.
std::optional<LineTermios> TermiosFor(const serialdev::DeviceControl& dcb);

// The device control block that describes settings read from a device, for the
// first "get line settings" after opening.
serialdev::DeviceControl DeviceControlFrom(const LineTermios& t);

// Decodes the input of a device whose line discipline marks faulty bytes
// (PARMRK): 0xFF 0xFF is a 0xFF byte, 0xFF 0x00 c is byte c received with a
// parity or framing error (0xFF 0x00 0x00 is also how a break arrives). Faulty
// bytes are delivered unchanged unless replace_errors asks for error_char.
// NUL bytes are dropped when discard_null is set. Each delivered byte (an
// error_char too) is cut to data_mask after the marks are undone. State
// carries across calls, since a mark may be split between two reads.
class RxFilter {
 public:
  struct Options {
    bool marks = false;  // the device marks faulty bytes
    bool replace_errors = false;
    uint8_t error_char = 0;
    bool discard_null = false;
    // The data bits of the line: with fewer than 8 the bits above them are
    // dropped, as the Windows driver delivers them. Some devices and
    // adapters pass the parity bit on in bit 7 of a 7-bit character.
    uint8_t data_mask = 0xFF;
  };

  RxFilter() = default;
  explicit RxFilter(Options o) : opt_(o) {}

  // Appends the delivered bytes of in[0..n) to out; returns the number of bytes
  // that arrived with an error. `faulty`, when given, gets the place in `out`
  // of each such byte that was delivered; `nuls`, when given, is increased
  // by those that came as NUL (0xFF 0x00 0x00: a break, or an error on a NUL,
  // which only the driver's counters can tell apart).
  size_t Feed(const uint8_t* in, size_t n, std::vector<uint8_t>& out,
              std::vector<size_t>* faulty = nullptr, size_t* nuls = nullptr);
  void Reset() { state_ = 0; }

 private:
  bool Deliver(uint8_t b, std::vector<uint8_t>& out) const;

  Options opt_;
  int state_ = 0;  // 0 plain, 1 after 0xFF, 2 after 0xFF 0x00
};

}  // namespace serialtables
