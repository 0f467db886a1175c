#include "ncsend_lib.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "eia.h"

namespace ncsend {
namespace {

using linechars::kCR;
using linechars::kLF;
constexpr uint8_t kNUL = 0x00;

std::string Place(size_t line, size_t column) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": ";
}

std::string Hex(uint8_t b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", b);
  return buf;
}

// 'a' (0x61) for printable characters, 0x07 for the rest.
std::string Shown(uint8_t b) {
  if (b > 0x20 && b < 0x7F) return std::string("'") + static_cast<char>(b) + "' (" + Hex(b) + ")";
  return Hex(b);
}

struct Line {
  std::string text;
  size_t number = 0;  // in the file; 0 for a line we add
};

bool Fail(ProgramError& error, size_t line, size_t column, const std::string& what) {
  error.line = line;
  error.column = column;
  error.message = line ? Place(line, column) + what : what;
  return false;
}

// Encodes one character of the stream (text or framing) in the tape code.
class Encoder {
 public:
  explicit Encoder(const FrameOptions& o) : opt_(o) {}

  void Char(uint8_t c) {
    if (opt_.code == Code::Iso) {
      out_.push_back(c);
    } else {
      // Every character handed here was checked, or is framing with a code.
      out_.push_back(kelv::IsoToEia(c).value_or(0));
    }
  }
  void EndOfLine() {
    if (opt_.code == Code::Iso && opt_.eol == Eol::CrLf) out_.push_back(kCR);
    Char(kLF);
    ++lines_;
  }
  void Text(const std::string& s) {
    for (char c : s) Char(static_cast<uint8_t>(c));
  }
  std::vector<uint8_t> Take() { return std::move(out_); }
  size_t Lines() const { return lines_; }

 private:
  FrameOptions opt_;
  std::vector<uint8_t> out_;
  size_t lines_ = 0;
};

bool ParseUnsigned(const std::string& s, uint64_t max, uint64_t& out) {
  if (s.empty() || s.size() > 12) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  out = v;
  return true;
}

// Non-negative decimal seconds ("2", "0.5") to milliseconds.
bool ParseSeconds(const std::string& s, int& ms) {
  const size_t dot = s.find('.');
  uint64_t whole = 0;
  if (!ParseUnsigned(s.substr(0, dot), 86400, whole)) return false;
  uint64_t frac_ms = 0;
  if (dot != std::string::npos) {
    std::string frac = s.substr(dot + 1);
    if (frac.empty() || frac.size() > 3) return false;
    while (frac.size() < 3) frac += '0';
    if (!ParseUnsigned(frac, 999, frac_ms)) return false;
  }
  ms = static_cast<int>(whole * 1000 + frac_ms);
  return true;
}

}  // namespace

bool EncodeProgram(const std::string& text, const FrameOptions& opt, Framed& out,
                   ProgramError& error) {
  if (opt.mode < 0 || opt.mode >= kModeCount) {
    return Fail(error, 0, 0, "start mode " + std::to_string(opt.mode) + " is not 0 to 3");
  }
  std::vector<Line> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    const bool last = end == std::string::npos;
    if (last) end = text.size();
    Line l;
    l.text = text.substr(begin, end - begin);
    l.number = lines.size() + 1;
    if (!l.text.empty() && l.text.back() == '\r') l.text.pop_back();
    lines.push_back(std::move(l));
    begin = last ? end : end + 1;
  }

  size_t first = lines.size();
  size_t lastl = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text.empty()) continue;
    if (first == lines.size()) first = i;
    lastl = i;
  }
  if (first == lines.size()) return Fail(error, 0, 0, "the program is empty");

  // Where the program's own "%" markers stand; in mode 0 any other "%" would
  // end the transfer early, so it is refused.
  const bool has_start = lines[first].text[0] == '%';
  const bool has_end = lastl != first && lines[lastl].text[0] == '%';

  for (const Line& l : lines) {
    for (size_t c = 0; c < l.text.size(); ++c) {
      const auto b = static_cast<uint8_t>(l.text[c]);
      const size_t col = c + 1;
      if (b == kCR) return Fail(error, l.number, col, "CR inside a line");
      if (b >= kDC1 && b <= kDC4) {
        static const char* const kNames[] = {"DC1", "DC2", "DC3", "DC4"};
        return Fail(error, l.number, col,
                    std::string(kNames[b - kDC1]) + " (" + Hex(b) +
                        ") in the program would act on the line");
      }
      if (opt.code == Code::Iso && b >= 0x80) {
        return Fail(error, l.number, col, "byte " + Hex(b) + " is not 7-bit ASCII");
      }
      if (opt.code == Code::Eia && !kelv::IsoToEia(b)) {
        return Fail(error, l.number, col, Shown(b) + " has no EIA code");
      }
      if (opt.mode == 0 && b == '%') {
        const size_t idx = l.number - 1;
        const bool marker = c == 0 && ((idx == first && has_start) || (idx == lastl && has_end));
        if (!marker) {
          return Fail(error, l.number, col,
                      "'%' inside the program would end the transfer early in mode 0");
        }
      }
    }
  }

  Encoder enc(opt);
  const int leader = opt.leader >= 0 ? opt.leader : (opt.mode == 2 ? kForcedLeader : 0);
  for (int i = 0; i < leader; ++i) enc.Char(kNUL);
  if (opt.mode == 1) enc.Char(kDC2);
  if ((opt.mode == 0 || opt.mode == 3) && !has_start) {
    enc.Char('%');
    enc.EndOfLine();
  }
  for (const Line& l : lines) {
    enc.Text(l.text);
    enc.EndOfLine();
  }
  if (opt.mode == 0 && !has_end) {
    enc.Char('%');
    enc.EndOfLine();
  }
  if (opt.mode == 1 || opt.mode == 3) enc.Char(kDC4);

  out.lines = enc.Lines();
  out.bytes = enc.Take();
  return true;
}

bool ParseFrame(const std::string& text, LineFrame& out) {
  if (text.size() < 3) return false;
  LineFrame f;
  if (text[0] < '5' || text[0] > '8') return false;
  f.data_bits = text[0] - '0';
  char p = text[1];
  if (p >= 'a' && p <= 'z') p = static_cast<char>(p - 'a' + 'A');
  if (p != 'N' && p != 'E' && p != 'O' && p != 'M' && p != 'S') return false;
  f.parity = p;
  const std::string stop = text.substr(2);
  if (stop == "1") {
    f.stop_halves = 2;
  } else if (stop == "1.5" && f.data_bits == 5) {
    f.stop_halves = 3;
  } else if (stop == "2") {
    f.stop_halves = 4;
  } else {
    return false;
  }
  out = f;
  return true;
}

int HalfBitsPerChar(const LineFrame& f) {
  return 2 * (1 + f.data_bits + (f.parity == 'N' ? 0 : 1)) + f.stop_halves;
}

double CharsPerSecond(uint32_t baud, const LineFrame& f) {
  return 2.0 * baud / HalfBitsPerChar(f);
}

bool ParseArgs(const std::vector<std::string>& args, Options& out, std::string& error) {
  Options o;
  std::vector<std::string> positional;
  std::optional<std::string> frame_text;
  bool eol_given = false;

  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inline_value;
    if (name.rfind("--", 0) == 0) {
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        inline_value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
    } else if (name != "-h") {
      positional.push_back(name);
      continue;
    }
    auto flag = [&]() {
      if (inline_value) {
        error = name + " takes no value";
        return false;
      }
      return true;
    };
    auto value = [&](std::string& v) {
      if (inline_value) {
        v = *inline_value;
        return true;
      }
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      v = args[++i];
      return true;
    };
    auto number = [&](uint64_t max, uint64_t& v) {
      std::string s;
      if (!value(s)) return false;
      if (!ParseUnsigned(s, max, v)) {
        error = name + ": '" + s + "' is not a number from 0 to " + std::to_string(max);
        return false;
      }
      return true;
    };

    auto above_zero = [&](uint64_t max, uint64_t& v, const char* why) {
      if (!number(max, v)) return false;
      if (v == 0) error = name + ": " + why;
      return v != 0;
    };
    // A value that names one of two settings.
    auto either = [&](const char* a, auto va, const char* b, auto vb, auto& into) {
      std::string v;
      if (!value(v)) return false;
      if (v != a && v != b) {
        error = name + ": '" + v + "' is neither " + a + " nor " + b;
        return false;
      }
      into = v == a ? va : vb;
      return true;
    };

    std::string s;
    uint64_t n = 0;
    if (name == "-h" || name == "--help") {
      if (!flag()) return false;
      o.help = true;
    } else if (name == "--code") {
      if (!either("iso", Code::Iso, "eia", Code::Eia, o.frame.code)) return false;
    } else if (name == "--eol") {
      if (!either("lf", Eol::Lf, "crlf", Eol::CrLf, o.frame.eol)) return false;
      eol_given = true;
    } else if (name == "--mode") {
      if (!number(kModeCount - 1, n)) return false;
      o.frame.mode = static_cast<int>(n);
    } else if (name == "--leader") {
      if (!number(1000000, n)) return false;
      o.frame.leader = static_cast<int>(n);
    } else if (name == "--baud") {
      if (!above_zero(4000000, n, "the rate must be above 0")) return false;
      o.baud = static_cast<uint32_t>(n);
    } else if (name == "--frame") {
      if (!value(s)) return false;
      frame_text = s;
    } else if (name == "--flat-out") {
      if (!flag()) return false;
      o.flat_out = true;
    } else if (name == "--chunk") {
      if (!above_zero(65536, n, "at least one character")) return false;
      o.chunk = n;
    } else if (name == "--overrun") {
      if (!number(1000000, n)) return false;
      o.overrun = n;
    } else if (name == "--ignore-dc3") {
      if (!flag()) return false;
      o.ignore_dc3 = true;
    } else if (name == "--handshake") {
      if (!flag()) return false;
      o.handshake = true;
    } else if (name == "--wait-open") {
      if (!flag()) return false;
      o.wait_open = true;
    } else if (name == "--timeout") {
      if (!value(s)) return false;
      if (!ParseSeconds(s, o.timeout_ms)) {
        error = "--timeout: '" + s + "' is not a number of seconds";
        return false;
      }
    } else if (name == "--linger-ms") {
      if (!number(3600000, n)) return false;
      o.linger_ms = static_cast<int>(n);
    } else if (name == "--ports-ini") {
      if (!value(o.ports_ini)) return false;
    } else if (name == "--pty") {
      if (!value(o.pty_link)) return false;
      if (o.pty_link.empty()) {
        error = "--pty needs a path for the link";
        return false;
      }
    } else if (name == "--dump") {
      if (!flag()) return false;
      o.dump = true;
    } else if (name == "--real-port") {
      if (!flag()) return false;
      o.real_port = true;
    } else if (name == "--quiet") {
      if (!flag()) return false;
      o.quiet = true;
    } else {
      error = "unknown option " + name;
      return false;
    }
  }
  if (o.help) {
    out = o;
    return true;
  }

  if (o.dump && !o.pty_link.empty()) {
    error = "--dump and --pty exclude each other";
    return false;
  }
  if (o.wait_open && o.pty_link.empty()) {
    error = "--wait-open needs --pty";
    return false;
  }
  const size_t want = (o.dump || !o.pty_link.empty()) ? 1 : 2;
  if (positional.size() != want) {
    error = want == 1 ? "expected one argument, the program file"
                      : "expected two arguments, the device and the program file";
    return false;
  }
  if (want == 2) o.device = positional[0];
  o.program = positional.back();

  if (o.frame.code == Code::Eia && eol_given && o.frame.eol == Eol::CrLf) {
    error = "--eol crlf: EIA has no CR code; its blocks end with the end-of-block code";
    return false;
  }
  if (frame_text) {
    if (!ParseFrame(*frame_text, o.line)) {
      error = "--frame: '" + *frame_text + "' is not a frame like 7E2 or 8O1";
      return false;
    }
    o.frame_given = true;
  } else {
    // What the receiver sets for each tape code.
    o.line = o.frame.code == Code::Iso ? LineFrame{7, 'E', 2} : LineFrame{8, 'O', 2};
  }
  if (o.frame.code == Code::Eia && o.line.data_bits < 8) {
    error = "--frame " + frame_text.value_or("") + ": EIA codes need 8 data bits";
    return false;
  }
  out = o;
  return true;
}

std::string UsageText() {
  return R"(Usage: ncsend [options] DEVICE PROGRAM
       ncsend [options] --pty LINK PROGRAM
       ncsend [options] --dump PROGRAM

Plays a CNC control punching PROGRAM (a text file) out over a serial line.

DEVICE is a path (anything holding "/") or a port name COMn, found in the
[Ports] section of --ports-ini FILE, else /dev/ttyS(n-1). Only pseudo-terminals
are opened unless --real-port is given.

  --pty LINK        make a pseudo-terminal pair, link LINK to its far end (for
                    the receiver) and send on this end; LINK is removed at exit
  --dump            write the encoded stream to standard output, send nothing
  --code iso|eia    tape code (iso): ISO 7-bit ASCII, or EIA codes with the
                    end-of-block code 0x80 for each line end
  --eol lf|crlf     ISO line ends (lf)
  --mode 0..3       start/end convention (0): 0 "%".."%", 1 DC2..DC4,
                    2 forced receive (leader, plain program), 3 "%"..DC4;
                    a missing leading or closing "%" line is added
  --leader N        N feed characters (NUL) before the start (0; mode 2: 16)
  --handshake       send DC2 every 300 ms until a DC1 answers, then the
                    program; after a DC3 ask again the same way
  --wait-open       with --pty: let the line go until the receiver opens it,
                    and only then start (the handshake first); gives up after
                    --timeout
  --timeout S       give up when no DC1 comes within S seconds of the
                    handshake or a DC3, or the line takes nothing (60; 0 never)
  --baud N          line speed (9600); the device is set to it where it can be
  --frame DPS       character frame, e.g. 7E2, 8O1 (ISO 7E1, EIA 8O1)
  --flat-out        do not pace; send as fast as the device takes it
  --chunk N         largest single write (64)
  --overrun N       characters still sent after a DC3 before stopping (0)
  --ignore-dc3      count DC3 but never stop for it (a control without flow
                    control; a pseudo-terminal still stops us when full)
  --linger-ms N     keep the line open N ms after the last character (0)
  --ports-ini FILE  settings file whose [Ports] section maps COMn names
  --real-port       allow a device that is not a pseudo-terminal
  --quiet           no report per DC3 while sending
  -h, --help        this text

Exit status: 0 sent, 1 line failure (device, write, time-out), 2 bad arguments
or a program that cannot be sent in the chosen code and mode.
)";
}

}  // namespace ncsend
