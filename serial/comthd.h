// The line-event watcher: a worker thread that waits for line events of an open
// device and hands each set of events over to the user-interface thread, where
// the component's handlers are called in a fixed order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "component.h"
#include "serialdev.h"

class Trs232c;

// A thread object that is made without running, started later, asked to stop
// through a flag its body reads, and waited for. Built on std::thread so that
// it has no toolkit behind it. The object never frees itself.
class TThread : public TObject {
 public:
  TThread() = default;
  ~TThread() override;  // asks the body to stop and waits for it
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the body on its own thread; only the first call does anything.
  void Start();
  // Sets the stop flag; the body looks at it when it chooses to, and a Pause
  // ends at once.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  bool Finished() const { return finished_.load(); }

  // User-interface thread: waits until the body has ended, serving the
  // hand-overs it makes meanwhile (and nothing else).
  void WaitFor();
  // The same for at most `limit`; whether the body has ended (or never ran).
  bool WaitFor(std::chrono::milliseconds limit);

 protected:
  virtual void Execute() = 0;
  // Runs fn on the user-interface thread and returns once it has run there; a
  // failure raised by fn is raised again here.
  static void Synchronize(const std::function<void()>& fn);
  // Body: sleeps for `d`, or until Terminate.
  void Pause(std::chrono::milliseconds d);

 private:
  void Run();

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex pause_mu_;
  std::condition_variable pause_cv_;
};

class tcommthread final : public TThread {
 public:
  // Made suspended when CreateSuspended is true; otherwise it runs at once.
  explicit tcommthread(bool CreateSuspended);

  uint32_t Events = 0;     // events of the last successful wait
  int32_t QueueCount = 0;  // input-queue count at the last receive event
  serialdev::SerialDevice* DeviceHandle = nullptr;
  Trs232c* Port = nullptr;  // not owned
  // What the handlers assigned at Open ask of a receive event: every one
  // (OnRXCHAR), or only those that find packetsize bytes queued (OnPACKET
  // alone; 0 for none). A receive event that no handler would see is not
  // handed over, so a trickling line does not wake the user-interface thread.
  bool EveryCharEvent = true;
  int32_t PacketSize = 0;

  // Failed event waits in a row retried after 10 ms; later ones after 250 ms.
  static constexpr int kQuickRetries = 5;

  // User-interface thread only: calls the assigned handlers for Events.
  void DispatchEvents();

  // Any thread: called by the watcher, on its own thread, after each wait
  // that brought a receive event (empty: none).
  void SetArrivalWake(std::function<void()> wake);

 protected:
  void Execute() override;

 private:
  // Watcher thread: whether the events of the last wait call any handler.
  bool WorthHandingOver();

  std::mutex wake_mu_;
  std::function<void()> arrival_wake_;
};
