#include "linerun.h"

#include <algorithm>

#include "linechars.h"
#include "rs232c.h"

namespace kelv {

namespace {

using Clock = std::chrono::steady_clock;

// How often a line that may not wake the run is looked at: at first as
// often as ever, then less often while it stays quiet, never so seldom that
// the line could bring more than some 450 characters in between, half of
// what calls for DC3 (38400 baud, the fastest the dialog offers: 100 ms;
// 115200 baud: 39 ms). Each look costs a driver call and a wake-up, which an
// old PC feels while a run waits for the control.
constexpr int kIdlePollMs = 5;
constexpr int kQuietPollMs = 100;
constexpr int64_t kQuietChars = 450;

int QuietLookMs(const Trs232c& port) {
  if (port.bps <= 0) return kIdlePollMs;
  const int64_t ms = kQuietChars * 10 * 1000 / port.bps;  // some 10 bits a character
  return static_cast<int>(std::clamp<int64_t>(ms, kIdlePollMs, kQuietPollMs));
}
// A device that fails its queue query as a gone one does is given up after
// three such passes 100 ms apart, some 300 ms: a glitch (a USB adapter's
// power management) passes within one, an adapter pulled out does not.
constexpr int kLostPasses = 3;
constexpr int kLostRetryMs = 100;

// The shorter of two waits, -1 being no limit.
int Sooner(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

}  // namespace

LineAnswers::LineAnswers(Trs232c& port)
    : port_(port),
      // Only what the line's handlers ask for is answered; EvtChar 0 means
      // "the device's own", which the run cannot know.
      event_char_(port.OnRXFLAG && port.EvtChar != 0 ? port.EvtChar : -1),
      packet_size_(port.OnPACKET ? port.packetsize : 0),
      // Where a held line is let go again, as a serial driver's XON limit: a
      // quarter of the input queue.
      resume_level_(port.rxbuffsize > 0 ? port.rxbuffsize / 4 : 0),
      run_answers_(!port.ReportsEventChar()) {}

void LineAnswers::WatcherSawEventChar() {
  if (run_answers_) return;  // the run answers every one it reads
  Dc1ForDc2();
  ++watcher_dc1_;
  ++answered_;
}

void LineAnswers::Dc1ForDc2() {
  // A control that asks while held is answered by the DC1 that ends the
  // hold: a DC1 now would let it go on into a queue that is still full, and
  // the next pass would hold it again, over and over while a backlog is read.
  // One DC1 answers every DC2 of the hold: each asked the same question.
  if (!held_) port_.WriteByte(linechars::kDC1);
}

void LineAnswers::Resume() {
  held_ = false;
  port_.WriteByte(linechars::kDC1);
  ++resumes_;
}

void LineAnswers::SawEventChar() {
  // The clock is read only here, for the one DC2 that opens a debt.
  if (seen_++ == answered_ && !run_answers_) oldest_unanswered_ = Clock::now();
}

void LineAnswers::Answer() {
  while (answered_ < seen_) {
    Dc1ForDc2();
    ++answered_;
    ++run_dc1_;
  }
}

void LineAnswers::Hold() {
  if (held_) return;
  port_.WriteByte(linechars::kDC3);
  held_ = true;
  ++holds_;
}

void LineAnswers::Release() {
  if (held_) Resume();
}

void LineAnswers::WatcherQueueFull() {
  Hold();
}

void LineAnswers::Pass(int32_t queued) {
  if (queued >= 0) {
    // The queue has drained to its low-water mark since we asked the control
    // to hold: let it go on, or it would wait for ever with the program half
    // sent. Resuming before the queue is empty keeps the line busy while we
    // read the rest.
    if (held_ && queued <= resume_level_) {
      Resume();
    } else if (packet_size_ > 0 && queued >= packet_size_) {
      Hold();
    }
  }
  if (seen_ > answered_ && (run_answers_ || Clock::now() - oldest_unanswered_ >= kGrace)) {
    // The watcher has not answered in time: this line's watcher does not, or
    // not reliably. The run answers from now on, and only the run.
    run_answers_ = true;
    Answer();
  }
}

int LineAnswers::MsUntilDue() const {
  if (seen_ <= answered_) return -1;
  if (run_answers_) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(oldest_unanswered_ + kGrace -
                                                                 Clock::now());
  return left.count() < 1 ? 1 : static_cast<int>(left.count());
}

void TakeLineErrors(Trs232c& port, Reception& rx) {
  const serialdev::LineErrors e = port.TakeLineErrors();
  if (e.flags != 0 || !e.marked.empty()) rx.NoteLineErrors(e.flags, e.marked);
}

bool ReadBatch(Trs232c& port, Reception& rx, LineAnswers& answers, const PassHooks& hooks,
               int32_t n) {
  Clock::time_point painted = Clock::now();
  for (int32_t i = 0; i < n; ++i) {
    uint8_t b = 0;
    if (!port.ReadByte(b)) return false;
    answers.Read(b);
    const Reception::StepResult r = rx.Step(b);
    if (r.line_completed) hooks.line_completed(rx, r);
    if (r.finished) break;
    // The clock is asked now and then only: a read costs far less.
    if ((i & 0xFF) == 0xFF && hooks.paint) {
      const Clock::time_point now = Clock::now();
      if (now - painted >= std::chrono::milliseconds(kPaintEveryMs)) {
        hooks.paint();
        painted = now;
      }
    }
  }
  answers.AfterBatch();
  return true;
}

RunEnd PollLine(Trs232c& port, Reception& rx, LineAnswers& answers, const PassHooks& hooks) {
  // Unset again however the run ends: the line outlives it.
  struct Woken {
    Trs232c& port;
    Trs232c::ArrivalWakes how = Trs232c::ArrivalWakes::Never;
    ~Woken() {
      if (how != Trs232c::ArrivalWakes::Never) port.SetArrivalWake(nullptr);
    }
  } woken{port};
  if (hooks.wake) woken.how = port.SetArrivalWake(hooks.wake);
  const bool always_woken = woken.how == Trs232c::ArrivalWakes::Always;
  const int quiet_ms = QuietLookMs(port);
  int look_ms = kIdlePollMs;
  int lost = 0;  // failed passes in a row
  Clock::time_point lost_since{};
  do {
    hooks.process_messages();
    if (hooks.cancelled()) return RunEnd::Cancelled;
    const int32_t n = port.InQueueCount();
    TakeLineErrors(port, rx);
    answers.Pass(n);
    // Open, yet no count: the device may have gone.
    if (n < 0 && port.IsOpen()) {
      const Clock::time_point now = Clock::now();
      if (lost++ == 0) lost_since = now;
      // A wait cut short by an event does not shorten the failure's time.
      if (lost >= kLostPasses &&
          now - lost_since >= std::chrono::milliseconds((kLostPasses - 1) * kLostRetryMs)) {
        return RunEnd::ReadFailed;
      }
      hooks.wait(kLostRetryMs);
      continue;
    }
    lost = 0;
    if (n == 0) {
      hooks.wait(Sooner(always_woken ? -1 : look_ms, answers.MsUntilDue()));
      look_ms = std::min(look_ms * 2, quiet_ms);
      continue;
    }
    look_ms = kIdlePollMs;
    if (n < 0) continue;
    if (!ReadBatch(port, rx, answers, hooks, n)) return RunEnd::ReadFailed;
  } while (!hooks.cancelled() && !rx.Finished());
  return rx.Finished() ? RunEnd::Finished : RunEnd::Cancelled;
}

}  // namespace kelv
