// The state of one reception run and the handling of each received byte,
// apart from the line and the window: the run reads a byte, hands it to Step()
// and updates the dialog from the result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelv {

// How one run recognises its program, taken from the active preset.
struct ReceptionSettings {
  // Selector characters: '%' (the byte "%"), 'D' (DC2 to start, DC4 to end),
  // 'N' (the first LF to start; no end marker). Any other value, 0 included,
  // never matches: such a run never starts, or never ends by itself.
  char StartMark = '%';
  char EndMark = '%';
  bool ColonAsO = false;  // every ":" (another program-number sign) is taken as "O"
  bool Eia = false;       // CodeType 1: translate every byte from EIA first
};

// Bytes that cannot belong to a program, seen while waiting for the start
// marker: the sign of wrong line settings (baud rate, parity or tape code, a
// cable). The reception feeds it each byte it reads before its start, and a
// second one the bytes it collects after.
//
// What wrong settings make of a program (bench/wrong_settings.py, a UART
// sampled bit by bit): 70 to 100 % of the characters come with a framing or
// parity error or cannot be in a program, the fourth such one within the
// first 8 characters; right settings give none. Noise when a cable is
// plugged in gives one or two. So: at least kMinOdd odd bytes making at least
// one in kShare of the bytes seen, or, where the system does not say which
// bytes were hit (Windows), line errors at kMinOdd status queries (by their
// values alone some wrong speeds give no odd byte at all).
class WaitingCheck {
 public:
  static constexpr uint64_t kMinOdd = 4;
  static constexpr uint64_t kShare = 8;

  explicit WaitingCheck(bool eia) : eia_(eia) {}
  // `marked`: the system says the byte came with a line error.
  void Byte(uint8_t raw, bool marked);
  // A status query that reported line errors while waiting.
  void Error() { ++error_reports_; }
  bool Suspect() const { return OddBytes() || error_reports_ >= kMinOdd; }
  // The bytes alone: enough of them odd or hit by line errors.
  bool OddBytes() const { return odd_ >= kMinOdd && odd_ * kShare >= seen_; }

 private:
  bool eia_;
  uint64_t seen_ = 0;
  uint64_t odd_ = 0;
  uint64_t error_reports_ = 0;
};

// Whether a byte as it comes off the line can be part of a program in that
// tape code (ISO: printable characters, the leader NUL, TAB, LF, CR and DC1 to
// DC4; EIA: the codes the EIA table knows).
bool PossibleInProgram(uint8_t raw, bool eia);

class Reception {
 public:
  explicit Reception(const ReceptionSettings& settings)
      : settings_(settings), waiting_(settings.Eia), collected_(settings.Eia) {}

  struct StepResult {
    // An LF completed a line: the status line shows LineCount(), the display
    // scrolls in `display` (the line as received, blanks and all).
    bool line_completed = false;
    std::string display;
    // The end marker was seen: the caller handles no further byte.
    bool finished = false;
  };

  // Handles one byte as read from the line. Once Finished(), bytes are ignored
  // (they belong to whatever follows the program).
  StepResult Step(uint8_t byte) {
    const bool marked = stepped_++ == next_mark_;
    if (marked) MarkedByteRead();
    if (!started_) {
      waiting_.Byte(byte, marked);
    } else if (!finished_) {
      collected_.Byte(byte, marked);
    }
    return StepByte(byte);
  }

  // Line errors the device reported (serialdev::LineErrors): `flags` are the
  // kinds; `marked` the places of bytes hit, among the bytes handed to Step
  // since the run began, ascending. Each marked byte is counted, with its
  // line, when Step gets it. Flags alone belong to the bytes queued when they
  // were asked for, which the run reads next: they count for the program when
  // it has begun by the time of the next call (or the end).
  void NoteLineErrors(uint32_t flags, const std::vector<uint64_t>& marked);

  // End of the run: keeps the unfinished line, trimmed, unless it is empty.
  // Neither the count nor the display changes for it.
  void FinishRun();

  // The stored lines (a copy: they are kept as the file's bytes).
  std::vector<std::string> Lines() const;
  size_t LineTotal() const { return line_total_; }
  // The file's content as kept: every stored line followed by CR LF, in
  // blocks that end at line ends. Empty when no line is stored.
  std::vector<std::string> TakeFileBlocks() { return std::move(blocks_); }
  const std::vector<std::string>& FileBlocks() const { return blocks_; }
  const std::string& CurrentLine() const { return current_; }
  bool Started() const { return started_; }
  bool Finished() const { return finished_; }
  int64_t LineCount() const { return line_count_; }
  // The program's first stored line begins with "%", and a later line is
  // the closing "%" alone.
  bool OpenedByPercent() const { return opened_by_percent_; }
  bool ClosedByPercent() const { return closed_by_percent_; }

  // What the line's errors were, over the whole run.
  // Errors reported before the start marker belong to no program: they are
  // kept apart (wrong line settings show there first).
  struct ErrorTally {
    uint32_t kinds = 0;           // serialdev CE_* bits, once started
    uint64_t marked = 0;          // bytes of the program known to be hit
    std::vector<int64_t> lines;   // their 1-based lines, ascending, at most kMaxErrorLines
    bool more_lines = false;      // ... and there were more
    uint32_t kinds_waiting = 0;   // the same before the start marker
    uint64_t marked_waiting = 0;
  };
  static constexpr size_t kMaxErrorLines = 50;
  ErrorTally Errors() const;
  const ReceptionSettings& Settings() const { return settings_; }
  // Bytes seen while waiting for the start look like wrong line settings.
  bool WaitingLooksWrong() const { return !started_ && waiting_.Suspect(); }
  // The bytes collected since the start fail the same test: garbage that
  // happened to hold the markers.
  bool LooksGarbled() const { return collected_.OddBytes(); }

 private:
  void Store(std::string_view line);
  StepResult StepByte(uint8_t byte);
  void MarkedByteRead();

  ReceptionSettings settings_;
  // A program of millions of short lines costs a heap block and a string
  // header per line as separate strings; kept as the file's bytes it costs
  // little more than its size.
  std::vector<std::string> blocks_;
  size_t line_total_ = 0;
  std::string current_;
  bool started_ = false;
  bool finished_ = false;
  int64_t line_count_ = 0;
  bool opened_by_percent_ = false;
  bool closed_by_percent_ = false;
  uint64_t stepped_ = 0;  // bytes handed to Step
  uint64_t next_mark_ = UINT64_MAX;
  std::vector<uint64_t> marks_;  // places not reached yet, descending (next at the back)
  ErrorTally errors_;
  uint32_t pending_flags_ = 0;  // flags of the batch being read
  WaitingCheck waiting_;
  WaitingCheck collected_;
};

// A line as stored: bytes 0x00..0x20 removed from both ends (0x7F and bytes
// from 0x80 up stay, so a full-width space is kept).
std::string_view TrimmedView(std::string_view line);

// Status texts (code page 932).
std::string ReceivingText(int64_t line_count);           // while lines arrive
std::string EndText(bool finished, int64_t line_count);  // when the run is over

}  // namespace kelv
