#include "handover.h"

#include <chrono>

HandOver& HandOver::Ui() {
  static HandOver instance;
  return instance;
}

HandOver::HandOver() : ui_thread_(std::this_thread::get_id()) {}

void HandOver::Install(Wake wake) {
  std::lock_guard<std::mutex> lock(mu_);
  ui_thread_ = std::this_thread::get_id();
  wake_ = std::move(wake);
}

bool HandOver::OnUiThread() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::this_thread::get_id() == ui_thread_;
}

void HandOver::Call(const std::function<void()>& fn) {
  if (OnUiThread()) {
    fn();
    return;
  }
  Request req;
  req.fn = &fn;
  Wake wake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(&req);
    wake = wake_;
  }
  cv_.notify_all();
  if (wake) wake();
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return req.done; });
  if (req.error) std::rethrow_exception(req.error);
}

bool HandOver::HasPending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !queue_.empty();
}

bool HandOver::ServePending() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    poked_ = false;
  }
  bool any = false;
  for (;;) {
    Request* req = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (queue_.empty()) break;
      req = queue_.front();
      queue_.pop_front();
    }
    any = true;
    std::exception_ptr error;
    try {
      (*req->fn)();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      req->error = error;
      req->done = true;
    }
    cv_.notify_all();
  }
  return any;
}

void HandOver::Notify() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++notify_seq_;
  }
  cv_.notify_all();
}

void HandOver::Poke() {
  Wake wake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (poked_ || !wake_) return;
    poked_ = true;
    wake = wake_;
  }
  wake();
}

void HandOver::WaitServing(const std::function<bool()>& done, int poll_ms) {
  for (;;) {
    ServePending();
    if (done()) return;
    std::unique_lock<std::mutex> lock(mu_);
    unsigned seq = notify_seq_;
    cv_.wait_for(lock, std::chrono::milliseconds(poll_ms),
                 [&] { return !queue_.empty() || notify_seq_ != seq; });
  }
}
