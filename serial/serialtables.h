// Pure translations of the serial component: property texts to device values,
// the component's properties to the device control block and time-outs, the
// event mask, port names, and (on POSIX) the device control block to termios
// and the decoding of marked input bytes. Nothing here touches a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rs232c.h"
#include "serialdev.h"

namespace serialtables {

// "1" -> ONESTOPBIT, "1.5" -> ONE5STOPBITS, "2" -> TWOSTOPBITS; any other text
// (compared byte for byte) has no value and leaves the device's setting alone.
std::optional<uint8_t> StopBitsFromText(const std::string& text);

// The parity texts (code page 932 bytes, compared byte for byte) to the device's
// parity value; any other text has no value.
std::optional<uint8_t> ParityFromText(const std::string& text);

// The line events enabled by the assigned handlers, in event-table order.
uint32_t EventMaskFor(const Trs232c& port);

// Changes the device control block read from the device by the component's
// properties: baud rate, stop bits and parity by their tables, byte size,
// flag word, limits and characters (those two kept where the property is 0).
void ChangeDeviceControl(const Trs232c& port, serialdev::DeviceControl& dcb);

// The five time-outs from the component's properties.
serialdev::CommTimeouts TimeoutsFor(const Trs232c& port);

// The device path for a port name on a system without "COMn" devices: a name
// holding "/" is a path already; otherwise the map entry whose key equals the
// name ignoring ASCII case; otherwise "COMn" (any case, n >= 1) names
// "/dev/ttyS" + (n - 1). Any other name resolves to "" (no device).
std::string ResolvePortName(const std::string& name, const PortMap& map);

// The path CreateFile takes for a port name on Windows. The map entry whose
// key names the same port (ASCII case ignored, and "COM3", "COM3:" and
// "\\.\COM3" all name one port) replaces the name, unless the entry is a POSIX
// path (a map written for Linux); then one trailing ':' (the old "COM1:" form)
// is dropped, and a name not in a device namespace yet (beginning with "\\" or
// "//") gets the prefix "\\.\", without which COM10 and above do not open.
// An empty name resolves to "" (no device).
std::string WindowsDevicePath(const std::string& name, const PortMap& map);

#ifndef _WIN32

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
// carries across calls,
// since a mark may be split between two reads.
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
  // that arrived with an error.
  size_t Feed(const uint8_t* in, size_t n, std::vector<uint8_t>& out);
  void Reset() { state_ = 0; }

 private:
  void Deliver(uint8_t b, std::vector<uint8_t>& out) const;

  Options opt_;
  int state_ = 0;  // 0 plain, 1 after 0xFF, 2 after 0xFF 0x00
};

#endif  // !_WIN32

}  // namespace serialtables
