#include "serialtables.h"

#include <utility>

#include "sjis.h"

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
  // Never destroyed, like every table the exit path may read.
  static const auto& table = *new std::vector<Entry>([] {
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
  }());
  for (const Entry& e : table) {
    if (e.text == text) return e.value;
  }
  return std::nullopt;
}

uint32_t EventMaskFor(const LineEvents& p) {
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

void ChangeDeviceControl(const LineProperties& p, DeviceControl& dcb) {
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

CommTimeouts TimeoutsFor(const LineProperties& p) {
  CommTimeouts t;
  t.ReadIntervalTimeout = static_cast<uint32_t>(p.readinterval);
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(p.rxtimeout);
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(p.txtimeout);
  return t;
}

std::string ResolvePortName(const std::string& name, const PortMap& map) {
  if (name.find('/') != std::string::npos) return name;
  for (const auto& [key, path] : map) {
    if (kelv::SameIgnoringAsciiCase(key, name)) return path;
  }
  if (name.size() < 4 || name.size() > 12 ||
      !kelv::SameIgnoringAsciiCase(std::string_view(name).substr(0, 3), "com"))
    return "";
  unsigned long n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return "";
    n = n * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  if (n == 0) return "";
  return "/dev/ttyS" + std::to_string(n - 1);
}

namespace {

bool IsDeviceNamespace(const std::string& s) {
  return s.size() >= 2 && (s.compare(0, 2, "\\\\") == 0 || s.compare(0, 2, "//") == 0);
}

// The port a name means, for comparing names (ASCII case aside): without the
// "\\.\" prefix and the trailing ':'.
std::string BarePort(const std::string& name) {
  std::string s = name;
  if (s.compare(0, 4, "\\\\.\\") == 0 || s.compare(0, 4, "//./") == 0) s.erase(0, 4);
  if (!s.empty() && s.back() == ':') s.pop_back();
  return s;
}

}  // namespace

std::string WindowsDevicePath(const std::string& name, const PortMap& map) {
  std::string target = name;
  const std::string bare = BarePort(name);
  for (const auto& [key, path] : map) {
    const bool posix_path = !path.empty() && path[0] == '/' && !IsDeviceNamespace(path);
    if (!posix_path && kelv::SameIgnoringAsciiCase(BarePort(key), bare)) {
      target = path;
      break;
    }
  }
  if (!target.empty() && target.back() == ':') target.pop_back();
  if (target.empty()) return "";
  if (IsDeviceNamespace(target)) return target;
  return "\\\\.\\" + target;
}

bool DeviceLostCode(unsigned long code) {
  switch (code) {
    case 5:     // ERROR_ACCESS_DENIED
    case 21:    // ERROR_NOT_READY
    case 22:    // ERROR_BAD_COMMAND
    case 31:    // ERROR_GEN_FAILURE
    case 55:    // ERROR_DEV_NOT_EXIST
    case 87:    // ERROR_INVALID_PARAMETER: virtual drivers that take no query
    case 433:   // ERROR_NO_SUCH_DEVICE
    case 995:   // ERROR_OPERATION_ABORTED: nothing of ours cancels a query
    case 1167:  // ERROR_DEVICE_NOT_CONNECTED
    case 1617:  // ERROR_DEVICE_REMOVED
      return true;
    default:
      return false;
  }
}

}  // namespace serialtables
