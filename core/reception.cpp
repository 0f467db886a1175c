#include "reception.h"

#include <algorithm>
#include <functional>

#include "eia.h"
#include "linechars.h"
#include "serialdev.h"
#include "sjis.h"

namespace kelv {
namespace {

using namespace linechars;
constexpr size_t kBlockBytes = 1 << 20;

bool NeverStored(uint8_t b) {
  return b == kLF || b == kCR || b == kDC1 || b == kDC2 || b == kDC3 || b == kDC4;
}

bool IsBlank(char c) {
  return static_cast<uint8_t>(c) <= 0x20;
}

}  // namespace

std::string_view TrimmedView(std::string_view line) {
  size_t begin = 0;
  size_t end = line.size();
  while (begin < end && IsBlank(line[begin])) ++begin;
  while (end > begin && IsBlank(line[end - 1])) --end;
  return line.substr(begin, end - begin);
}

void Reception::Store(std::string_view line) {
  const size_t need = line.size() + 2;
  if (blocks_.empty() || blocks_.back().size() + need > blocks_.back().capacity()) {
    blocks_.emplace_back();
    blocks_.back().reserve(std::max(kBlockBytes, need));
  }
  std::string& b = blocks_.back();
  b.append(line.data(), line.size());
  b += "\r\n";
  if (line_total_ == 0) {
    opened_by_percent_ = !line.empty() && line[0] == '%';
  } else if (line == "%") {
    closed_by_percent_ = true;
  }
  ++line_total_;
}

bool PossibleInProgram(uint8_t raw, bool eia) {
  if (eia) return raw == 0x10 || EiaToIso(raw) != 0x10;
  if (raw >= 0x20) return raw < 0x7F;
  return raw == 0 || raw == '\t' || raw == kLF || raw == kCR || (raw >= kDC1 && raw <= kDC4);
}

void WaitingCheck::Byte(uint8_t raw, bool marked) {
  ++seen_;
  if (marked || !PossibleInProgram(raw, eia_)) ++odd_;
}

void Reception::NoteLineErrors(uint32_t flags, const std::vector<uint64_t>& marked) {
  (started_ ? errors_.kinds : errors_.kinds_waiting) |= pending_flags_;
  pending_flags_ = flags;
  if (flags && !started_) waiting_.Error();
  if (marked.empty()) return;
  // Places already passed can no longer be told apart: they count without a line.
  for (uint64_t at : marked) {
    if (at >= stepped_) marks_.push_back(at);
  }
  std::sort(marks_.begin(), marks_.end(), std::greater<uint64_t>());
  marks_.erase(std::unique(marks_.begin(), marks_.end()), marks_.end());
  next_mark_ = marks_.empty() ? UINT64_MAX : marks_.back();
}

Reception::ErrorTally Reception::Errors() const {
  ErrorTally e = errors_;
  (started_ ? e.kinds : e.kinds_waiting) |= pending_flags_;
  return e;
}

void Reception::MarkedByteRead() {
  marks_.pop_back();
  next_mark_ = marks_.empty() ? UINT64_MAX : marks_.back();
  if (finished_) return;
  // A device that tells the places but not what they were: a marked byte is
  // a parity or a framing error. Where it told a kind a mark can be, that is it.
  constexpr uint32_t kMarkKinds = serialdev::CE_RXPARITY | serialdev::CE_FRAME |
                                  serialdev::CE_BREAK | serialdev::CE_BREAK_OR_NUL;
  uint32_t& kinds = started_ ? errors_.kinds : errors_.kinds_waiting;
  if (!((kinds | pending_flags_) & kMarkKinds)) {
    kinds |= serialdev::CE_RXPARITY | serialdev::CE_FRAME;
  }
  if (!started_) {
    ++errors_.marked_waiting;
    return;
  }
  ++errors_.marked;
  const int64_t line = line_count_ + 1;
  std::vector<int64_t>& lines = errors_.lines;
  if (!lines.empty() && lines.back() == line) return;
  if (lines.size() < kMaxErrorLines) {
    lines.push_back(line);
  } else {
    errors_.more_lines = true;
  }
}

std::vector<std::string> Reception::Lines() const {
  std::vector<std::string> lines;
  lines.reserve(line_total_);
  // Stored lines hold no CR and no LF, so each CR LF ends one.
  for (const std::string& b : blocks_) {
    size_t at = 0;
    for (size_t end; (end = b.find("\r\n", at)) != std::string::npos; at = end + 2) {
      lines.emplace_back(b, at, end - at);
    }
  }
  return lines;
}

Reception::StepResult Reception::StepByte(uint8_t b) {
  StepResult r;
  if (finished_) {
    r.finished = true;
    return r;
  }
  if (settings_.Eia) b = EiaToIso(b);
  // Most bytes of a program: no marker, no line end, nothing replaced.
  if (started_ && b > '%' && b != ':') {
    current_.push_back(static_cast<char>(b));
    return r;
  }

  // Marker tests: the first that matches wins.
  const char start = settings_.StartMark;
  const char end = settings_.EndMark;
  if (start == '%' && b == '%' && !started_) {
    started_ = true;
  } else if (start == 'D' && b == kDC2 && !started_) {
    started_ = true;
  } else if (start == 'N' && b == kLF && !started_) {
    started_ = true;
  } else if (end == '%' && b == '%' && started_) {
    finished_ = true;
  } else if (end == 'D' && b == kDC4 && started_) {
    finished_ = true;
  } else if (settings_.ColonAsO && b == ':') {
    b = 'O';
  }

  if (b == kLF && started_) {
    Store(TrimmedView(current_));
    ++line_count_;
    r.line_completed = true;
    r.display = current_;
    current_.clear();  // keeps its room for the next line
  } else if (started_ && !NeverStored(b)) {
    current_.push_back(static_cast<char>(b));
  }

  r.finished = finished_;
  return r;
}

void Reception::FinishRun() {
  if (!current_.empty()) {
    // A line that trims to nothing is still kept, as an empty line.
    Store(TrimmedView(current_));
    current_.clear();
  }
}

std::string ReceivingText(int64_t line_count) {
  // Once per received line: the stems are looked up once.
  static const std::string& head = Sjis("受信中 ");
  static const std::string& tail = Sjis("行");
  std::string text = head;
  text += std::to_string(line_count);
  text += tail;
  return text;
}

std::string EndText(bool finished, int64_t line_count) {
  if (finished) return Sjis("受信完了");
  if (line_count == 0) return Sjis("受信開始前に中止しました");
  return Sjis("受信中に中止、又はエラー") + std::to_string(line_count) + Sjis("行受信済");
}

}  // namespace kelv
