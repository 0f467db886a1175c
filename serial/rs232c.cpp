#include "rs232c.h"

#include <climits>

#include "comthd.h"
#include "handover.h"
#include "serialtables.h"
#include "sjis.h"

using namespace serialdev;

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

  if (portmaploader) portmap = portmaploader();
  DeviceHandle = factory_ ? factory_() : nullptr;
  if (!DeviceHandle) return false;
#ifdef _WIN32
  const std::string& device = portname;
#else
  const std::string device = serialtables::ResolvePortName(portname, portmap);
#endif
  if (!DeviceHandle->Open(device)) {
    DeviceHandle.reset();
    return false;
  }

  if (!DeviceHandle->SetupQueues(static_cast<uint32_t>(rxbuffsize),
                                 static_cast<uint32_t>(txbuffsize))) {
    Release();
    return false;
  }

  DeviceHandle->GetState(DeviceControl);
  serialtables::ChangeDeviceControl(*this, DeviceControl);
  if (!DeviceHandle->SetState(DeviceControl)) {
    Release();
    return false;
  }

  DeviceHandle->GetTimeouts(Timeouts);
  Timeouts = serialtables::TimeoutsFor(*this);
  if (!DeviceHandle->SetTimeouts(Timeouts)) {
    Release();
    return false;
  }

  EventMask = serialtables::EventMaskFor(*this);
  DeviceHandle->SetEventMask(EventMask);
  DeviceHandle->Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

  HasWatcher = EventMask != 0;
  if (HasWatcher) {
    Watcher = std::make_unique<tcommthread>(true);
    Watcher->QueueCount = 0;
    Watcher->DeviceHandle = DeviceHandle.get();
    Watcher->Port = this;
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

// Step R: after a refused setting the device is let go again.
void Trs232c::Release() {
  DeviceHandle->Purge(PURGE_TXABORT | PURGE_RXABORT);
  DeviceHandle->Close();
  DeviceHandle.reset();
}

bool Trs232c::Close() {
  if (!IsOpen_) return false;

  DeviceHandle->Purge(PURGE_TXABORT | PURGE_RXABORT);
  ReadPending = ReadPendingByte = WritePending = false;

  if (HasWatcher) {
    Watcher->Terminate();
    DeviceHandle->SetEventMask(0);  // ends the watcher's pending wait
    Watcher->WaitFor();             // serves its hand-overs meanwhile
    Watcher.reset();
  }

  IsOpen_ = false;
  if (TNotifyEvent h = OnClose) h(this);

  DeviceHandle->CloseTransferEvents();
  const bool closed = DeviceHandle->Close();
  DeviceHandle.reset();
  return closed;
}

// A read that outlived its time-out may still own the transfer record; it is
// aborted before the record serves again. Returns true when it had completed
// after all as a ReadByte, so that ByteBuffer holds a received byte.
bool Trs232c::EndPendingRead() {
  DeviceHandle->Purge(PURGE_RXABORT);
  uint32_t n = 0;
  const bool late_byte = DeviceHandle->WaitRead(0) == XferWait::Signalled &&
                         DeviceHandle->ReadResult(n) && n == 1 && ReadPendingByte;
  ReadPending = ReadPendingByte = false;
  return late_byte;
}

void Trs232c::EndPendingWrite() {
  DeviceHandle->Purge(PURGE_TXABORT);
  uint32_t n = 0;
  if (DeviceHandle->WaitWrite(0) == XferWait::Signalled) DeviceHandle->WriteResult(n);
  WritePending = false;
}

bool Trs232c::Read(void* buffer, int32_t count) {
  if (!IsOpen_) return false;
  if (count < 0) return false;
  if (ReadPending && EndPendingRead() && buffer == &ByteBuffer && count == 1) return true;

  switch (DeviceHandle->StartRead(buffer, static_cast<uint32_t>(count))) {
    case XferStart::Completed:
      return true;
    case XferStart::Failed:
      return false;
    case XferStart::Pending:
      break;
  }
  if (DeviceHandle->WaitRead(static_cast<uint32_t>(rxtimeout)) != XferWait::Signalled) {
    ReadPending = true;
    ReadPendingByte = buffer == &ByteBuffer;
    return false;
  }
  if (!DeviceHandle->ReadResult(ReadTransferred)) return false;
  return ReadTransferred == static_cast<uint32_t>(count);
}

bool Trs232c::Write(const void* buffer, int32_t count) {
  if (!IsOpen_) return false;
  if (count < 0) return false;
  if (WritePending) EndPendingWrite();

  switch (DeviceHandle->StartWrite(buffer, static_cast<uint32_t>(count))) {
    case XferStart::Completed:
      return true;
    case XferStart::Failed:
      return false;
    case XferStart::Pending:
      break;
  }
  if (DeviceHandle->WaitWrite(static_cast<uint32_t>(txtimeout)) != XferWait::Signalled) {
    WritePending = true;
    return false;
  }
  if (!DeviceHandle->WriteResult(WriteTransferred)) return false;
  return WriteTransferred == static_cast<uint32_t>(count);
}

bool Trs232c::ReadByte(uint8_t& b) {
  if (!Read(&ByteBuffer, 1)) return false;
  b = ByteBuffer;
  return true;
}

bool Trs232c::WriteByte(uint8_t b) {
  if (!IsOpen_) return false;
  // The buffer of a write that is still pending must not change under it.
  if (WritePending) EndPendingWrite();
  WriteByteBuffer = b;
  return Write(&WriteByteBuffer, 1);
}

int32_t Trs232c::InQueueCount() {
  if (!IsOpen_) return -1;
  uint32_t in_queue = 0;
  // A failed query reports an empty queue: a caller polling for input then
  // pauses instead of reading, and never sees a negative count while open.
  if (!DeviceHandle->Status(in_queue)) return 0;
  return in_queue > INT32_MAX ? INT32_MAX : static_cast<int32_t>(in_queue);
}

bool Trs232c::SetRTS(bool on) {
  if (!IsOpen_) return false;
  return DeviceHandle->Escape(on ? SETRTS : CLRRTS);
}

bool Trs232c::SetDTR(bool on) {
  if (!IsOpen_) return false;
  return DeviceHandle->Escape(on ? SETDTR : CLRDTR);
}
