// Synchronous hand-over of a call from a worker thread to the user-interface thread.
//
// The worker queues the call and blocks until the user-interface thread has run
// it. The user-interface thread runs queued calls when it processes its
// messages (the toolkit glue calls ServePending from its event handling, which
// covers modal boxes too) and while it waits for a worker to end (WaitServing,
// which runs hand-overs only, never user input). A call made on the
// user-interface thread itself runs at once, since queueing it would deadlock.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

class HandOver {
 public:
  using Wake = std::function<void()>;

  // The process's one hand-over; its user-interface thread is the thread that
  // first calls Ui() unless Install says otherwise.
  static HandOver& Ui();

  // Called on the user-interface thread: makes it the serving thread and sets
  // the hook that wakes its event loop when a call is queued (may be empty).
  void Install(Wake wake);

  bool OnUiThread() const;

  // Runs fn on the user-interface thread and returns when it has run. An
  // exception thrown by fn is rethrown in the calling thread.
  void Call(const std::function<void()>& fn);

  // Whether a call is queued and not yet run (tests use it to know that a
  // worker has reached its hand-over).
  bool HasPending() const;

  // User-interface thread: runs every queued call. Returns whether any ran.
  bool ServePending();

  // User-interface thread: serves hand-overs until done() is true. done() is
  // checked after each round and whenever a call is queued, at least every
  // `poll_ms` milliseconds.
  void WaitServing(const std::function<bool()>& done, int poll_ms = 5);

  // Wakes a WaitServing on the user-interface thread (for example when the
  // worker it waits for has ended).
  void Notify();

  // Any thread: wakes the user-interface thread's event loop without a call,
  // so that a loop waiting for a cause looks again. Pokes before the next
  // ServePending are one wake-up.
  void Poke();

 private:
  struct Request {
    const std::function<void()>* fn = nullptr;
    std::exception_ptr error;
    bool done = false;
  };

  HandOver();

  mutable std::mutex mu_;
  std::condition_variable cv_;  // signals both queued requests and finished ones
  std::deque<Request*> queue_;
  std::thread::id ui_thread_;
  Wake wake_;
  unsigned notify_seq_ = 0;
  bool poked_ = false;  // a Poke's wake-up is on its way
};
