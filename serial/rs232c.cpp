#include "rs232c.h"

#include <chrono>
#include <climits>

#include "comthd.h"
#include "handover.h"
#include "serialtables.h"
#include "sjis.h"
#include "syserror.h"

using namespace serialdev;

namespace {

// How long a transfer ended by the abort purge may take to report its end.
// Conforming drivers end it within the purge; USB adapters take milliseconds.
constexpr uint32_t kAbortSettleMs = 2000;
// How long Close waits for the watcher after clearing the event mask before it
// cancels the watcher's pending wait (for drivers that ignore the mask change).
constexpr std::chrono::milliseconds kWatcherEndWait{1000};

}  // namespace

Trs232c::Trs232c(TComponent* AOwner) : TComponent(AOwner) {
  paritymode = kelv::Sjis("無し");
  if (OnCreate) OnCreate(this);
}

Trs232c::~Trs232c() {
  Close();
}

void Trs232c::SetDeviceFactory(std::unique_ptr<serialdev::SerialDevice> (*factory)()) {
  factory_ = factory;
}

bool Trs232c::Open() {
  if (IsOpen_) return false;

  failure_ = Failure();
  if (portmaploader) portmap = portmaploader();
  DeviceHandle = factory_ ? factory_() : nullptr;
  if (!DeviceHandle) return false;
  const std::string device = serialdev::DeviceNameFor(portname, portmap);
  if (!DeviceHandle->Open(device)) {
    Fail();
    DeviceHandle.reset();
    return false;
  }

  bool configured = DeviceHandle->SetupQueues(static_cast<uint32_t>(rxbuffsize),
                                              static_cast<uint32_t>(txbuffsize));
  if (configured) {
    DeviceHandle->GetState(DeviceControl);
    serialtables::ChangeDeviceControl(*this, DeviceControl);
    configured = DeviceHandle->SetState(DeviceControl);
  }
  if (configured) {
    Timeouts = serialtables::TimeoutsFor(*this);
    configured = DeviceHandle->SetTimeouts(Timeouts);
  }
  if (!configured) {
    Fail();
    Release();
    return false;
  }

  EventMask = serialtables::EventMaskFor(*this);
  EventCharReported = (EventMask & EV_RXFLAG) != 0;
  if (!DeviceHandle->SetEventMask(EventMask) && EventCharReported) {
    // Some drivers refuse the event character (SerCx2 and SerCx reject a mask
    // that holds EV_RXFLAG): the other events are asked for again without it,
    // and the line counts as one that never reports the character.
    EventMask &= ~EV_RXFLAG;
    EventCharReported = false;
    DeviceHandle->SetEventMask(EventMask);
  }
  DeviceHandle->Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

  HasWatcher = EventMask != 0;
  if (HasWatcher) {
    Watcher = std::make_unique<tcommthread>(true);
    Watcher->QueueCount = 0;
    Watcher->DeviceHandle = DeviceHandle.get();
    Watcher->Port = this;
    Watcher->EveryCharEvent = static_cast<bool>(OnRXCHAR);
    Watcher->PacketSize = OnPACKET ? packetsize : 0;
    if (!Watcher->EveryCharEvent && Watcher->PacketSize > 0) {
      DeviceHandle->SetReceiveEventLevel(static_cast<uint32_t>(Watcher->PacketSize));
    }
  }

  DeviceHandle->MakeTransferEvents();
  ReadTransferred = 0;
  WriteTransferred = 0;
  ReadPending = ReadPendingByte = WritePending = false;

  if (HasWatcher) {
    // Open runs on the user-interface thread; where no toolkit has installed
    // the hand-over yet, this makes it the serving thread before the watcher's
    // first call could claim that role.
    (void)HandOver::Ui();
    Watcher->Start();
  }

  IsOpen_ = true;
  if (TNotifyEvent h = OnOpen) h(this);
  return true;
}

bool Trs232c::Fail() {
  failure_.code = DeviceHandle ? DeviceHandle->LastError() : 0;
  failure_.text = failure_.code ? kelv::SystemErrorText(failure_.code) : std::string();
  return false;
}

// After a refused setting the device is let go again.
void Trs232c::Release() {
  DeviceHandle->Purge(PURGE_TXABORT | PURGE_RXABORT);
  DeviceHandle->Close();
  DeviceHandle.reset();
}

bool Trs232c::Close() {
  if (!IsOpen_) return false;

  DeviceHandle->Purge(PURGE_TXABORT | PURGE_RXABORT);
  // A transfer the device did not end in time gets one more chance to end
  // before its event and the device go.
  if (ReadPending) DeviceHandle->WaitRead(kAbortSettleMs);
  if (WritePending) DeviceHandle->WaitWrite(kAbortSettleMs);
  ReadPending = ReadPendingByte = WritePending = false;

  if (HasWatcher) {
    Watcher->Terminate();
    DeviceHandle->SetEventMask(0);  // ends the watcher's pending wait
    // Both waits serve the watcher's hand-overs. Some drivers ignore the mask
    // change; their pending wait is cancelled, so that closing always ends.
    if (!Watcher->WaitFor(kWatcherEndWait)) {
      DeviceHandle->CancelEventWait();
      Watcher->WaitFor();
    }
    Watcher.reset();
  }

  IsOpen_ = false;
  DeviceHandle->SetArrivalWake(nullptr);
  if (TNotifyEvent h = OnClose) h(this);

  DeviceHandle->CloseTransferEvents();
  const bool closed = DeviceHandle->Close();
  DeviceHandle.reset();
  return closed;
}

// A transfer that outlived its time-out is withdrawn before Read or Write
// returns: the abort purge ends it, and its own completion is awaited, since
// the purge may return before the driver has finished. Returns the wait's
// outcome: Signalled when it has ended (it may have completed after all),
// TimedOut when the device has not ended it within kAbortSettleMs.
XferWait Trs232c::Withdraw(bool read) {
  DeviceHandle->Purge(read ? PURGE_RXABORT : PURGE_TXABORT);
  return read ? DeviceHandle->WaitRead(kAbortSettleMs) : DeviceHandle->WaitWrite(kAbortSettleMs);
}

// A read that the device did not end even after its abort still owns the
// record: it is aborted again and awaited before the record serves again.
// Returns false while it is still under way; sets `late_byte` when it was a
// ReadByte that completed after all, so that ByteBuffer holds a received byte.
bool Trs232c::EndPendingRead(bool& late_byte) {
  late_byte = false;
  const XferWait w = Withdraw(true);
  if (w == XferWait::TimedOut) return false;
  uint32_t n = 0;
  late_byte = w == XferWait::Signalled && DeviceHandle->ReadResult(n) && n == 1 && ReadPendingByte;
  ReadPending = ReadPendingByte = false;
  return true;
}

bool Trs232c::EndPendingWrite() {
  const XferWait w = Withdraw(false);
  if (w == XferWait::TimedOut) return false;
  uint32_t n = 0;
  if (w == XferWait::Signalled) DeviceHandle->WriteResult(n);
  WritePending = false;
  return true;
}

// Both directions take one path: start, wait up to the direction's time-out,
// withdraw what outlived it. A transfer the device did not end even then keeps
// the record (and the caller's buffer) and is marked pending.
bool Trs232c::Transfer(bool read, void* buffer, int32_t count) {
  const uint32_t n = static_cast<uint32_t>(count);
  XferWait w = XferWait::Signalled;
  switch (read ? DeviceHandle->StartRead(buffer, n) : DeviceHandle->StartWrite(buffer, n)) {
    case XferStart::Completed:
      // Done at once, but perhaps short (a read the system ends with nothing
      // there): only the count says what the buffer holds.
      break;
    case XferStart::Failed:
      return Fail();
    case XferStart::Pending:
      w = read ? DeviceHandle->WaitRead(static_cast<uint32_t>(rxtimeout))
               : DeviceHandle->WaitWrite(static_cast<uint32_t>(txtimeout));
      if (w != XferWait::Signalled) w = Withdraw(read);
      break;
  }
  if (w == XferWait::TimedOut) {
    failure_ = Failure();
    // Still under way: it owns the record, and the buffer, until it ends.
    if (read) {
      ReadPending = true;
      ReadPendingByte = buffer == &ByteBuffer;
    } else {
      WritePending = true;
    }
    return false;
  }
  // Ended, perhaps only by the withdrawal: what it brought is the result.
  if (w != XferWait::Signalled) return Fail();
  uint32_t& done = read ? ReadTransferred : WriteTransferred;
  if (!(read ? DeviceHandle->ReadResult(done) : DeviceHandle->WriteResult(done))) return Fail();
  if (done == n) return true;
  failure_ = Failure();  // ended early: a time-out of the system's own
  return false;
}

bool Trs232c::Read(void* buffer, int32_t count) {
  if (!IsOpen_) return false;
  if (count < 0) return false;
  if (ReadPending) {
    bool late_byte = false;
    if (!EndPendingRead(late_byte)) return false;
    // The byte that read brought is the next one of the line.
    if (late_byte && buffer == &ByteBuffer && count == 1) return true;
  }
  return Transfer(true, buffer, count);
}

bool Trs232c::Write(const void* buffer, int32_t count) {
  if (!IsOpen_) return false;
  if (count < 0) return false;
  if (WritePending && !EndPendingWrite()) return false;
  // A write's buffer is only read: the shared path takes it untyped.
  return Transfer(false, const_cast<void*>(buffer), count);
}

bool Trs232c::ReadByte(uint8_t& b) {
  if (!Read(&ByteBuffer, 1)) return false;
  b = ByteBuffer;
  return true;
}

bool Trs232c::WriteByte(uint8_t b) {
  if (!IsOpen_) return false;
  // The buffer of a write that is still pending must not change under it.
  if (WritePending && !EndPendingWrite()) return false;
  WriteByteBuffer = b;
  return Write(&WriteByteBuffer, 1);
}

int32_t Trs232c::InQueueCount() {
  if (!IsOpen_) return -1;
  uint32_t in_queue = 0;
  // A failed query reports an empty queue: a caller polling for input then
  // pauses instead of reading. A device that may have gone reports -1
  // although the component is still open.
  if (!DeviceHandle->Status(in_queue)) return DeviceHandle->Gone() ? -1 : 0;
  return in_queue > INT32_MAX ? INT32_MAX : static_cast<int32_t>(in_queue);
}

serialdev::LineErrors Trs232c::TakeLineErrors() {
  serialdev::LineErrors e;
  if (IsOpen_) DeviceHandle->TakeLineErrors(e);
  return e;
}

Trs232c::ArrivalWakes Trs232c::SetArrivalWake(std::function<void()> wake) {
  if (!IsOpen_) return ArrivalWakes::Never;
  if (DeviceHandle->SetArrivalWake(wake)) return ArrivalWakes::Always;
  if (!HasWatcher || !(EventMask & EV_RXCHAR)) return ArrivalWakes::Never;
  Watcher->SetArrivalWake(std::move(wake));
  return ArrivalWakes::OnEvents;
}

bool Trs232c::SetRTS(bool on) {
  if (!IsOpen_) return false;
  return DeviceHandle->Escape(on ? SETRTS : CLRRTS);
}

bool Trs232c::SetDTR(bool on) {
  if (!IsOpen_) return false;
  return DeviceHandle->Escape(on ? SETDTR : CLRDTR);
}
