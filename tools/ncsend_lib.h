// The line simulator's pure part: turning a program text into the byte stream a
// CNC control punches out (tape code, line ends, start/end framing), the line
// frame arithmetic used for pacing, and the command line. No device, no clock,
// so it builds and is tested on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "linechars.h"

namespace ncsend {

enum class Code { Iso, Eia };
enum class Eol { Lf, CrLf };

using linechars::kDC1;
using linechars::kDC2;
using linechars::kDC3;
using linechars::kDC4;

// The four start/end conventions of the receiver:
//  0  "%" .. "%"     the program's own "%" lines (added when missing)
//  1  DC2 .. DC4     around the program
//  2  forced receive: leader, then the plain program (the first LF starts)
//  3  "%" .. DC4     the program's leading "%" (added when missing), DC4 after
constexpr int kModeCount = 4;
// Leader length in mode 2 when none is asked for: the receiver sees blank tape
// before the first line end.
constexpr int kForcedLeader = 16;

struct FrameOptions {
  Code code = Code::Iso;
  Eol eol = Eol::Lf;  // ISO only; EIA ends blocks with its own code
  int mode = 0;
  int leader = -1;  // feed characters (NUL, blank tape) before the start; -1 default
};

struct Framed {
  std::vector<uint8_t> bytes;
  size_t lines = 0;  // line ends in the stream
};

struct ProgramError {
  size_t line = 0;  // 1-based; 0 when the error is not about one place
  size_t column = 0;
  std::string message;  // complete, with the place
};

// Splits the text into lines (LF, or CR LF, ends a line; a last line without
// one counts), checks every character against the tape code and the mode, adds
// what the mode needs and encodes. False with `error` set, `out` untouched,
// when anything cannot be sent as it is: nothing is ever sent half.
bool EncodeProgram(const std::string& text, const FrameOptions& opt, Framed& out,
                   ProgramError& error);

// A character frame such as "7E2": data bits 5..8, parity N/E/O/M/S, stop bits
// 1, 1.5 (5 data bits only) or 2.
struct LineFrame {
  int data_bits = 8;
  char parity = 'N';    // upper case
  int stop_halves = 2;  // stop bits times two: 2, 3 or 4
};
bool ParseFrame(const std::string& text, LineFrame& out);
// Start bit, data, parity and stop bits, in half bits.
int HalfBitsPerChar(const LineFrame& f);
double CharsPerSecond(uint32_t baud, const LineFrame& f);

struct Options {
  std::string device;    // path or "COMn"; empty with --pty or --dump
  std::string pty_link;  // --pty: make a line, link LINK to its far end
  bool dump = false;     // write the stream to standard output instead
  std::string program;
  std::string ports_ini;
  FrameOptions frame;
  uint32_t baud = 9600;
  LineFrame line;
  bool frame_given = false;
  bool flat_out = false;
  size_t chunk = 64;
  size_t overrun = 0;
  bool ignore_dc3 = false;
  bool handshake = false;
  bool wait_open = false;  // --pty: start once the receiver has opened the line
  int timeout_ms = 60000;  // 0 waits for ever
  int linger_ms = 0;
  bool real_port = false;
  bool quiet = false;
  bool help = false;
};

// argv without the program name. False with a one-line message on a bad or
// missing argument.
bool ParseArgs(const std::vector<std::string>& args, Options& out, std::string& error);

std::string UsageText();

}  // namespace ncsend
