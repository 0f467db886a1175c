// How a reception run ended, decided once from what the run saw, and the texts
// the operator reads about it (code page 932). No window: the dialog shows
// these, the reception log keeps them.
#pragma once

#include <cstdint>
#include <string>

#include "reception.h"

namespace kelv {

enum class RunEnding {
  Complete,    // the end marker, and the program whole as far as it can tell
  Cancelled,   // Cancel (or a run that never ends by itself)
  CutOff,      // DC4 ended a program that opened with "%" before its closing "%"
  ReadError,   // a read failed on a line that is still there
  DeviceLost,  // the device went (an adapter pulled out)
  SessionEnd,  // the system's session ended the run
  Garbled,     // the end marker, but what came between looks like wrong line settings
};

// After FinishRun (unless the read failed).
RunEnding DecideEnding(const Reception& rx, bool read_failed, bool device_lost, bool session_end);

// The status line at the end of a run: "受信完了" only for a whole program
// without line errors (LineErrorText names them on the line below). Empty at
// the session's end, which leaves the dialog as
// it was.
std::string EndStatusText(RunEnding ending, const Reception& rx);

// The status line when the received program went to no file: it exists only
// in memory, and closing asks before it goes.
std::string UnsavedText(int64_t line_count);

// What the line's errors were, for the operator: kinds, count and lines where
// the system tells them (at most `max_lines` lines named). Empty when none.
std::string LineErrorText(const Reception::ErrorTally& e, size_t max_lines);

// One word for the ending, for the reception log.
std::string EndingName(RunEnding ending);

// The status line while odd bytes keep coming before the start.
std::string WaitingHintText();

}  // namespace kelv
