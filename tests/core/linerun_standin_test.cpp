// The run's passes and its DC1/DC3 answers on the line, with each way a
// driver reports (or does not report) the event character, against the
// stand-in driver (standin_device.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "handover.h"
#include "linechars.h"
#include "linerun.h"
#include "rs232c.h"
#include "rxfile.h"
#include "rxline.h"
#include "sjis.h"
#include "standin_device.h"
#include "tempdir.h"
#include "verdict.h"

namespace {

using namespace standin;
// The run's passes with the watcher's hand-overs served and `step` taken once
// per pass; given up after a minute.
kelv::PassHooks Passes(std::function<void()> step) {
  kelv::PassHooks hooks;
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(60);
  hooks.process_messages = [step] {
    HandOver::Ui().ServePending();
    step();
  };
  hooks.cancelled = [give_up] { return Clock::now() > give_up; };
  hooks.wait = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  hooks.line_completed = [](const kelv::Reception&, const kelv::Reception::StepResult&) {};
  return hooks;
}

// The status query fails as it does for a gone device: a glitch (a USB
// adapter waking from power management) is retried and the program arrives;
// a failure lasting three passes (some 300 ms) is an adapter pulled out, and
// the run ends as after a failed read, with the lines it completed.
TEST_F(StandInTest, FailedStatusEndsTheRunOnlyWhenItLasts) {
  const struct {
    const char* name;
    int fail_polls;
    kelv::RunEnd end;
  } rows[] = {
      {"one pass", 1, kelv::RunEnd::Finished},
      {"two passes", 2, kelv::RunEnd::Finished},
      {"three passes", 3, kelv::RunEnd::ReadFailed},
      {"for good", -1, kelv::RunEnd::ReadFailed},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    ASSERT_TRUE(port_.Open());
    driver().polls = 0;
    driver().habits.status_fails_from = 3;
    driver().habits.status_fail_polls = row.fail_polls;
    driver().Deliver({'%', '\n', 'G', '1', '\n', 'G', '2', '\n'});
    kelv::LineAnswers answers(port_);
    kelv::Reception rx(kelv::ReceptionSettings{});
    bool rest = false;
    const Clock::time_point t0 = Clock::now();
    const kelv::RunEnd end = kelv::PollLine(port_, rx, answers, Passes([&] {
      if (!rest && driver().polls >= 6) driver().Deliver({'G', '3', '\n', '%'});
      rest = rest || driver().polls >= 6;
    }));
    EXPECT_EQ(end, row.end);
    EXPECT_EQ(rx.LineCount(), row.end == kelv::RunEnd::Finished ? 4 : 3);
    if (row.end == kelv::RunEnd::ReadFailed) {
      EXPECT_GE(MsSince(t0), 200) << "given up before the failure lasted";
      EXPECT_TRUE(port_.IsOpen());
    }
    TearDown();
  }
}

// Line errors the driver reports reach the run with the lines they hit: kinds
// from the status queries, places where the system marks the bytes. The bytes
// are stored as they came.
TEST_F(StandInTest, LineErrorsReachTheRunWithTheirLines) {
  using namespace serialdev;
  const std::string program = "%\nO1\nG1 X1\nG2 Y2\n%\n";  // lines from bytes 0, 2, 5, 11, 17
  struct Row {
    const char* name;
    uint32_t flags;
    std::vector<uint64_t> marked;
    std::string errors;
  };
  const Row rows[] = {
      {"parity at byte 7", CE_RXPARITY, {7}, kelv::Sjis("回線エラー:パリティ 1文字 3行目")},
      {"framing", CE_FRAME, {}, kelv::Sjis("回線エラー:フレーミング")},
      {"an overrun flag", CE_OVERRUN, {}, kelv::Sjis("回線エラー:オーバーラン")},
      {"break", CE_BREAK, {}, kelv::Sjis("回線エラー:ブレーク")},
      {"none", 0, {}, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SetUp();
    driver().habits.error_flags = r.flags;
    driver().habits.marked = r.marked;
    ASSERT_TRUE(port_.Open());
    driver().Deliver(std::vector<uint8_t>(program.begin(), program.end()));
    kelv::LineAnswers answers(port_);
    kelv::Reception rx(kelv::ReceptionSettings{});
    EXPECT_EQ(kelv::PollLine(port_, rx, answers, Passes([] {})), kelv::RunEnd::Finished);
    rx.FinishRun();
    EXPECT_EQ(kelv::LineErrorText(rx.Errors(), 3), r.errors);
    EXPECT_EQ(rx.Lines(), (std::vector<std::string>{"%", "O1", "G1 X1", "G2 Y2", "%"}));
    TearDown();
  }
}

// DC2s that come during a hold are answered by the one DC1 that ends it (at
// the resume level or at the run's end), from whichever side answers them:
// one hold lasts while a backlog is read.
TEST_F(StandInTest, Dc2DuringAHoldIsAnsweredWhenItEnds) {
  using linechars::kDC1;
  using linechars::kDC3;
  struct Row {
    const char* name;
    Flag flag;     // Refused: the run answers; AtOnce: the watcher does
    int dc2;       // read during the hold
    bool at_end;   // the run ends while held, instead of draining
    std::vector<uint8_t> want;
  };
  const Row rows[] = {
      {"the run's answer, drained", Flag::Refused, 1, false, {kDC3, kDC1}},
      {"the run's answers, two DC2s", Flag::Refused, 2, false, {kDC3, kDC1}},
      {"the watcher's answer, drained", Flag::AtOnce, 1, false, {kDC3, kDC1}},
      {"the run's answer, run ends held", Flag::Refused, 1, true, {kDC3, kDC1}},
      {"no DC2, run ends held", Flag::Refused, 0, true, {kDC3, kDC1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    driver().habits.flag = row.flag;
    port_.EvtChar = linechars::kDC2;
    port_.packetsize = kelv::kRxPacketSize;
    port_.OnRXFLAG = port_.OnPACKET = [](TObject*) {};
    ASSERT_TRUE(port_.Open());
    kelv::LineAnswers answers(port_);
    answers.Pass(1000);
    for (int i = 0; i < row.dc2; ++i) {
      if (row.flag == Flag::AtOnce) answers.WatcherSawEventChar();
      answers.Read(linechars::kDC2);
    }
    answers.AfterBatch();
    answers.Pass(1000);  // the backlog still over the limit: no chatter
    EXPECT_EQ(driver().sent, std::vector<uint8_t>{kDC3});
    if (row.at_end) {
      answers.Release();
    } else {
      answers.Pass(100);
    }
    answers.Pass(100);
    EXPECT_EQ(driver().sent, row.want);
    port_.OnRXFLAG = port_.OnPACKET = nullptr;
    TearDown();
  }
}

// The control on the far end, one step per polling pass: it asks with DC2 and
// waits for the DC1 before the program, after every tenth burst and before the
// end; it sends bursts of 1000 characters (more than packetsize) once the last
// one has been read, and stops at DC3 until DC1. Any other DC1 is stray.
struct Control {
  std::string stream;
  size_t at = 0, bursts = 0, seen = 0;
  bool asking = false, held = false;
  bool watcher_first = false;  // each DC2's flag is handed over before the run reads it
  int dc2 = 0, answers = 0, stops = 0, resumed = 0, dc3_while_held = 0, stray = 0;

  // The watcher's hand-over of the flag is queued (others are served
  // meanwhile): its DC1 comes at the next pass, however slow the machine.
  void AwaitFlag(Driver& d) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
      bool reported = false;
      {
        std::lock_guard<std::mutex> lock(d.mu);
        reported = d.flags_reported >= dc2;
      }
      if (reported && HandOver::Ui().HasPending()) return;
      HandOver::Ui().ServePending();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void Step(Driver& d) {
    std::unique_lock<std::mutex> lock(d.mu);
    for (; seen < d.sent.size(); ++seen) {
      const uint8_t b = d.sent[seen];
      if (b == linechars::kDC3) {
        dc3_while_held += held;
        stops += !held;
        held = true;
      } else if (b == linechars::kDC1) {
        int& which = asking ? answers : held ? resumed : stray;
        ++which;
        asking = held = false;
      }
    }
    if (!d.purged || asking || held || !d.line.empty() || at == stream.size()) return;
    const size_t last = stream.size() - 3;  // "%" and its line end go alone, after a DC2
    std::vector<uint8_t> next;
    if (static_cast<size_t>(dc2) < 1 + bursts / 10 + (at == last)) {
      next = {linechars::kDC2};
      ++dc2;
      asking = true;
    } else {
      const size_t n = at < last ? std::min<size_t>(1000, last - at) : stream.size() - at;
      next.assign(stream.begin() + at, stream.begin() + at + n);
      at += n;
      bursts += at <= last;
    }
    lock.unlock();
    d.Deliver(next);
    if (asking && watcher_first) AwaitFlag(d);
  }
};

// Whatever the driver reports, every DC2 gets one DC1, a full queue one DC3,
// every hold its DC1, and Rx.nc is the program byte for byte.
TEST_F(StandInTest, EveryDc2GetsOneDc1AndEveryHoldIsLetGoWhateverTheDriverReports) {
  struct Row {
    const char* name;
    Flag flag;
    int late_ms;
    int watcher_dc1;  // of the 5 DC2s; -1: the watcher's, the run's or both (timing)
    bool woken;       // the watcher's receive events wake the run
  };
  const Row rows[] = {
      {"EV_RXFLAG at once", Flag::AtOnce, 0, 5, true},
      {"EV_RXFLAG 30 ms late", Flag::Late, 30, -1, true},
      {"EV_RXFLAG only with the next DC2", Flag::Behind, 0, 0, true},
      {"never EV_RXFLAG", Flag::Never, 0, 0, true},
      {"a mask with EV_RXFLAG refused", Flag::Refused, 0, 0, true},
      {"no events at all", Flag::NoEvents, 0, 0, false},
  };
  std::string program = "%\nO1234\n";
  for (int i = 1; i <= 1500; ++i) {
    program += "N" + std::to_string(i * 5) + " G01 X" + std::to_string(i % 97) + ".5 Y-" +
               std::to_string(i % 53) + " F" + std::to_string(100 + i % 400) + "\n";
  }
  program += "M30\n%\n";
  std::string file_form;
  for (char c : program) file_form += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const testfs::TempDir dir;
  const std::string rx_path = dir.File("Rx.nc");

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    driver().habits.flag = row.flag;
    driver().habits.late_ms = row.late_ms;
    // The dialog's line: event character DC2, its packet size, both handlers.
    port_.EvtChar = linechars::kDC2;
    port_.packetsize = kelv::kRxPacketSize;
    std::unique_ptr<kelv::LineAnswers> answers;
    port_.OnRXFLAG = [&](TObject*) { answers->WatcherSawEventChar(); };
    port_.OnPACKET = [&](TObject*) { answers->WatcherQueueFull(); };
    ASSERT_TRUE(port_.Open());
    answers = std::make_unique<kelv::LineAnswers>(port_);
    EXPECT_EQ(port_.ReportsEventChar(), row.flag != Flag::Refused);

    Control control;
    control.stream = program;
    control.watcher_first = row.flag == Flag::AtOnce;
    kelv::Reception rx(kelv::ReceptionSettings{});
    kelv::PassHooks hooks = Passes([&] { control.Step(driver()); });
    std::atomic<int> wakes{0};
    hooks.wake = [&wakes] { ++wakes; };
    EXPECT_EQ(kelv::PollLine(port_, rx, *answers, hooks), kelv::RunEnd::Finished);
    // Where the driver reports no receive event, only the run's own looks,
    // more and more seldom while the line is quiet, find the bytes.
    EXPECT_EQ(wakes.load() > 0, row.woken);
    EXPECT_TRUE(port_.Close());
    rx.FinishRun();
    std::remove(rx_path.c_str());
    kelv::WriteRxFileBlocks(rx_path, rx.TakeFileBlocks());
    std::ifstream in(rx_path, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == file_form);

    EXPECT_EQ(control.dc2, 5);
    EXPECT_EQ(control.answers, control.dc2);
    EXPECT_EQ(control.stray, 0) << "a DC1 nobody asked for";
    // From the watcher where its answer comes first, else from the run.
    EXPECT_EQ(answers->WatcherDc1() + answers->RunDc1(), 5u);
    if (row.watcher_dc1 >= 0) {
      EXPECT_EQ(answers->WatcherDc1(), static_cast<uint64_t>(row.watcher_dc1));
    }
    EXPECT_GE(control.stops, 30);
    EXPECT_EQ(control.dc3_while_held, 0);
    EXPECT_EQ(control.resumed, control.stops);
    port_.OnRXFLAG = port_.OnPACKET = nullptr;
    TearDown();
  }
}

}  // namespace
