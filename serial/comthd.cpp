#include "comthd.h"

#include <chrono>
#include <climits>

#include "handover.h"
#include "rs232c.h"

TThread::~TThread() {
  if (thread_.joinable()) {
    Terminate();
    WaitFor();
  }
}

void TThread::Terminate() {
  {
    std::lock_guard<std::mutex> lock(pause_mu_);
    terminated_.store(true);
  }
  pause_cv_.notify_all();
}

void TThread::Pause(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lock(pause_mu_);
  pause_cv_.wait_for(lock, d, [this] { return terminated_.load(); });
}

void TThread::Start() {
  if (thread_.joinable() || finished_.load()) return;
  thread_ = std::thread([this] { Run(); });
}

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    // A failure that ends the body ends the thread, not the process.
  }
  finished_.store(true);
  HandOver::Ui().Notify();
}

void TThread::WaitFor() {
  if (!thread_.joinable()) return;
  HandOver::Ui().WaitServing([this] { return finished_.load(); });
  thread_.join();
}

bool TThread::WaitFor(std::chrono::milliseconds limit) {
  if (!thread_.joinable()) return true;
  const auto end = std::chrono::steady_clock::now() + limit;
  HandOver::Ui().WaitServing(
      [this, end] { return finished_.load() || std::chrono::steady_clock::now() >= end; });
  if (!finished_.load()) return false;
  thread_.join();
  return true;
}

void TThread::Synchronize(const std::function<void()>& fn) {
  HandOver::Ui().Call(fn);
}

tcommthread::tcommthread(bool CreateSuspended) {
  // The most derived class is complete here, so the body may run.
  if (!CreateSuspended) Start();
}

void tcommthread::Execute() {
  const std::function<void()> dispatch = [this] { DispatchEvents(); };
  int failures = 0;  // in a row
  while (!Terminated()) {
    if (DeviceHandle->WaitEvent(Events)) {
      failures = 0;
      if (Events & serialdev::EV_RXCHAR) {
        std::lock_guard<std::mutex> lock(wake_mu_);
        if (arrival_wake_) arrival_wake_();
      }
      if (WorthHandingOver()) Synchronize(dispatch);
    } else {
      // A device that keeps failing (unplugged, its mask cleared, or a serial
      // layer that ends every wait at once: Wine on a pty, some virtual COM
      // drivers) must not keep a core busy until Close stops us. A failure
      // or two may pass; one that keeps coming is tried four times a second,
      // and the run answers the line by itself meanwhile.
      Pause(std::chrono::milliseconds(++failures > kQuickRetries ? 250 : 10));
    }
  }
}

void tcommthread::SetArrivalWake(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(wake_mu_);
  arrival_wake_ = std::move(wake);
}

bool tcommthread::WorthHandingOver() {
  using namespace serialdev;
  if (Events & ~EV_RXCHAR) return true;
  if (Events == 0) return false;  // only the mask changed: nothing to call
  if (EveryCharEvent) return true;
  if (PacketSize == 0) return false;
  if (PacketSize < 0) return true;  // any count reaches it
  uint32_t in_queue = 0;
  return DeviceHandle->Status(in_queue) && in_queue >= static_cast<uint32_t>(PacketSize);
}

void tcommthread::DispatchEvents() {
  using namespace serialdev;
  // Each handler is copied before the call: a handler may reassign itself.
  auto call = [this](const TNotifyEvent& h) {
    if (TNotifyEvent fn = h) fn(this);
  };
  if (Events & EV_BREAK) call(Port->OnBREAK);
  if (Events & EV_CTS) call(Port->OnCTS);
  if (Events & EV_DSR) call(Port->OnDSR);
  if (Events & EV_ERR) call(Port->OnERR);
  if (Events & EV_RING) call(Port->OnRING);
  if (Events & EV_RLSD) call(Port->OnRLSD);
  if (Events & EV_RXCHAR) {
    uint32_t in_queue = 0;
    // A failed query counts as an empty queue.
    if (!DeviceHandle->Status(in_queue)) in_queue = 0;
    QueueCount = in_queue > INT32_MAX ? INT32_MAX : static_cast<int32_t>(in_queue);
    if (Port->OnPACKET && Port->packetsize != 0 && Port->packetsize <= QueueCount) {
      QueueCount = 0;
      call(Port->OnPACKET);
    }
    call(Port->OnRXCHAR);
  }
  if (Events & EV_RXFLAG) call(Port->OnRXFLAG);
  if (Events & EV_TXEMPTY) call(Port->OnTXEMPTY);
}
