// Windows backend of the serial device: the communications functions of the
// system, on one handle opened for overlapped input and output.
//
// Each direction has one manual-reset event and one OVERLAPPED record, made by
// MakeTransferEvents. A transfer whose wait times out keeps the record (and
// the caller's buffer) until it completes or an abort purge ends it; the purge
// may return before that (USB-serial drivers finish the cancellation later),
// so the component waits for the transfer's own event after it. While a
// transfer is still under way, a new one in the same direction fails at once
// without touching the record, because starting a second operation on a busy
// OVERLAPPED corrupts the first one. Once it has ended, the record is free.
//
// The watcher's event wait has a record and an event of its own, so it can be
// pending on the same handle while the user-interface thread transfers. A wait
// that is given up on (CancelEventWait, or a failed wait for its event) is
// cancelled and awaited; if the system still holds it after that, its record
// is set aside and a fresh one serves the next wait.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "serialdev.h"
#include "serialtables.h"

// The interface's constants carry the system's values, so masks, purge flags
// and escape functions pass through unchanged. <windows.h> defines the same
// names as macros; take the interface's values before it is included.
namespace {
namespace iface = serialdev;
constexpr uint32_t kIfaceValues[] = {
    iface::EV_RXCHAR,     iface::EV_RXFLAG,     iface::EV_TXEMPTY,    iface::EV_CTS,
    iface::EV_DSR,        iface::EV_RLSD,       iface::EV_BREAK,      iface::EV_ERR,
    iface::EV_RING,       iface::PURGE_TXABORT, iface::PURGE_RXABORT, iface::PURGE_TXCLEAR,
    iface::PURGE_RXCLEAR, iface::SETRTS,        iface::CLRRTS,        iface::SETDTR,
    iface::CLRDTR,        iface::ONESTOPBIT,    iface::ONE5STOPBITS,  iface::TWOSTOPBITS,
    iface::NOPARITY,      iface::ODDPARITY,     iface::EVENPARITY,    iface::MARKPARITY,
    iface::SPACEPARITY,   iface::CE_RXOVER,     iface::CE_OVERRUN,    iface::CE_RXPARITY,
    iface::CE_FRAME,      iface::CE_BREAK};
}  // namespace

#include <windows.h>

namespace {
constexpr uint32_t kSystemValues[] = {
    EV_RXCHAR, EV_RXFLAG,  EV_TXEMPTY,    EV_CTS,        EV_DSR,        EV_RLSD,       EV_BREAK,
    EV_ERR,    EV_RING,    PURGE_TXABORT, PURGE_RXABORT, PURGE_TXCLEAR, PURGE_RXCLEAR, SETRTS,
    CLRRTS,    SETDTR,     CLRDTR,        ONESTOPBIT,    ONE5STOPBITS,  TWOSTOPBITS,   NOPARITY,
    ODDPARITY, EVENPARITY, MARKPARITY,    SPACEPARITY,   CE_RXOVER,     CE_OVERRUN,    CE_RXPARITY,
    CE_FRAME,  CE_BREAK};
constexpr bool SameValues() {
  static_assert(sizeof kIfaceValues == sizeof kSystemValues);
  for (size_t i = 0; i < sizeof kIfaceValues / sizeof kIfaceValues[0]; ++i) {
    if (kIfaceValues[i] != kSystemValues[i]) return false;
  }
  return true;
}
static_assert(SameValues(), "serialdev.h constants differ from the system's");
}  // namespace

namespace serialdev {
namespace {

class Win32Device final : public SerialDevice {
 public:
  ~Win32Device() override;

  bool Open(const std::string& name) override;
  bool SetupQueues(uint32_t rx_size, uint32_t tx_size) override;
  bool GetState(DeviceControl& dcb) override;
  bool SetState(const DeviceControl& dcb) override;
  bool GetTimeouts(CommTimeouts& t) override;
  bool SetTimeouts(const CommTimeouts& t) override;
  bool SetEventMask(uint32_t mask) override;
  bool WaitEvent(uint32_t& events) override;
  void CancelEventWait() override;
  bool Purge(uint32_t flags) override;
  bool Status(uint32_t& in_queue) override;
  void TakeLineErrors(LineErrors& into) override;
  bool Escape(uint32_t function) override;
  bool MakeTransferEvents() override;
  void CloseTransferEvents() override;
  XferStart StartRead(void* buf, uint32_t count) override;
  XferWait WaitRead(uint32_t timeout_ms) override;
  bool ReadResult(uint32_t& transferred) override;
  XferStart StartWrite(const void* buf, uint32_t count) override;
  XferWait WaitWrite(uint32_t timeout_ms) override;
  bool WriteResult(uint32_t& transferred) override;
  bool Close() override;
  long LastError() const override { return last_error_; }
  bool Gone() const override { return gone_; }

 private:
  struct Direction {
    HANDLE event = nullptr;
    // On the heap so that a record the system may still write to can outlive
    // its direction (see MakeEvent).
    std::unique_ptr<OVERLAPPED> record = std::make_unique<OVERLAPPED>();
    bool started = false;  // the last start completed or went under way
    bool pending = false;  // the last one was under way when its start returned
    uint8_t* buf = nullptr;  // where the last read puts its bytes
  };

  // Only a transfer that went under way can still be running; one refused at
  // once may leave the record's status untouched.
  static bool Busy(const Direction& d) {
    return d.pending && !HasOverlappedIoCompleted(d.record.get());
  }
  bool MakeEvent(Direction& d);
  static void CloseEvent(Direction& d);
  XferStart Started(BOOL result, Direction& d);
  // Every system call's success flag passes through here, and only here is
  // the system's error code looked at. A failure is kept as the last error,
  // unless it is a transfer going under way or `keep` is false (the watcher's
  // waits, which end by design when the line closes).
  bool Ok(BOOL result, DWORD* error = nullptr, bool keep = true);
  static XferWait Wait(Direction& d, uint32_t timeout_ms);
  bool Result(Direction& d, uint32_t& transferred);

  // With fewer than 8 data bits the bits above them are never data; some
  // drivers (and Wine) pass the parity bit up in them. Cleared here, as the
  // POSIX backend does, so both systems store the same bytes.
  void MaskData(uint8_t* buf, DWORD n) const {
    if (data_mask_ != 0xFF) {
      for (DWORD i = 0; i < n; ++i) buf[i] &= data_mask_;
    }
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  uint8_t data_mask_ = 0xFF;
  DCB dcb_{};  // the block last read, so fields we do not model survive SetState
  Direction read_;
  Direction write_;
  std::vector<std::unique_ptr<OVERLAPPED>> retired_;
  // The watcher's wait: the record, the mask the system writes at its end and
  // the event it signals. Used by the watcher thread only, and the thread has
  // ended before Close runs.
  struct EventWait {
    OVERLAPPED record{};
    DWORD mask = 0;
    HANDLE event = nullptr;
  };
  void AbandonWait();
  std::unique_ptr<EventWait> wait_;
  std::vector<std::unique_ptr<EventWait>> retired_waits_;
  // Set by CancelEventWait from any thread; reset by Open.
  HANDLE cancel_event_ = nullptr;
  std::atomic<long> last_error_{0};
  // The error flags of every status query since they were last taken; the
  // watcher's queries reset the device's flags too.
  std::atomic<uint32_t> line_errors_{0};
  std::atomic<uint32_t> asked_mask_{0};  // the events the caller wants to see
  bool gone_ = false;  // the last failed status query said the device may be gone

  // Reading ahead: when a status query has just counted n bytes in the
  // queue, the one-byte read that follows fetches all n with one read, and
  // the next ones are served from here without a system call. The count is a
  // promise only to the thread that reads (the watcher queries too); any
  // read spends it.
  bool FetchAhead();
  uint32_t Ahead() const { return ahead_left_.load(); }
  void DropAhead() {
    ahead_.clear();
    ahead_at_ = 0;
    ahead_left_ = 0;
    counted_ = 0;
  }
  std::vector<uint8_t> ahead_;
  size_t ahead_at_ = 0;
  std::atomic<uint32_t> ahead_left_{0};  // read by any thread's status query
  uint32_t counted_ = 0;                 // queued bytes the reader's last query saw
  DWORD reader_ = 0;                     // the thread that reads
  uint32_t served_ = 0;                  // of the last read, from what was read ahead
};

// How long a cancelled event wait may take to report its end.
constexpr DWORD kCancelSettleMs = 2000;

bool Win32Device::Ok(BOOL result, DWORD* error, bool keep) {
  const DWORD code = result ? ERROR_SUCCESS : GetLastError();
  if (error) *error = code;
  if (!result && keep && code != ERROR_IO_PENDING) last_error_ = static_cast<long>(code);
  return result != FALSE;
}

Win32Device::~Win32Device() {
  if (handle_ != INVALID_HANDLE_VALUE) Close();
  CloseTransferEvents();
  // A record whose transfer has not been seen to end may still be written by
  // the system; a few bytes left behind are better than a write to freed memory.
  for (Direction* d : {&read_, &write_}) {
    if (Busy(*d)) d->record.release();
  }
  for (auto& r : retired_) {
    if (!HasOverlappedIoCompleted(r.get())) r.release();
  }
  for (auto& w : retired_waits_) {
    if (!HasOverlappedIoCompleted(&w->record)) w.release();
  }
  if (wait_ && wait_->event) CloseHandle(wait_->event);
  if (cancel_event_) CloseHandle(cancel_event_);
}

bool Win32Device::Open(const std::string& name) {
  if (handle_ != INVALID_HANDLE_VALUE) return false;
  last_error_ = 0;
  line_errors_ = 0;
  gone_ = false;
  // In the device namespace, so that "COM10" and above open as well.
  const std::string path = serialtables::WindowsDevicePath(name, {});
  if (path.empty()) {
    last_error_ = ERROR_FILE_NOT_FOUND;
    return false;
  }
  if (!cancel_event_) cancel_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!cancel_event_) return false;
  ResetEvent(cancel_event_);
  if (!wait_) wait_ = std::make_unique<EventWait>();
  if (!wait_->event) wait_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!wait_->event) return false;
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (!Ok(handle_ != INVALID_HANDLE_VALUE)) return false;
  dcb_ = DCB{};
  dcb_.DCBlength = sizeof dcb_;
  return true;
}

bool Win32Device::SetupQueues(uint32_t rx_size, uint32_t tx_size) {
  return Ok(SetupComm(handle_, rx_size, tx_size));
}

bool Win32Device::GetState(DeviceControl& d) {
  DCB b{};
  b.DCBlength = sizeof b;
  if (!Ok(GetCommState(handle_, &b))) return false;
  dcb_ = b;
  d.BaudRate = b.BaudRate;
  d.Flags = static_cast<uint32_t>(b.fBinary) | static_cast<uint32_t>(b.fParity) << 1 |
            static_cast<uint32_t>(b.fOutxCtsFlow) << 2 |
            static_cast<uint32_t>(b.fOutxDsrFlow) << 3 |
            static_cast<uint32_t>(b.fDtrControl) << F_DTR_CONTROL_SHIFT |
            static_cast<uint32_t>(b.fDsrSensitivity) << 6 |
            static_cast<uint32_t>(b.fTXContinueOnXoff) << 7 | static_cast<uint32_t>(b.fOutX) << 8 |
            static_cast<uint32_t>(b.fInX) << 9 | static_cast<uint32_t>(b.fErrorChar) << 10 |
            static_cast<uint32_t>(b.fNull) << 11 |
            static_cast<uint32_t>(b.fRtsControl) << F_RTS_CONTROL_SHIFT |
            static_cast<uint32_t>(b.fAbortOnError) << 14 | static_cast<uint32_t>(b.fDummy2) << 15;
  d.XonLim = b.XonLim;
  d.XoffLim = b.XoffLim;
  d.ByteSize = b.ByteSize;
  d.Parity = b.Parity;
  d.StopBits = b.StopBits;
  d.XonChar = static_cast<uint8_t>(b.XonChar);
  d.XoffChar = static_cast<uint8_t>(b.XoffChar);
  d.ErrorChar = static_cast<uint8_t>(b.ErrorChar);
  d.EofChar = static_cast<uint8_t>(b.EofChar);
  d.EvtChar = static_cast<uint8_t>(b.EvtChar);
  return true;
}

bool Win32Device::SetState(const DeviceControl& d) {
  DCB b = dcb_;
  b.DCBlength = sizeof b;
  b.BaudRate = d.BaudRate;
  // The flag word is the block's bit fields in declaration order, all 32 bits.
  const uint32_t f = d.Flags;
  b.fBinary = f & 1u;
  b.fParity = (f >> 1) & 1u;
  b.fOutxCtsFlow = (f >> 2) & 1u;
  b.fOutxDsrFlow = (f >> 3) & 1u;
  b.fDtrControl = (f >> F_DTR_CONTROL_SHIFT) & 3u;
  b.fDsrSensitivity = (f >> 6) & 1u;
  b.fTXContinueOnXoff = (f >> 7) & 1u;
  b.fOutX = (f >> 8) & 1u;
  b.fInX = (f >> 9) & 1u;
  b.fErrorChar = (f >> 10) & 1u;
  b.fNull = (f >> 11) & 1u;
  b.fRtsControl = (f >> F_RTS_CONTROL_SHIFT) & 3u;
  b.fAbortOnError = (f >> 14) & 1u;
  b.fDummy2 = f >> 15;
  b.XonLim = d.XonLim;
  b.XoffLim = d.XoffLim;
  b.ByteSize = d.ByteSize;
  b.Parity = d.Parity;
  b.StopBits = d.StopBits;
  b.XonChar = static_cast<char>(d.XonChar);
  b.XoffChar = static_cast<char>(d.XoffChar);
  b.ErrorChar = static_cast<char>(d.ErrorChar);
  b.EofChar = static_cast<char>(d.EofChar);
  b.EvtChar = static_cast<char>(d.EvtChar);
  if (!Ok(SetCommState(handle_, &b))) return false;
  data_mask_ = d.ByteSize < 8 ? static_cast<uint8_t>((1u << d.ByteSize) - 1u) : 0xFF;
  return true;
}

bool Win32Device::GetTimeouts(CommTimeouts& t) {
  COMMTIMEOUTS c{};
  if (!Ok(GetCommTimeouts(handle_, &c))) return false;
  t.ReadIntervalTimeout = c.ReadIntervalTimeout;
  t.ReadTotalTimeoutMultiplier = c.ReadTotalTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = c.ReadTotalTimeoutConstant;
  t.WriteTotalTimeoutMultiplier = c.WriteTotalTimeoutMultiplier;
  t.WriteTotalTimeoutConstant = c.WriteTotalTimeoutConstant;
  return true;
}

bool Win32Device::SetTimeouts(const CommTimeouts& t) {
  COMMTIMEOUTS c{};
  c.ReadIntervalTimeout = t.ReadIntervalTimeout;
  c.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  c.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  c.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  c.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return Ok(SetCommTimeouts(handle_, &c));
}

// Some serial layers tell of a break only by the event: Wine's status query
// never reports an error, while its event wait counts the driver's breaks. So
// every wait also watches EV_BREAK, where the layer takes it, records it as a
// line error and hands on only the events that were asked for.
bool Win32Device::SetEventMask(uint32_t mask) {
  asked_mask_ = mask;
  // A layer that refuses EV_BREAK gets the mask as asked.
  const bool widen = mask != 0 && (mask & EV_BREAK) == 0;
  if (widen && Ok(SetCommMask(handle_, mask | EV_BREAK), nullptr, false)) return true;
  return Ok(SetCommMask(handle_, mask));
}

bool Win32Device::WaitEvent(uint32_t& events) {
  if (!wait_ || !wait_->event || !cancel_event_) return false;
  if (WaitForSingleObject(cancel_event_, 0) != WAIT_TIMEOUT) return false;
  EventWait& w = *wait_;
  ResetEvent(w.event);
  w.record = OVERLAPPED{};
  w.record.hEvent = w.event;
  w.mask = 0;
  DWORD error = 0;
  if (!Ok(WaitCommEvent(handle_, &w.mask, &w.record), &error, false)) {
    if (error != ERROR_IO_PENDING) return false;  // refused: nothing is pending
    // Ended by an event or by a change of the mask (Close clears it), or
    // given up on by CancelEventWait.
    const HANDLE ends[] = {w.event, cancel_event_};
    if (WaitForMultipleObjects(2, ends, FALSE, INFINITE) != WAIT_OBJECT_0) {
      AbandonWait();
      return false;
    }
    DWORD unused = 0;
    if (!Ok(GetOverlappedResult(handle_, &w.record, &unused, FALSE), nullptr, false)) return false;
  }
  events = w.mask;
  if (events & EV_BREAK) line_errors_ |= CE_BREAK;
  events &= asked_mask_.load();
  return true;
}

// The pending wait is cancelled and its end awaited; the system may write its
// record and mask until then. One it still holds is set aside for good.
void Win32Device::AbandonWait() {
  EventWait& w = *wait_;
  // Fails (ERROR_NOT_FOUND) when the wait has just ended by itself: then the
  // wait for its event below returns at once.
  CancelIoEx(handle_, &w.record);
  if (WaitForSingleObject(w.event, kCancelSettleMs) == WAIT_OBJECT_0 ||
      HasOverlappedIoCompleted(&w.record)) {
    return;
  }
  // The system holds its own reference to the event of a pending operation.
  CloseHandle(w.event);
  w.event = nullptr;
  retired_waits_.push_back(std::move(wait_));
  wait_ = std::make_unique<EventWait>();
  wait_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void Win32Device::CancelEventWait() {
  if (cancel_event_) SetEvent(cancel_event_);
}

bool Win32Device::Purge(uint32_t flags) {
  if (flags & PURGE_RXCLEAR) DropAhead();
  return Ok(PurgeComm(handle_, flags));
}

bool Win32Device::Status(uint32_t& in_queue) {
  DWORD errors = 0;
  COMSTAT stat{};
  DWORD error = 0;
  if (!Ok(ClearCommError(handle_, &errors, &stat), &error)) {
    // What the drivers of an unplugged adapter (or of one that answers no
    // more) give; the run decides whether it lasts.
    gone_ = serialtables::DeviceLostCode(error);
    // Bytes already fetched are still there to be read.
    if (const uint32_t left = Ahead()) {
      in_queue = left;
      return true;
    }
    return false;
  }
  in_queue = stat.cbInQue + Ahead();
  if (GetCurrentThreadId() == reader_) counted_ = stat.cbInQue;
  line_errors_ |= errors & (CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK);
  return true;
}

// The system does not say which bytes were hit: the flags alone.
void Win32Device::TakeLineErrors(LineErrors& into) {
  into = LineErrors();
  into.flags = line_errors_.exchange(0);
}

bool Win32Device::Escape(uint32_t function) {
  return Ok(EscapeCommFunction(handle_, function));
}

bool Win32Device::MakeEvent(Direction& d) {
  CloseEvent(d);
  // A transfer aborted by the last close may not have been marked ended yet;
  // its record is set aside rather than wiped under the system's feet.
  if (Busy(d)) {
    retired_.push_back(std::move(d.record));
    d.record = std::make_unique<OVERLAPPED>();
  }
  d.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (d.event) ResetEvent(d.event);
  *d.record = OVERLAPPED{};
  d.started = false;
  d.pending = false;
  d.record->Offset = 0;
  d.record->OffsetHigh = 0;
  d.record->hEvent = d.event;
  return d.event != nullptr;
}

void Win32Device::CloseEvent(Direction& d) {
  if (d.event) CloseHandle(d.event);
  d.event = nullptr;
}

bool Win32Device::MakeTransferEvents() {
  const bool r = MakeEvent(read_);
  const bool w = MakeEvent(write_);
  return r && w;
}

void Win32Device::CloseTransferEvents() {
  // The system holds its own reference to the event of a pending transfer, so
  // closing our handle is safe; the record itself lives as long as this object.
  CloseEvent(read_);
  CloseEvent(write_);
}

XferStart Win32Device::Started(BOOL result, Direction& d) {
  DWORD error = 0;
  d.pending = !Ok(result, &error) && error == ERROR_IO_PENDING;
  d.started = result || d.pending;  // a refused start leaves nothing to wait for
  if (result) return XferStart::Completed;
  return d.pending ? XferStart::Pending : XferStart::Failed;
}

// A transfer that timed out earlier and is still under way owns the record:
// refuse rather than start a second operation on it.
XferStart Win32Device::StartRead(void* buf, uint32_t count) {
  if (!read_.event || Busy(read_)) return XferStart::Failed;
  reader_ = GetCurrentThreadId();
  served_ = 0;
  // Bytes served from what was read ahead leave the system's queue as the
  // reader last saw it.
  if (count == 1 && counted_ > 1 && Ahead() == 0) FetchAhead();
  if (const uint32_t k = (std::min)(count, Ahead())) {
    std::memcpy(buf, ahead_.data() + ahead_at_, k);
    ahead_at_ += k;
    ahead_left_ -= k;
    served_ = k;
    if (k == count) {
      read_.buf = nullptr;
      return XferStart::Completed;
    }
    buf = static_cast<uint8_t*>(buf) + k;
    count -= k;
  }
  counted_ = 0;
  ResetEvent(read_.event);
  read_.buf = static_cast<uint8_t*>(buf);
  const XferStart s = Started(ReadFile(handle_, buf, count, nullptr, read_.record.get()), read_);
  DWORD n = 0;
  if (s == XferStart::Completed &&
      Ok(GetOverlappedResult(handle_, read_.record.get(), &n, FALSE), nullptr, false)) {
    MaskData(read_.buf, n);
  }
  return s;
}

XferStart Win32Device::StartWrite(const void* buf, uint32_t count) {
  if (!write_.event || Busy(write_)) return XferStart::Failed;
  ResetEvent(write_.event);
  return Started(WriteFile(handle_, buf, count, nullptr, write_.record.get()), write_);
}

XferWait Win32Device::Wait(Direction& d, uint32_t timeout_ms) {
  // Nothing started, nothing to wait for: the event would only time out.
  if (!d.event || !d.started) return XferWait::Failed;
  switch (WaitForSingleObject(d.event, timeout_ms)) {
    case WAIT_OBJECT_0:
      return XferWait::Signalled;
    case WAIT_TIMEOUT:
      return XferWait::TimedOut;
    default:
      return XferWait::Failed;
  }
}

XferWait Win32Device::WaitRead(uint32_t timeout_ms) {
  return Wait(read_, timeout_ms);
}

XferWait Win32Device::WaitWrite(uint32_t timeout_ms) {
  return Wait(write_, timeout_ms);
}

bool Win32Device::Result(Direction& d, uint32_t& transferred) {
  DWORD n = 0;
  if (!Ok(GetOverlappedResult(handle_, d.record.get(), &n, FALSE))) return false;
  transferred = n;
  return true;
}

bool Win32Device::ReadResult(uint32_t& transferred) {
  // Served whole from what was read ahead: the record belongs to the fetch.
  if (served_ && read_.buf == nullptr) {
    transferred = served_;
    return true;
  }
  if (!Result(read_, transferred)) return false;
  MaskData(read_.buf, transferred);
  transferred += served_;
  return true;
}

bool Win32Device::FetchAhead() {
  // A driver's queue is at most a few kilobytes; more waits for the next fetch.
  const uint32_t want = (std::min)(counted_, uint32_t{1} << 16);
  DropAhead();
  read_.buf = nullptr;
  ahead_.resize(want);
  ResetEvent(read_.event);
  BOOL done = ReadFile(handle_, ahead_.data(), want, nullptr, read_.record.get());
  DWORD error = 0;
  DWORD n = 0;
  if (done || (!Ok(done, &error) && error == ERROR_IO_PENDING)) {
    // The bytes were counted in the queue, so the read ends at once; should
    // the driver have dropped some, it is ended with what it has.
    if (!done && WaitForSingleObject(read_.event, 1000) != WAIT_OBJECT_0) {
      CancelIoEx(handle_, read_.record.get());
    }
    done = GetOverlappedResult(handle_, read_.record.get(), &n, TRUE);
  }
  read_.started = false;
  read_.pending = false;
  if (!Ok(done) || n == 0) {
    // The one-byte read that follows meets the failure itself.
    ahead_.clear();
    return false;
  }
  ahead_.resize(n);
  MaskData(ahead_.data(), n);
  ahead_left_ = n;
  return true;
}

bool Win32Device::WriteResult(uint32_t& transferred) {
  return Result(write_, transferred);
}

bool Win32Device::Close() {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  DropAhead();
  const bool ok = Ok(CloseHandle(handle_));
  handle_ = INVALID_HANDLE_VALUE;
  return ok;
}

}  // namespace

std::unique_ptr<SerialDevice> MakeSerialDevice() {
  return std::make_unique<Win32Device>();
}

std::string DeviceNameFor(const std::string& port, const std::map<std::string, std::string>& map) {
  return serialtables::WindowsDevicePath(port, map);
}

}  // namespace serialdev
