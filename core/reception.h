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

class Reception {
 public:
  explicit Reception(const ReceptionSettings& settings) : settings_(settings) {}

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
  StepResult Step(uint8_t byte);

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

 private:
  void Store(std::string_view line);

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
};

// A line as stored: bytes 0x00..0x20 removed from both ends (0x7F and bytes
// from 0x80 up stay, so a full-width space is kept).
std::string_view TrimmedView(std::string_view line);

// Status texts (code page 932).
std::string ReceivingText(int64_t line_count);           // while lines arrive
std::string EndText(bool finished, int64_t line_count);  // when the run is over

}  // namespace kelv
