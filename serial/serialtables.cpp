#include "serialtables.h"

#include <utility>

#include "sjis.h"

#ifndef _WIN32
#include <termios.h>
#endif

namespace serialtables {

using namespace serialdev;

std::optional<uint8_t> StopBitsFromText(const std::string& text) {
  if (text == "1") return ONESTOPBIT;
  if (text == "1.5") return ONE5STOPBITS;
  if (text == "2") return TWOSTOPBITS;
  return std::nullopt;
}

std::optional<uint8_t> ParityFromText(const std::string& text) {
  struct Entry {
    std::string text;
    uint8_t value;
  };
  static const std::vector<Entry> table = [] {
    const std::pair<const char*, uint8_t> utf8[] = {
        {"無し", NOPARITY},        {"なし", NOPARITY},

        {"奇数", ODDPARITY},       {"きすう", ODDPARITY},       {"ODD", ODDPARITY},
        {"odd", ODDPARITY},        {"ＯＤＤ", ODDPARITY},       {"ｏｄｄ", ODDPARITY},

        {"偶数", EVENPARITY},      {"ぐうすう", EVENPARITY},    {"EVEN", EVENPARITY},
        {"even", EVENPARITY},      {"ＥＶＥＮ", EVENPARITY},    {"ｅｖｅｎ", EVENPARITY},

        {"マーク", MARKPARITY},    {"まーく", MARKPARITY},      {"MARK", MARKPARITY},
        {"mark", MARKPARITY},      {"ＭＡＲＫ", MARKPARITY},    {"ｍａｒｋ", MARKPARITY},

        {"スペース", SPACEPARITY}, {"すぺーす", SPACEPARITY},   {"SPACE", SPACEPARITY},
        {"space", SPACEPARITY},    {"ＳＰＡＣＥ", SPACEPARITY}, {"ｓｐａｃｅ", SPACEPARITY},
    };
    std::vector<Entry> t;
    for (const auto& [u, v] : utf8) t.push_back({kelv::Sjis(u), v});
    return t;
  }();
  for (const Entry& e : table) {
    if (e.text == text) return e.value;
  }
  return std::nullopt;
}

uint32_t EventMaskFor(const Trs232c& p) {
  uint32_t mask = 0;
  if (p.OnBREAK) mask |= EV_BREAK;
  if (p.OnCTS) mask |= EV_CTS;
  if (p.OnDSR) mask |= EV_DSR;
  if (p.OnERR) mask |= EV_ERR;
  if (p.OnRING) mask |= EV_RING;
  if (p.OnRLSD) mask |= EV_RLSD;
  if (p.OnRXCHAR) mask |= EV_RXCHAR;
  if (p.OnPACKET) mask |= EV_RXCHAR;
  if (p.OnRXFLAG) mask |= EV_RXFLAG;
  if (p.OnTXEMPTY) mask |= EV_TXEMPTY;
  return mask;
}

void ChangeDeviceControl(const Trs232c& p, DeviceControl& dcb) {
  dcb.BaudRate = static_cast<uint32_t>(p.bps);
  if (auto v = StopBitsFromText(p.stopbit)) dcb.StopBits = *v;
  if (auto v = ParityFromText(p.paritymode)) dcb.Parity = *v;
  dcb.ByteSize = static_cast<uint8_t>(p.charbit & 0xFF);
  dcb.Flags = static_cast<uint32_t>(p.flowflag);
  if (p.XonLim != 0) dcb.XonLim = static_cast<uint16_t>(p.XonLim & 0xFFFF);
  if (p.XoffLim != 0) dcb.XoffLim = static_cast<uint16_t>(p.XoffLim & 0xFFFF);
  if (p.XonChar != 0) dcb.XonChar = p.XonChar;
  if (p.XoffChar != 0) dcb.XoffChar = p.XoffChar;
  if (p.ErrorChar != 0) dcb.ErrorChar = p.ErrorChar;
  if (p.EofChar != 0) dcb.EofChar = p.EofChar;
  if (p.EvtChar != 0) dcb.EvtChar = p.EvtChar;
}

CommTimeouts TimeoutsFor(const Trs232c& p) {
  CommTimeouts t;
  t.ReadIntervalTimeout = static_cast<uint32_t>(p.readinterval);
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(p.rxtimeout);
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(p.txtimeout);
  return t;
}

namespace {

// ASCII letters folded to lower case; the second byte of a double-byte
// character is left alone, since it may fall in the ASCII letter range.
std::string FoldAscii(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    if (lead && i + 1 < s.size()) {
      out += s[i];
      out += s[++i];
    } else if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c - 'A' + 'a');
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

std::string ResolvePortName(const std::string& name, const PortMap& map) {
  if (name.find('/') != std::string::npos) return name;
  const std::string folded = FoldAscii(name);
  for (const auto& [key, path] : map) {
    if (FoldAscii(key) == folded) return path;
  }
  if (folded.size() < 4 || folded.size() > 12 || folded.compare(0, 3, "com") != 0) return "";
  unsigned long n = 0;
  for (size_t i = 3; i < folded.size(); ++i) {
    if (folded[i] < '0' || folded[i] > '9') return "";
    n = n * 10 + static_cast<unsigned long>(folded[i] - '0');
  }
  if (n == 0) return "";
  return "/dev/ttyS" + std::to_string(n - 1);
}

namespace {

bool IsDeviceNamespace(const std::string& s) {
  return s.size() >= 2 && (s.compare(0, 2, "\\\\") == 0 || s.compare(0, 2, "//") == 0);
}

// The port a name means, for comparing names: without the "\\.\" prefix and
// the trailing ':', ASCII letters in lower case.
std::string BarePort(const std::string& name) {
  std::string s = name;
  if (s.compare(0, 4, "\\\\.\\") == 0 || s.compare(0, 4, "//./") == 0) s.erase(0, 4);
  if (!s.empty() && s.back() == ':') s.pop_back();
  return FoldAscii(s);
}

}  // namespace

std::string WindowsDevicePath(const std::string& name, const PortMap& map) {
  std::string target = name;
  const std::string bare = BarePort(name);
  for (const auto& [key, path] : map) {
    const bool posix_path = !path.empty() && path[0] == '/' && !IsDeviceNamespace(path);
    if (!posix_path && BarePort(key) == bare) {
      target = path;
      break;
    }
  }
  if (!target.empty() && target.back() == ':') target.pop_back();
  if (target.empty()) return "";
  if (IsDeviceNamespace(target)) return target;
  return "\\\\.\\" + target;
}

#ifndef _WIN32

std::optional<LineTermios> TermiosFor(const DeviceControl& dcb) {
  LineTermios t;
  if (dcb.BaudRate == 0) return std::nullopt;  // would mean "hang up" to termios
  t.speed = dcb.BaudRate;

  switch (dcb.ByteSize) {
    case 5:
      t.cflag |= CS5;
      break;
    case 6:
      t.cflag |= CS6;
      break;
    case 7:
      t.cflag |= CS7;
      break;
    case 8:
      t.cflag |= CS8;
      break;
    default:
      return std::nullopt;
  }
  switch (dcb.Parity) {
    case NOPARITY:
      break;
    case ODDPARITY:
      t.cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.cflag |= PARENB;
      break;
    case MARKPARITY:
      t.cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t.cflag |= PARENB | CMSPAR;
      break;
    default:
      return std::nullopt;
  }
  // A UART sends 1.5 stop bits when asked for two with 5 data bits; the other
  // combinations do not exist on the line.
  switch (dcb.StopBits) {
    case ONESTOPBIT:
      break;
    case ONE5STOPBITS:
      if (dcb.ByteSize != 5) return std::nullopt;
      t.cflag |= CSTOPB;
      break;
    case TWOSTOPBITS:
      if (dcb.ByteSize == 5) return std::nullopt;
      t.cflag |= CSTOPB;
      break;
    default:
      return std::nullopt;
  }
  t.cflag |= CREAD | CLOCAL | HUPCL;

  const uint32_t f = dcb.Flags;
  const uint32_t dtr_control = (f >> F_DTR_CONTROL_SHIFT) & 3u;
  const uint32_t rts_control = (f >> F_RTS_CONTROL_SHIFT) & 3u;
  // The kernel has one switch for both directions of hardware flow control.
  if ((f & F_OUTX_CTS_FLOW) || rts_control == 2) t.cflag |= CRTSCTS;
  // Checked input is marked rather than replaced, so that a faulty byte still
  // arrives as it was received.
  if (f & F_PARITY) t.iflag |= INPCK | PARMRK;
  if (dcb.ByteSize < 8) t.iflag |= ISTRIP;
  if (f & F_OUTX) t.iflag |= IXON;
  if (f & F_INX) t.iflag |= IXOFF;
  if ((f & (F_OUTX | F_INX)) && dcb.XonChar == dcb.XoffChar) return std::nullopt;
  t.vstart = dcb.XonChar;
  t.vstop = dcb.XoffChar;
  // Handshake and toggle modes have no separate driver support here; they
  // leave the line raised.
  t.dtr = dtr_control != 0;
  t.rts = rts_control != 0;
  return t;
}

DeviceControl DeviceControlFrom(const LineTermios& t) {
  DeviceControl d;
  d.BaudRate = t.speed;
  switch (t.cflag & CSIZE) {
    case CS5:
      d.ByteSize = 5;
      break;
    case CS6:
      d.ByteSize = 6;
      break;
    case CS7:
      d.ByteSize = 7;
      break;
    default:
      d.ByteSize = 8;
      break;
  }
  if (!(t.cflag & PARENB)) {
    d.Parity = NOPARITY;
  } else if (t.cflag & CMSPAR) {
    d.Parity = (t.cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    d.Parity = (t.cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if (t.cflag & CSTOPB) d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  d.Flags = F_BINARY | (1u << F_DTR_CONTROL_SHIFT);
  if (t.iflag & INPCK) d.Flags |= F_PARITY;
  if (t.cflag & CRTSCTS) {
    d.Flags |= F_OUTX_CTS_FLOW | (2u << F_RTS_CONTROL_SHIFT);
  } else {
    d.Flags |= 1u << F_RTS_CONTROL_SHIFT;
  }
  if (t.iflag & IXON) d.Flags |= F_OUTX;
  if (t.iflag & IXOFF) d.Flags |= F_INX;
  d.XonChar = t.vstart;
  d.XoffChar = t.vstop;
  return d;
}

void RxFilter::Deliver(uint8_t b, std::vector<uint8_t>& out) const {
  b = static_cast<uint8_t>(b & opt_.data_mask);
  if (opt_.discard_null && b == 0) return;
  out.push_back(b);
}

size_t RxFilter::Feed(const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
  size_t errors = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = in[i];
    if (!opt_.marks) {
      Deliver(b, out);
      continue;
    }
    switch (state_) {
      case 0:
        if (b == 0xFF) {
          state_ = 1;
        } else {
          Deliver(b, out);
        }
        break;
      case 1:
        if (b == 0x00) {
          state_ = 2;
        } else {
          // 0xFF 0xFF is a doubled 0xFF; any other follower is no mark at all.
          Deliver(0xFF, out);
          if (b != 0xFF) Deliver(b, out);
          state_ = 0;
        }
        break;
      default:
        ++errors;
        Deliver(opt_.replace_errors ? opt_.error_char : b, out);
        state_ = 0;
        break;
    }
  }
  return errors;
}

#endif  // !_WIN32

}  // namespace serialtables
