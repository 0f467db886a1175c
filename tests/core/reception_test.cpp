#include "reception.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "serialdev.h"
#include "sjis.h"
#include "verdict.h"

namespace {

using kelv::Reception;
using kelv::ReceptionSettings;
using kelv::RunEnding;
using kelv::Sjis;
using Lines = std::vector<std::string>;

// The four start modes as the presets give them.
const ReceptionSettings kMode0{'%', '%', false, false};
const ReceptionSettings kMode1{'D', 'D', false, false};
const ReceptionSettings kMode2{'N', 'N', false, false};
const ReceptionSettings kMode3{'%', 'D', false, false};

ReceptionSettings With(ReceptionSettings s, bool colon, bool eia) {
  s.ColonAsO = colon;
  s.Eia = eia;
  return s;
}

struct Outcome {
  Lines lines;        // after the end of the run
  Lines displays;     // one per completed line, as shown
  int64_t count = 0;  // lines completed by LF
  bool finished = false;
  size_t consumed = 0;  // bytes handed over before the run stopped taking them
  RunEnding ending = RunEnding::Cancelled;  // had nothing else stopped it
};

// Plays the run's loop: one byte at a time until the end marker, then the end
// of the run.
Outcome Feed(const ReceptionSettings& settings, const std::string& input) {
  Reception rx(settings);
  Outcome out;
  for (char c : input) {
    ++out.consumed;
    Reception::StepResult r = rx.Step(static_cast<uint8_t>(c));
    if (r.line_completed) {
      out.displays.push_back(r.display);
      EXPECT_EQ(rx.LineCount(), static_cast<int64_t>(out.displays.size()));
    }
    if (r.finished) break;
  }
  rx.FinishRun();
  out.lines = rx.Lines();
  out.count = rx.LineCount();
  out.finished = rx.Finished();
  out.ending = kelv::DecideEnding(rx, false, false, false);
  // What the file gets is those lines, each with CR LF, in blocks of whole lines.
  EXPECT_EQ(rx.LineTotal(), out.lines.size());
  std::string want_file, file;
  for (const std::string& l : out.lines) want_file += l + "\r\n";
  for (const std::string& b : rx.TakeFileBlocks()) {
    EXPECT_EQ(b.substr(b.size() - 2), "\r\n");
    file += b;
  }
  EXPECT_TRUE(file == want_file);
  return out;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

struct Scenario {
  const char* name;
  ReceptionSettings settings;
  std::string input;
  Lines lines;
  int64_t count;
  bool finished;
  size_t unread;  // bytes at the end of the input never handed over
  std::optional<RunEnding> ending = std::nullopt;
};

TEST(Reception, Scenarios) {
  // clang-format off
  const Scenario cases[] = {
      {"iso mode 0", kMode0, "%\nO1234\r\nG01 X10.\r\n%\n",
       {"%", "O1234", "G01 X10.", "%"}, 3, true, 1},
      {"mode 0: bytes before the start are ignored", kMode0, "G00 X1\r\nM30\n\x12%\nA\n%",
       {"%", "A", "%"}, 2, true, 0},
      {"mode 0: start byte begins the first line", kMode0, "%O1\nG1\n%\nM30\n",
       {"%O1", "G1", "%"}, 2, true, 5},
      {"mode 0: DC1..DC4 never stored, DC4 does not end", kMode0, "%\nA\x11\x12\x13\x14" "B\n%",
       {"%", "AB", "%"}, 2, true, 0},
      {"mode 1: DC2 starts, DC4 ends, % is text", kMode1, "junk%\n\x12%\r\nO1 (%)\r\n\x14tail\n",
       {"%", "O1 (%)"}, 2, true, 5},
      {"mode 1: DC4 before DC2 is ignored", kMode1, "\x14\nA\n\x12" "B\n\x14",
       {"B"}, 1, true, 0},
      {"mode 2: first LF starts with an empty line", kMode2, "junk\nA\n\x14%B",
       {"", "A", "%B"}, 2, false, 0},
      {"mode 3: % starts, second % is stored, DC4 ends", kMode3, "%\nA%B\n%\n\x14X",
       {"%", "A%B", "%"}, 3, true, 1},
      {"LF alone ends lines", kMode0, "%\nA\nB\n%",
       {"%", "A", "B", "%"}, 3, true, 0},
      {"CR LF ends lines the same way", kMode0, "%\r\nA\r\nB\r\n%",
       {"%", "A", "B", "%"}, 3, true, 0},
      {"CR alone never ends a line", kMode0, "%\nA\rB\r\r\n%",
       {"%", "AB", "%"}, 2, true, 0},
      {"blanks trimmed at both ends only", kMode0, "%\n   \n \tG01 X1\t \n%",
       {"%", "", "G01 X1", "%"}, 3, true, 0},
      {"NUL and 0x10 stored, trimmed only at the ends", kMode0,
       Bytes({'%', '\n', 0, 'G', 0, 0x10, 'X', 0, '\n', '%'}),
       {"%", Bytes({'G', 0, 0x10, 'X'}), "%"}, 2, true, 0},
      {"0x7F and full-width space are not blanks", kMode0,
       Bytes({'%', '\n', 0x81, 0x40, 'G', 0x7F, '\n', '%'}),
       {"%", Bytes({0x81, 0x40, 'G', 0x7F}), "%"}, 2, true, 0},
      {"colon option off", kMode0, "%\n:1234\n%",
       {"%", ":1234", "%"}, 2, true, 0},
      {"colon option on", With(kMode0, true, false), "%\n:1234\nG1:2\n%",
       {"%", "O1234", "G1O2", "%"}, 3, true, 0},
      {"unfinished line kept trimmed at the end", kMode3, "%\nA\n  B  ",
       {"%", "A", "B"}, 2, false, 0},
      {"unfinished blank line kept as empty line", kMode3, "%\nA\n \t",
       {"%", "A", ""}, 2, false, 0},
      {"never started", kMode0, "A\nB\n",
       {}, 0, false, 0},
      {"start mark 0 never starts", ReceptionSettings{0, '%', false, false}, "%\n\x12\nA\n%\n",
       {}, 0, false, 0},
      {"end mark 0 never ends", ReceptionSettings{'%', 0, false, false}, "%\nA\n%\n\x14",
       {"%", "A", "%"}, 3, false, 0},
      // EIA: 0x0B "%", 0x80 end of block, 0x46 O, 0x01 1, 0x02 2, 0x10 space,
      // 0x67 G, 0x37 X, 0x6B ".", 0x20 0, 0x7F unknown.
      {"eia mode 0", With(kMode0, false, true),
       Bytes({0x0B, 0x80, 0x46, 0x01, 0x02, 0x80, 0x67, 0x20, 0x01, 0x10, 0x37, 0x01, 0x20, 0x6B,
              0x80, 0x67, 0x7F, 0x01, 0x80, 0x0B, 0x80}),
       {"%", "O12", "G01 X10.", "G\x10" "1", "%"}, 4, true, 1},
      {"eia: raw LF and CR are not line ends", With(kMode0, false, true),
       Bytes({0x0B, 0x0A, 0x01, 0x0D, 0x80, 0x0B}),
       {"%\x10" "1", "%"}, 1, true, 0},
      {"eia mode 1: DC2, DC3 (0x93) and DC4", With(kMode1, false, true),
       Bytes({0x01, 0x12, 0x01, 0x93, 0x13, 0x80, 0x14, 0x02}),
       {"13"}, 1, true, 1},
      // How it ended. DC4 (then SYN, as a control's reset sends) before the
      // closing "%" line cuts the program off; a whole one is complete.
      {"mode 1: reset after two lines is cut off", kMode1, "\x12%\nO1234\nG01 X1\n\x14\x16",
       {"%", "O1234", "G01 X1"}, 3, true, 1, RunEnding::CutOff},
      {"mode 3: cut off inside a line", kMode3, "%\nO1\nG1 X\x14",
       {"%", "O1", "G1 X"}, 2, true, 0, RunEnding::CutOff},
      {"mode 3: only the opening %", kMode3, "%\x14", {"%"}, 0, true, 0, RunEnding::CutOff},
      {"mode 1: whole program", kMode1, "\x12%\nO1\n%\n\x14\x16",
       {"%", "O1", "%"}, 3, true, 1, RunEnding::Complete},
      {"mode 3: closing % just before DC4", kMode3, "%\nO1\n %\x14",
       {"%", "O1", "%"}, 2, true, 0, RunEnding::Complete},
      {"mode 1: no % to tell by", kMode1, "\x12O1\nG1\n\x14",
       {"O1", "G1"}, 2, true, 0, RunEnding::Complete},
      {"mode 0: the closing % ends it whole", kMode0, "%\nO1\n%", {"%", "O1", "%"}, 2, true, 0,
       RunEnding::Complete},
      {"mode 2 never ends by itself", kMode2, "\n%\nO1\n%\n", {"", "%", "O1", "%"}, 4, false,
       0, RunEnding::Cancelled},
  };
  // clang-format on
  for (const Scenario& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = Feed(c.settings, c.input);
    EXPECT_EQ(out.lines, c.lines);
    EXPECT_EQ(out.count, c.count);
    EXPECT_EQ(out.finished, c.finished);
    EXPECT_EQ(c.input.size() - out.consumed, c.unread);
    if (c.ending) {
      EXPECT_EQ(out.ending, *c.ending);
    }
  }
}

// Line errors as the device reports them: kinds alone (the Windows driver),
// or with the places of the bytes hit (marked input); the verdict's texts.
TEST(Reception, LineErrorsAreKeptWithTheirLines) {
  using serialdev::CE_BREAK;
  using serialdev::CE_BREAK_OR_NUL;
  using serialdev::CE_FRAME;
  using serialdev::CE_OVERRUN;
  using serialdev::CE_RXOVER;
  using serialdev::CE_RXPARITY;
  const std::string program = "%\nO1\nG1 X1\nG2 Y2\nM30\n%\n";  // lines from bytes 0, 2, 5, 11, 17, 21
  struct Row {
    const char* name;
    std::string input;
    uint32_t flags;  // reported before the first byte
    std::vector<uint64_t> marked;
    std::string status;
    std::string errors;  // LineErrorText with three lines at most
    bool looks_wrong;
  };
  const std::string bad_wait = "\x01\x7f\x05\x06" + program;  // EIA on an ISO preset
  const Row rows[] = {
      {"clean", program, 0, {}, Sjis("受信完了"), "", false},
      {"parity at bytes of lines 2 and 4", program, CE_RXPARITY, {3, 15, 16},
       Sjis("受信終了・回線エラーあり"), Sjis("回線エラー:パリティ 3文字 2,4行目"), false},
      {"marks alone: parity or framing", program, 0, {3},
       Sjis("受信終了・回線エラーあり"), Sjis("回線エラー:パリティ・フレーミング 1文字 2行目"),
       false},
      {"a marked NUL the counters call a break", program, CE_BREAK, {3},
       Sjis("受信終了・回線エラーあり"), Sjis("回線エラー:ブレーク 1文字 2行目"), false},
      {"a marked NUL without counters", program, CE_BREAK_OR_NUL, {3},
       Sjis("受信終了・回線エラーあり"), Sjis("回線エラー:ブレーク又はNULエラー 1文字 2行目"), false},
      // Four of its twenty bytes hit: as garbled as wrong line settings make it.
      {"four lines named, three shown", program, CE_FRAME, {3, 6, 15, 20},
       kelv::WaitingHintText(), Sjis("回線エラー:フレーミング 4文字 2,3,4…行目"), false},
      {"garbage that holds both markers", "%\x01G\x02\x7f" "1\x05\nX\x06%", 0, {},
       kelv::WaitingHintText(), "", false},
      {"flags without places", program, CE_OVERRUN | CE_RXOVER | CE_BREAK, {},
       Sjis("受信終了・回線エラーあり"), Sjis("回線エラー:オーバーラン・バッファあふれ・ブレーク"),
       false},
      {"bytes after the end do not count", program + "X", 0, {22, 23}, Sjis("受信完了"), "",
       false},
      {"odd bytes while waiting, then a clean program", bad_wait, 0, {}, Sjis("受信完了"), "",
       true},
      {"marked bytes while waiting", std::string("AB\0\0\0", 5) + program, 0, {0, 1, 2, 3},
       Sjis("受信完了"), "", true},
      {"one odd byte is noise", "\x01" + program, 0, {}, Sjis("受信完了"), "", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Reception rx(kMode0);
    rx.NoteLineErrors(r.flags, r.marked);
    bool looked_wrong = false;
    for (char c : r.input) {
      looked_wrong = looked_wrong || rx.WaitingLooksWrong();
      if (rx.Step(static_cast<uint8_t>(c)).finished) break;
    }
    rx.FinishRun();
    EXPECT_EQ(looked_wrong, r.looks_wrong);
    const RunEnding ending = kelv::DecideEnding(rx, false, false, false);
    EXPECT_EQ(kelv::EndStatusText(ending, rx), r.status);
    EXPECT_EQ(kelv::LineErrorText(rx.Errors(), 3), r.errors);
  }
}

TEST(Reception, WhatCanBeInAProgram) {
  // ISO: printable, the leader NUL, TAB, LF, CR, DC1..DC4. EIA: the table's codes.
  for (int b : {0x00, 0x09, 0x0A, 0x0D, 0x11, 0x14, 0x20, 0x7E}) {
    EXPECT_TRUE(kelv::PossibleInProgram(static_cast<uint8_t>(b), false)) << b;
  }
  for (int b : {0x01, 0x08, 0x10, 0x15, 0x16, 0x1F, 0x7F, 0x80, 0xC5}) {
    EXPECT_FALSE(kelv::PossibleInProgram(static_cast<uint8_t>(b), false)) << b;
  }
  for (uint8_t b : {0x00, 0x0B, 0x10, 0x80, 0x93}) EXPECT_TRUE(kelv::PossibleInProgram(b, true));
  for (uint8_t b : {0x47, 0x7F, 0xFF}) EXPECT_FALSE(kelv::PossibleInProgram(b, true)) << int(b);

  // Errors without places, as the Windows driver reports them: the fourth
  // status query with errors while waiting brings the hint.
  Reception rx(kMode0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(rx.WaitingLooksWrong()) << i;
    rx.NoteLineErrors(serialdev::CE_FRAME, {});
  }
  EXPECT_TRUE(rx.WaitingLooksWrong());
}

TEST(Reception, EndingsOfFailedRuns) {
  Reception rx(kMode1);
  for (char c : std::string("\x12%\nO1\n")) rx.Step(static_cast<uint8_t>(c));
  EXPECT_EQ(kelv::DecideEnding(rx, true, false, false), RunEnding::ReadError);
  EXPECT_EQ(kelv::DecideEnding(rx, true, true, false), RunEnding::DeviceLost);
  EXPECT_EQ(kelv::DecideEnding(rx, false, false, true), RunEnding::SessionEnd);
  EXPECT_EQ(kelv::EndStatusText(RunEnding::ReadError, rx), Sjis("データ読込みエラーで終了 2行受信済"));
  EXPECT_EQ(kelv::EndStatusText(RunEnding::DeviceLost, rx), Sjis("回線喪失で終了 2行受信済"));
  EXPECT_EQ(kelv::EndStatusText(RunEnding::SessionEnd, rx), "") << "the dialog stays as it was";
  rx.Step(0x14);
  rx.FinishRun();
  EXPECT_EQ(kelv::DecideEnding(rx, false, false, true), RunEnding::CutOff)
      << "the end marker came before the session's end";
  EXPECT_EQ(kelv::EndStatusText(RunEnding::CutOff, rx),
            Sjis("受信途中で終了（終わりの％なし）2行受信済"));
}

TEST(Reception, DisplayShowsTheLineAsReceived) {
  const Outcome out = Feed(kMode0, "%\n  G01  \n\t\n%\n");
  EXPECT_EQ(out.displays, (Lines{"%", "  G01  ", "\t"}));
  EXPECT_EQ(out.lines, (Lines{"%", "G01", "", "%"}));

  const Outcome colon = Feed(With(kMode2, true, false), "\n :12\r\n");
  EXPECT_EQ(colon.displays, (Lines{"", " O12"}));
}

TEST(Reception, BytesAfterTheEndChangeNothing) {
  Reception rx(kMode0);
  for (char c : std::string("%\nA\n%")) rx.Step(static_cast<uint8_t>(c));
  ASSERT_TRUE(rx.Finished());
  for (char c : std::string("B\n%\n")) {
    const Reception::StepResult r = rx.Step(static_cast<uint8_t>(c));
    EXPECT_TRUE(r.finished);
    EXPECT_FALSE(r.line_completed);
  }
  EXPECT_EQ(rx.CurrentLine(), "%");
  EXPECT_EQ(rx.LineCount(), 2);
  rx.FinishRun();
  EXPECT_EQ(rx.Lines(), (Lines{"%", "A", "%"}));
}

// Sizes of a long program and of a line that never ends; a cost that grows
// faster than the input would make these crawl.
TEST(Reception, LargeInputsArriveComplete) {
  Lines want{"%"};
  std::string input = "%\r\n";
  for (int i = 0; want.size() < 100001 || input.size() < 5'000'000; ++i) {
    std::string line = "N" + std::to_string(i) + " G01 X" + std::to_string(i % 977) + ". Y-" +
                       std::to_string(i % 131) + ". F1200";
    input += line + "\r\n";
    want.push_back(line);
  }
  input += "%\r\n";
  want.push_back("%");

  Outcome out = Feed(kMode0, input);
  EXPECT_EQ(out.count, static_cast<int64_t>(want.size()) - 1);
  EXPECT_TRUE(out.lines == want);

  Reception rx(kMode3);
  rx.Step('%');
  const size_t n = 10'000'000;
  for (size_t i = 0; i < n; ++i) rx.Step(static_cast<uint8_t>('A' + i % 26));
  EXPECT_EQ(rx.CurrentLine().size(), n + 1);
  rx.FinishRun();
  ASSERT_EQ(rx.Lines().size(), 1u);
  EXPECT_EQ(rx.Lines()[0].size(), n + 1);
  EXPECT_EQ(rx.Lines()[0].substr(0, 4), "%ABC");
}

// A long program is kept in blocks that each end at a line end; a line longer
// than a block is a block of its own.
TEST(Reception, LongProgramKeptInBlocksOfWholeLines) {
  Reception rx(kMode0);
  rx.Step('%');
  rx.Step('\n');
  const std::string line(70, 'G');
  const int lines = 40'000;  // more than 2 MB with CR LF
  for (int i = 0; i < lines; ++i) {
    for (char c : line) rx.Step(static_cast<uint8_t>(c));
    rx.Step('\n');
  }
  for (int i = 0; i < 1'500'000; ++i) rx.Step('X');
  rx.Step('\n');
  rx.Step('%');
  rx.FinishRun();
  EXPECT_EQ(rx.LineTotal(), static_cast<size_t>(lines) + 3);
  const std::vector<std::string> blocks = rx.TakeFileBlocks();
  ASSERT_GE(blocks.size(), 3u);
  std::string file;
  for (const std::string& b : blocks) {
    ASSERT_EQ(b.substr(b.size() - 2), "\r\n");
    file += b;
  }
  std::string want = "%\r\n";
  for (int i = 0; i < lines; ++i) want += line + "\r\n";
  want += std::string(1'500'000, 'X') + "\r\n%\r\n";
  EXPECT_TRUE(file == want);
}

TEST(ReceptionTexts, Cp932Bytes) {
  EXPECT_EQ(kelv::ReceivingText(1),
            "\x8e\xf3\x90\x4d\x92\x86\x20"
            "1\x8d\x73");
  EXPECT_EQ(kelv::ReceivingText(123456),
            "\x8e\xf3\x90\x4d\x92\x86\x20"
            "123456\x8d\x73");
  EXPECT_EQ(kelv::EndText(true, 0), "\x8e\xf3\x90\x4d\x8a\xae\x97\xb9");
  EXPECT_EQ(kelv::EndText(true, 12), "\x8e\xf3\x90\x4d\x8a\xae\x97\xb9");
  EXPECT_EQ(kelv::EndText(false, 0),
            "\x8e\xf3\x90\x4d\x8a\x4a\x8e\x6e\x91\x4f\x82\xc9\x92\x86\x8e\x7e\x82\xb5\x82\xdc\x82"
            "\xb5\x82\xbd");
  EXPECT_EQ(kelv::EndText(false, 12),
            "\x8e\xf3\x90\x4d\x92\x86\x82\xc9\x92\x86\x8e\x7e\x81\x41\x96\x94\x82\xcd\x83\x47\x83"
            "\x89\x81\x5b"
            "12"
            "\x8d\x73\x8e\xf3\x90\x4d\x8d\xcf");
}

}  // namespace
