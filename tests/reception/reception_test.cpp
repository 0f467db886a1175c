#include "reception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kelv::Reception;
using kelv::ReceptionSettings;
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
  };
  // clang-format on
  for (const Scenario& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = Feed(c.settings, c.input);
    EXPECT_EQ(out.lines, c.lines);
    EXPECT_EQ(out.count, c.count);
    EXPECT_EQ(out.finished, c.finished);
    EXPECT_EQ(c.input.size() - out.consumed, c.unread);
  }
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
