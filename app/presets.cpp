#include "presets.h"

#include "apperror.h"
#include "profile.h"
#include "sjis.h"

namespace kelv {
namespace {

constexpr uint8_t kDC1 = 0x11;
constexpr uint8_t kDC2 = 0x12;
constexpr uint8_t kDC3 = 0x13;

const Marks kStartModeMarks[] = {{'%', '%'}, {'D', 'D'}, {'N', 'N'}, {'%', 'D'}};

std::vector<std::string> Convert(std::initializer_list<const char*> utf8) {
  std::vector<std::string> out;
  for (const char* s : utf8) out.push_back(Sjis(s));
  return out;
}

uint8_t ReadByte(const std::string& key, const std::string& path) {
  // Only the low 8 bits are kept: -1 becomes 255, 257 becomes 1.
  return static_cast<uint8_t>(static_cast<uint32_t>(profile::ReadInteger("Set", key, 0, path)));
}

// The message is code page 932; the path is the file system's bytes, which are
// UTF-8 here and code page 932 already on Windows.
std::string PathForMessage(const std::string& path) {
#ifdef _WIN32
  return path;
#else
  return Utf8ToSjis(path);
#endif
}

// A write that fails abandons the save: the caller's close must not go on.
void Check(bool written, const std::string& path) {
  if (!written) {
    std::string msg = Sjis("%s に書き込めません");
    msg.replace(msg.find("%s"), 2, PathForMessage(path));
    throw AppError(msg);
  }
}

}  // namespace

const std::vector<std::string>& PortItems() {
  static const std::vector<std::string> items =
      Convert({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7"});
  return items;
}

const std::vector<std::string>& BaudItems() {
  static const std::vector<std::string> items =
      Convert({"600", "1200", "2400", "4800", "9600", "14400", "19200", "38400"});
  return items;
}

const std::vector<int32_t>& BaudRates() {
  static const std::vector<int32_t> rates = {600, 1200, 2400, 4800, 9600, 14400, 19200, 38400};
  return rates;
}

const std::vector<std::string>& CodeTypeItems() {
  static const std::vector<std::string> items = Convert({"ISO", "EIA"});
  return items;
}

const std::vector<std::string>& StartModeItems() {
  static const std::vector<std::string> items =
      Convert({"％で開始、％で終了", "DC2で開始、DC4で終了", "強制受信", "％で開始、、DC4で終了"});
  return items;
}

std::string SettingsPath(const std::string& dir) {
  return dir + "Kelv.ini";
}

Settings LoadSettings(const std::string& path) {
  Settings s;
  s.ActivePreset = ReadByte("Active", path);
  for (int i = 0; i < kPresetCount; ++i) {
    const std::string n = std::to_string(i);
    PortPreset& p = s.Presets[static_cast<size_t>(i)];
    p.PortIndex = ReadByte("Port" + n, path);
    p.BaudIndex = ReadByte("baudRate" + n, path);
    p.StartMode = ReadByte("Start" + n, path);
    p.CodeType = ReadByte("CoadType" + n, path);  // sic: the key name the files hold
  }
  for (int i = 0; i < kPresetCount; ++i) {
    const std::string n = std::to_string(i + 1);
    s.Names[static_cast<size_t>(i)] = profile::ReadString("set", "Name" + n, n, path);
  }
  s.ColonAsO = profile::ReadBool("File", "P32013", false, path);
  return s;
}

void SaveSettings(const Settings& s, const std::string& path) {
  Check(profile::WriteInteger("Set", "Active", s.ActivePreset, path), path);
  for (int i = 0; i < kPresetCount; ++i) {
    const std::string n = std::to_string(i);
    const PortPreset& p = s.Presets[static_cast<size_t>(i)];
    Check(profile::WriteInteger("Set", "Port" + n, p.PortIndex, path), path);
    Check(profile::WriteInteger("Set", "baudRate" + n, p.BaudIndex, path), path);
    Check(profile::WriteInteger("Set", "Start" + n, p.StartMode, path), path);
    Check(profile::WriteInteger("Set", "CoadType" + n, p.CodeType, path), path);
  }
  for (int i = 0; i < kPresetCount; ++i) {
    Check(profile::WriteString("set", "Name" + std::to_string(i + 1),
                               s.Names[static_cast<size_t>(i)], path),
          path);
  }
  profile::Flush(path);
}

PortMap LoadPortMap(const std::string& path) {
  PortMap map;
  for (const auto& [name, device] : profile::ReadSection("Ports", path)) map[name] = device;
  return map;
}

void ApplyPreset(const PortPreset& p, Trs232c& port, Marks& marks) {
  if (p.StartMode < std::size(kStartModeMarks)) marks = kStartModeMarks[p.StartMode];
  port.EvtChar = kDC2;
  port.portname = "COM" + std::to_string(p.PortIndex + 1);
  if (p.BaudIndex < BaudRates().size()) port.bps = BaudRates()[p.BaudIndex];
  if (p.CodeType == 0) {
    port.charbit = 7;
    port.paritymode = "EVEN";
  } else {
    port.charbit = 8;
    port.paritymode = "ODD";
  }
  port.XonChar = kDC1;
  port.XoffChar = kDC3;
}

}  // namespace kelv
