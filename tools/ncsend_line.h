// The line simulator's device side (POSIX): opening and setting up the line,
// making a pseudo-terminal pair, and sending a stream the way a control does,
// with the DC2 handshake, DC3/DC1 flow control and pacing.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ncsend_lib.h"

namespace ncsend {

// How often an unanswered DC2 is repeated.
constexpr int kDc2IntervalMs = 300;

// One stop of the line by a DC3.
struct Dc3Stop {
  uint64_t at = 0;     // characters of the stream sent when the DC3 was read
  uint64_t after = 0;  // characters still sent after it
  bool resumed = false;
  double paused_s = 0;  // from the DC3 to the DC1 that resumed
};

struct SendOptions {
  double cps = 0;  // characters per second; 0 sends flat out
  size_t chunk = 64;
  size_t overrun = 0;
  bool ignore_dc3 = false;  // a control without flow control: DC3 is counted only
  bool handshake = false;
  int timeout_ms = 60000;  // 0 waits for ever
  int linger_ms = 0;
  // Set from a signal handler to give up at the next chance.
  const volatile std::sig_atomic_t* interrupted = nullptr;
  // Called on the sending thread when the line has stopped after a DC3, and
  // when a DC1 has resumed it.
  std::function<void(const Dc3Stop&)> on_stop;
  std::function<void(const Dc3Stop&)> on_resume;
};

struct SendReport {
  bool ok = false;
  std::string error;   // when !ok
  uint64_t bytes = 0;  // of the stream, handshake DC2s not included
  uint64_t dc2_sent = 0;
  uint64_t dc1 = 0;
  uint64_t dc3 = 0;
  uint64_t other = 0;  // any other byte that came back
  std::vector<Dc3Stop> stops;
  bool handshake_answered = false;
  double handshake_s = 0;  // from the first DC2 to the DC1
  double seconds = 0;      // from the first to the last character of the stream
};

// Sends `stream` on the open line `fd` (made non-blocking here). Reads DC1 and
// DC3 from it meanwhile. Returns when all was sent (and the linger time is
// over), or on the first failure.
SendReport Send(int fd, const std::vector<uint8_t>& stream, const SendOptions& opt);

// True for the far end of a pseudo-terminal pair (a /dev/pts device).
bool IsPseudoTerminal(const std::string& path);

// Opens a terminal device for reading and writing, without making it the
// controlling terminal. Refuses, before opening, anything but a pseudo-terminal
// unless real_port. -1 with a message on failure.
int OpenLine(const std::string& path, bool real_port, std::string& error);

// Raw mode, the frame and, where termios has it, the speed. The device may
// refuse parts (a pseudo-terminal ignores the frame): those come back as
// warnings, not failures.
void ConfigureLine(int fd, uint32_t baud, const LineFrame& frame,
                   std::vector<std::string>& warnings);

// A pseudo-terminal pair whose far end is in raw mode (so nothing is echoed
// before the receiver opens it), with `link` a symbolic link to it. An existing
// symbolic link is replaced; any other file there is an error.
struct Pty {
  int master = -1;
  int slave = -1;  // held open so the line stays up between receivers
  std::string name;
  std::string link;
};
bool MakePty(const std::string& link, Pty& out, std::string& error);
// Removes the link (if it still leads to this pair) and closes both ends.
void ClosePty(Pty& p);
// Lets go of the pair's far end and waits until a receiver has opened it
// (the pair no longer reports a hang-up). False with a message after
// `timeout_ms` (0 waits for ever) or when `interrupted` is set.
bool AwaitOpener(Pty& p, int timeout_ms, const volatile std::sig_atomic_t* interrupted,
                 std::string& error);

}  // namespace ncsend
