// The reception run's side of the line: its polling passes
// and its flow-control answers, apart from any window, so that the dialog and
// the tests run the same code.
//
// The answers:
//  - DC1 to every DC2, exactly once. The watcher's answer (EV_RXFLAG, the
//    dialog's rs232c1RXFLAG) stays where it comes. The run counts the DC2s it
//    reads itself; a DC2 that no answer has matched after kGrace is answered
//    by the run, and from then on, for the rest of the opening, the run
//    answers every DC2 at once (within the pass that read it) and the
//    watcher's answer is dropped. A line whose system refused the event
//    character (Trs232c::ReportsEventChar false) is answered by the run from
//    the start. Both sides share two counts (DC2s read, DC2s answered) and
//    one time, that of the oldest unanswered DC2: no timer per byte.
//  - DC3 at the limit: when the queue holds packetsize bytes or more and no
//    DC3 is outstanding, one DC3, whether the watcher's OnPACKET or the run's
//    own queue query sees it first.
//  - DC1 once a held queue has drained to a quarter of its size, and at the
//    run's end while a hold is in force. DC2s that come during a hold are
//    answered by that DC1, not before (the control goes on after the
//    answer), so one hold lasts while a backlog is read.
// Everything here runs on the user-interface thread: the watcher's handlers
// are handed over to it, so the counts need no lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "reception.h"

class Trs232c;

namespace kelv {

class LineAnswers {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a DC2 the run has read is left to the watcher's answer. Longer
  // than a watcher that is merely late (tens of ms), well under the second a
  // control waits.
  static constexpr std::chrono::milliseconds kGrace{150};

  // After a successful Open of `port`; answers what its handlers OnRXFLAG
  // (with EvtChar) and OnPACKET (with packetsize) stand for.
  explicit LineAnswers(Trs232c& port);

  // The watcher's receive-flag event (a DC2 arrived): answers it unless the
  // run has taken the answers over.
  void WatcherSawEventChar();
  // The watcher's OnPACKET: the queue reached packetsize.
  void WatcherQueueFull();

  // Once per pass, with the queue count just asked: the hold and its resume,
  // then DC2s whose grace is over.
  void Pass(int32_t queued);
  // Each byte the run reads, as read.
  void Read(uint8_t b) {
    if (b == event_char_) SawEventChar();
  }
  // At the run's end, before the line closes: a hold still in force is let
  // go, or a control that sends anything after its program (a DC4, a
  // trailer) waits for ever.
  void Release();
  // After each batch: DC2s of this batch, once the run answers at once.
  void AfterBatch() {
    if (seen_ > answered_ && run_answers_) Answer();
  }

  // How long the run may wait for a cause before an answer falls due: the
  // rest of the grace of the oldest DC2 left to the watcher (at least 1 ms),
  // or -1 when nothing falls due by itself.
  int MsUntilDue() const;

  // What happened, for tests and the benchmark (a DC2 answered by the DC1
  // that ends a hold counts among the answers).
  bool RunAnswers() const { return run_answers_; }
  uint64_t EventCharsRead() const { return seen_; }
  uint64_t WatcherDc1() const { return watcher_dc1_; }
  uint64_t RunDc1() const { return run_dc1_; }
  uint64_t Holds() const { return holds_; }
  uint64_t Resumes() const { return resumes_; }
  bool Held() const { return held_; }

 private:
  void SawEventChar();
  void Answer();
  void Hold();
  void Resume();
  void Dc1ForDc2();

  Trs232c& port_;
  int event_char_;  // -1: no event character is answered
  int32_t packet_size_;
  int32_t resume_level_;
  bool run_answers_;
  bool held_ = false;
  uint64_t seen_ = 0;      // event characters the run has read
  uint64_t answered_ = 0;  // DC1s for them, from either side (may run ahead)
  Clock::time_point oldest_unanswered_{};
  uint64_t watcher_dc1_ = 0;
  uint64_t run_dc1_ = 0;
  uint64_t holds_ = 0;
  uint64_t resumes_ = 0;
};

// What the polling passes need of the window, for one run.
struct PassHooks {
  std::function<void()> process_messages;
  std::function<bool()> cancelled;         // tested after it, and after each pass
  // Blocks until a window event, a call of `wake`, or `ms` milliseconds
  // (-1: no limit); the next pass processes what came.
  std::function<void(int ms)> wait;
  // Any thread: ends a `wait`. The line calls it when bytes arrive or the
  // device goes, where its device can tell.
  std::function<void()> wake;
  // A line was completed (the display follows the reception's state).
  std::function<void(const Reception&, const Reception::StepResult&)> line_completed;
  // Puts what the display holds on the screen now, handling no event:
  // called every kPaintEveryMs while a long batch is read.
  std::function<void()> paint;
};

// A batch that takes longer than this has the display painted in between, so
// that the screen never lags the reception by much more.
inline constexpr int kPaintEveryMs = 200;

enum class RunEnd { Finished, Cancelled, ReadFailed };

// The run's polling passes, until the end marker, Cancel or a failed read.
// Each pass processes the pending messages once, asks the queue once, and
// reads exactly that many bytes one at a time (stopping at the end marker or a
// failed read), with the answers above between the query and the batch and
// after the batch. A device whose queue query fails as a gone one's does, for
// three passes 100 ms apart, ends the run as a failed read does; a shorter
// failure is a glitch, and the run goes on.
// With the queue empty the run waits for a cause: bytes or the device's end
// (on a line that wakes the run), a window event, or an answer falling due. A
// line that may not wake the run is looked at 5 ms after a pass that read
// bytes, then less and less often while it stays quiet, down to the time the
// line's rate takes to bring some 450 characters (at most every 100 ms).
RunEnd PollLine(Trs232c& port, Reception& rx, LineAnswers& answers, const PassHooks& hooks);

// Hands the line errors the device has seen since the last call to the
// reception (each pass does, after its queue query).
void TakeLineErrors(Trs232c& port, Reception& rx);

// One batch: exactly `n` single-byte reads (fewer at the end marker), each
// passed to the answers and the reception; false when a read failed.
bool ReadBatch(Trs232c& port, Reception& rx, LineAnswers& answers, const PassHooks& hooks,
               int32_t n);

}  // namespace kelv
