#include "verdict.h"

#include <algorithm>

#include "serialdev.h"
#include "sjis.h"

namespace kelv {
namespace {

// An end text that counts what arrived: "<what>N行受信済".
std::string Received(const char* what, int64_t line_count) {
  return Sjis(what) + std::to_string(line_count) + Sjis("行受信済");
}

}  // namespace

RunEnding DecideEnding(const Reception& rx, bool read_failed, bool device_lost, bool session_end) {
  if (device_lost) return RunEnding::DeviceLost;
  if (read_failed) return RunEnding::ReadError;
  if (rx.Finished()) {
    // Wrong line settings can make the markers out of garbage: such a run is
    // never called complete.
    if (rx.LooksGarbled()) return RunEnding::Garbled;
    // DC4 ends a run whatever came before it; a program that opened with "%"
    // is whole only with its closing "%" line. (The closing "%" itself ends
    // the runs of the other modes.)
    if (rx.Settings().EndMark == 'D' && rx.OpenedByPercent() && !rx.ClosedByPercent()) {
      return RunEnding::CutOff;
    }
    return RunEnding::Complete;
  }
  return session_end ? RunEnding::SessionEnd : RunEnding::Cancelled;
}

std::string EndStatusText(RunEnding ending, const Reception& rx) {
  const bool errors = rx.Errors().kinds != 0;
  // "受信完了" never stands over errors. The other endings say already that
  // something went wrong, and the line under them names the errors: the
  // status line keeps to one line at the widest counts.
  switch (ending) {
    case RunEnding::Complete:
      return errors ? Sjis("受信終了・回線エラーあり") : EndText(true, rx.LineCount());
    case RunEnding::CutOff:
      return Received("受信途中で終了（終わりの％なし）", rx.LineCount());
    case RunEnding::Cancelled:
      return EndText(false, rx.LineCount());
    case RunEnding::Garbled:
      return WaitingHintText();
    // Once the box is gone the status line says how it ended, never as if
    // the run went on.
    case RunEnding::ReadError:
      return Received("データ読込みエラーで終了 ", rx.LineCount());
    case RunEnding::DeviceLost:
      return Received("回線喪失で終了 ", rx.LineCount());
    case RunEnding::SessionEnd:
      break;
  }
  return std::string();
}

std::string UnsavedText(int64_t line_count) {
  return Received("保存されていません ", line_count);
}

std::string LineErrorText(const Reception::ErrorTally& e, size_t max_lines) {
  if (e.kinds == 0) return std::string();
  struct Kind {
    uint32_t flag;
    const char* name;
  };
  static const Kind kKinds[] = {
      {serialdev::CE_RXPARITY, "パリティ"},   {serialdev::CE_FRAME, "フレーミング"},
      {serialdev::CE_OVERRUN, "オーバーラン"}, {serialdev::CE_RXOVER, "バッファあふれ"},
      {serialdev::CE_BREAK, "ブレーク"},
      {serialdev::CE_BREAK_OR_NUL, "ブレーク又はNULエラー"},
  };
  std::string text = Sjis("回線エラー:");
  bool first = true;
  for (const Kind& k : kKinds) {
    if (!(e.kinds & k.flag)) continue;
    if (!first) text += Sjis("・");
    text += Sjis(k.name);
    first = false;
  }
  if (e.marked > 0) text += " " + std::to_string(e.marked) + Sjis("文字");
  if (!e.lines.empty()) {
    text += " ";
    const size_t shown = std::min(e.lines.size(), max_lines);
    for (size_t i = 0; i < shown; ++i) {
      if (i > 0) text += ",";
      text += std::to_string(e.lines[i]);
    }
    if (shown < e.lines.size() || e.more_lines) text += Sjis("…");
    text += Sjis("行目");
  }
  return text;
}

std::string EndingName(RunEnding ending) {
  switch (ending) {
    case RunEnding::Complete:
      return Sjis("完了");
    case RunEnding::Cancelled:
      return Sjis("中止");
    case RunEnding::CutOff:
      return Sjis("途中終了");
    case RunEnding::ReadError:
      return Sjis("読込みエラー");
    case RunEnding::DeviceLost:
      return Sjis("回線喪失");
    case RunEnding::SessionEnd:
      return Sjis("セッション終了");
    case RunEnding::Garbled:
      return Sjis("文字化け");
  }
  return std::string();
}

std::string WaitingHintText() {
  return Sjis("文字化けを受信：ﾎﾞｰﾚｰﾄ・送信コード・ケーブルを確認");
}

}  // namespace kelv
