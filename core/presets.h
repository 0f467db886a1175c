// The four line presets of the receive dialog, their list tables, the settings
// file "Kelv.ini" that keeps them, and how a preset becomes line settings.
// Texts are code page 932 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "profile.h"
#include "rs232c.h"

namespace kelv {

struct PortPreset {
  uint8_t PortIndex = 0;  // "COM" + (PortIndex + 1)
  uint8_t BaudIndex = 0;  // index into BaudRates()
  uint8_t CodeType = 0;   // 0 ISO, 1 EIA
  uint8_t StartMode = 0;  // index into the start-mode table
  bool operator==(const PortPreset& o) const {
    return PortIndex == o.PortIndex && BaudIndex == o.BaudIndex && CodeType == o.CodeType &&
           StartMode == o.StartMode;
  }
};

constexpr int kPresetCount = 4;

// Items of the four lists, in list order; the selected index is the preset's field.
const std::vector<std::string>& PortItems();       // "COM1".."COM7"
const std::vector<std::string>& BaudItems();       // "600".."38400"
const std::vector<std::string>& CodeTypeItems();   // "ISO", "EIA"
const std::vector<std::string>& StartModeItems();  // the four start/end conventions
// The line speed of each BaudItems() entry.
const std::vector<int32_t>& BaudRates();

// What the settings file holds for the dialog.
struct Settings {
  uint8_t ActivePreset = 0;
  std::array<PortPreset, kPresetCount> Presets{};
  std::array<std::string, kPresetCount> Names{"1", "2", "3", "4"};  // button captions
  bool ColonAsO = false;  // read only: the file keeps it, we never write it
  // Numbered copies of earlier programs kept beside Rx.nc ([File] Backups=,
  // written by hand; 0 keeps none). Read only, like ColonAsO.
  int Backups = 5;
  PortMap Ports;  // section "Ports", read only
  // False when the file was there but could not be read: every value above is
  // then a default, and saving them would put defaults over the operator's.
  bool Loaded = true;
};
constexpr int kMaxBackups = 99;

// `dir` ends with its separator. Paths are UTF-8 on every system (fileio.h).
std::string SettingsPath(const std::string& dir);

// Reads the file once. Never fails: a missing file, section or key, or a
// value the number rule rejects, gives the default; a file that cannot be
// read gives every default and Loaded false. Integers keep their low 8 bits.
Settings LoadSettings(const std::string& path);

// The keys of a save, in the order they are applied: the active index, the
// presets, the captions (not ColonAsO).
std::vector<profile::Entry> SettingsEntries(const Settings& s);

// Writes the keys of SettingsEntries, applied to the file's content in that
// order and written to the file once. When that fails (the file read-only, no
// room, a caption the file cannot hold) it throws AppError "<path> に書き込めません"
// and the file is as it was.
void SaveSettings(const Settings& s, const std::string& path);

// Section "Ports": where each "COMn" name leads on this machine. Read only.
PortMap LoadPortMap(const std::string& path);

// Makes `port` read the section "Ports" of the file at `path` anew at every
// Open, so a map fixed after a failed opening counts at the next try.
void ReadPortMapAtOpen(Trs232c& port, const std::string& path);

// What a port name leads to, for the operator (code page 932), found without
// opening anything: "COM3 → <device>", the device a link ends at in brackets,
// whether it is there, and whether this user may not open it (with the group
// to join, where joining would help).
std::string PortHint(const std::string& portname, const PortMap& map);

// Start and end marker selectors: '%', 'D' or 'N'.
struct Marks {
  char start = 0;
  char end = 0;
};

// Line settings of a preset onto the port (name, speed, data bits, parity, flow
// and event characters) and its marker selectors onto `marks`. Values outside
// the tables leave the speed, or the marks, as they were.
void ApplyPreset(const PortPreset& p, Trs232c& port, Marks& marks);

}  // namespace kelv
