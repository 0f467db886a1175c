// The reception log beside the received program: one line per reception, in
// code page 932 with CR LF (as the settings file), tab-separated under a
// heading line, so that Notepad and a spreadsheet both read it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelv {

inline constexpr const char kRxLogName[] = "Rx.log";
// Past this size the log starts anew; the one before is kept as "Rx.1.log".
inline constexpr uint64_t kRxLogMax = 1 << 20;

// One reception. Texts are code page 932.
struct ReceptionLogEntry {
  std::string when;  // local date and time, "2026-12-09 10:21:27"
  int preset = 0;    // 1..4
  std::string button;
  std::string port;
  int32_t baud = 0;
  std::string code;        // "ISO" or "EIA"
  std::string start_mode;  // as the list shows it
  uint64_t bytes = 0;      // of the file written
  uint64_t lines = 0;
  std::string program;  // the first O (or ":") number; empty when none
  std::string ending;   // EndingName
  std::string errors;   // LineErrorText; empty when none
  std::string file;     // the file written; empty when none
  std::string backup;   // the copy made of the one before, or why none could be
};

// The heading and one entry as log lines, each with its CR LF.
std::string ReceptionLogHeading();
std::string ReceptionLogLine(const ReceptionLogEntry& e);

// Appends `line` to the log at `path`, beginning a new one (with the heading)
// when there is none or it has grown past kRxLogMax; the old one replaces
// "<stem>.1<ext>". False when it could not be written: nothing else happens,
// a reception never stops for its log.
bool AppendReceptionLog(const std::string& path, const std::string& line);

// The program number of a received program (its lines with CR LF, as
// Reception keeps them): the first "O" or ":" followed by digits that begins a
// block (after blanks, a "/" and a sequence number N..., each optional), with
// its digits. Empty when there is none.
std::string FirstProgramNumber(const std::vector<std::string>& content);

// The local time now, as `when` holds it.
std::string LocalTimeText();

}  // namespace kelv
