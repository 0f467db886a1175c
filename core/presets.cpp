#include "presets.h"

#include "apperror.h"
#include "fileio.h"
#include "linechars.h"
#include "portinfo.h"
#include "profile.h"
#include "rxfile.h"
#include "sjis.h"

namespace kelv {
namespace {

using linechars::kDC1;
using linechars::kDC2;
using linechars::kDC3;

const Marks kStartModeMarks[] = {{'%', '%'}, {'D', 'D'}, {'N', 'N'}, {'%', 'D'}};

std::vector<std::string> Convert(std::initializer_list<const char*> utf8) {
  std::vector<std::string> out;
  for (const char* s : utf8) out.push_back(Sjis(s));
  return out;
}

uint8_t ReadByte(const std::string& key, const profile::Snapshot& file) {
  // Only the low 8 bits are kept: -1 becomes 255, 257 becomes 1.
  return static_cast<uint8_t>(static_cast<uint32_t>(file.Integer("Set", key, 0)));
}

PortMap PortMapOf(const profile::Snapshot& file) {
  PortMap map;
  for (const auto& [name, device] : file.Section("Ports")) map[name] = device;
  return map;
}

// A failed save abandons the caller's close. The message is code page 932;
// paths are UTF-8 on every system (fileio.h). `kept`: where the only copy
// of the settings is, when the system lost the file half-way.
void Check(bool written, const std::string& path, const std::string& kept) {
  if (!written) {
    std::string msg = Sjis("%s に書き込めません");
    msg.replace(msg.find("%s"), 2, Utf8ToSjis(path));
    if (!kept.empty()) {
      std::string where = Sjis("。設定は %s に残っています");
      where.replace(where.find("%s"), 2, Utf8ToSjis(kept));
      msg += where;
    }
    throw AppError(msg);
  }
}

}  // namespace

// These lists are never destroyed: the exit path that saves a run when the
// display goes reads them after ordinary statics are gone.
const std::vector<std::string>& PortItems() {
  static const auto& items = *new std::vector<std::string>(
      Convert({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7"}));
  return items;
}

const std::vector<std::string>& BaudItems() {
  static const auto& items = *new std::vector<std::string>(
      Convert({"600", "1200", "2400", "4800", "9600", "14400", "19200", "38400"}));
  return items;
}

const std::vector<int32_t>& BaudRates() {
  static const auto& rates =
      *new std::vector<int32_t>{600, 1200, 2400, 4800, 9600, 14400, 19200, 38400};
  return rates;
}

const std::vector<std::string>& CodeTypeItems() {
  static const auto& items = *new std::vector<std::string>(Convert({"ISO", "EIA"}));
  return items;
}

const std::vector<std::string>& StartModeItems() {
  static const auto& items = *new std::vector<std::string>(
      Convert({"％で開始、％で終了", "DC2で開始、DC4で終了", "強制受信", "％で開始、、DC4で終了"}));
  return items;
}

std::string SettingsPath(const std::string& dir) {
  return dir + "Kelv.ini";
}

Settings LoadSettings(const std::string& path) {
  // A save the system broke off half-way left the only copy under the
  // temporary name: it becomes the file again.
  fileio::AdoptLeftover(path);
  const profile::Snapshot file(path);
  Settings s;
  s.Loaded = !file.Failed();
  s.ActivePreset = ReadByte("Active", file);
  for (int i = 0; i < kPresetCount; ++i) {
    const std::string n = std::to_string(i);
    PortPreset& p = s.Presets[static_cast<size_t>(i)];
    p.PortIndex = ReadByte("Port" + n, file);
    p.BaudIndex = ReadByte("baudRate" + n, file);
    p.StartMode = ReadByte("Start" + n, file);
    p.CodeType = ReadByte("CoadType" + n, file);  // sic: the key name the files hold
  }
  for (int i = 0; i < kPresetCount; ++i) {
    const std::string n = std::to_string(i + 1);
    s.Names[static_cast<size_t>(i)] = file.String("set", "Name" + n, n);
  }
  s.ColonAsO = file.Bool("File", "P32013", false);
  const int32_t backups = file.Integer("File", "Backups", kDefaultBackups);
  s.Backups = backups < 0 ? 0 : backups > kMaxBackups ? kMaxBackups : backups;
  s.Ports = PortMapOf(file);
  return s;
}

std::vector<profile::Entry> SettingsEntries(const Settings& s) {
  std::vector<profile::Entry> e;
  e.push_back({"Set", "Active", std::to_string(s.ActivePreset)});
  for (int i = 0; i < kPresetCount; ++i) {
    const std::string n = std::to_string(i);
    const PortPreset& p = s.Presets[static_cast<size_t>(i)];
    e.push_back({"Set", "Port" + n, std::to_string(p.PortIndex)});
    e.push_back({"Set", "baudRate" + n, std::to_string(p.BaudIndex)});
    e.push_back({"Set", "Start" + n, std::to_string(p.StartMode)});
    e.push_back({"Set", "CoadType" + n, std::to_string(p.CodeType)});
  }
  for (int i = 0; i < kPresetCount; ++i) {
    e.push_back({"set", "Name" + std::to_string(i + 1), s.Names[static_cast<size_t>(i)]});
  }
  return e;
}

void SaveSettings(const Settings& s, const std::string& path) {
  // One write of the file for the whole save: each key by itself would
  // replace and sync the file 22 times, which takes seconds on a slow disk.
  std::string kept;
  const bool written = profile::WriteStrings(SettingsEntries(s), path, &kept);
  Check(written, path, kept);
}

PortMap LoadPortMap(const std::string& path) {
  return PortMapOf(profile::Snapshot(path));
}

void ReadPortMapAtOpen(Trs232c& port, const std::string& path) {
  port.portmaploader = [path] { return LoadPortMap(path); };
}

std::string PortHint(const std::string& portname, const PortMap& map) {
  const portinfo::PortTarget t = portinfo::Describe(portname, map);
  if (t.device.empty()) return portname + Sjis("：行き先がありません");
  // Device paths are the file system's bytes (UTF-8).
  std::string hint = portname + Sjis(" → ") + Utf8ToSjis(t.device);
  if (!t.resolved.empty() && t.resolved != t.device) hint += " (" + Utf8ToSjis(t.resolved) + ")";
  if (!t.exists) hint += Sjis("：見つかりません");
  if (t.denied) {
    hint += Sjis("：権限がありません");
    if (!t.group.empty())
      hint += Sjis("（") + Utf8ToSjis(t.group) + Sjis(" グループに追加してください）");
  }
  return hint;
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
