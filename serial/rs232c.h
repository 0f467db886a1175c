// Trs232c: a serial port component that holds its line settings as properties,
// opens and configures the device from them, and offers byte I/O with time-outs.
// Every failure is reported by the result only (false, or -1 from InQueueCount).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "component.h"
#include "lineprops.h"
#include "serialdev.h"

class tcommthread;

class Trs232c : public TComponent, public LineProperties, public LineEvents {
 public:
  explicit Trs232c(TComponent* AOwner);
  ~Trs232c() override;

  // ---- The line settings and line-event handlers are published through
  // LineProperties and LineEvents; these three are the component's own.
  TNotifyEvent OnCreate;
  TNotifyEvent OnOpen;
  TNotifyEvent OnClose;

  // Where "COMn" names lead on this machine (see ResolvePortName); not a
  // published property: the dialog hands it over from its settings.
  PortMap portmap;
  // When set, called at the start of every Open and its result taken as
  // `portmap`, so a map changed on disk counts at the next opening.
  std::function<PortMap()> portmaploader;

  // ---- Operations.
  bool Open();
  // Ends a line-event wait that the driver does not end at the change of the
  // mask by cancelling it after a second, so closing always ends.
  bool Close();
  // Read and Write return only after their transfer has ended: one that is not
  // complete at its time-out (rxtimeout, txtimeout) is aborted and awaited, so
  // the system never writes into or reads from the buffer after the call. A
  // read that completes while it is being aborted returns true with its bytes.
  // The one exception is a device that does not end an aborted transfer within
  // two seconds: then the call returns false, that transfer keeps the buffer
  // until it ends, every later transfer in its direction waits for that end
  // (up to two seconds more) and fails while it has not come, and Close waits
  // for it once more. Only the component's own byte buffers (ReadByte,
  // WriteByte) are safe in that case; a caller of Read or Write on such a
  // device must keep its buffer valid until the next successful call in that
  // direction or Close.
  bool Read(void* buffer, int32_t count);
  bool Write(const void* buffer, int32_t count);
  bool ReadByte(uint8_t& b);
  bool WriteByte(uint8_t b);
  // -1 when not open, and also while open when the query failed as it does
  // for a device that has gone (which may still pass: see kelv::PollLine).
  int32_t InQueueCount();
  bool SetRTS(bool on);
  bool SetDTR(bool on);
  // The line errors seen since the last call (none when not open): the kinds,
  // and where the system tells them, the places of the bytes hit among the
  // bytes read since Open. The bytes themselves are delivered as they came.
  serialdev::LineErrors TakeLineErrors();

  bool IsOpen() const { return IsOpen_; }
  // Whether this opening's line reports the event character (EvtChar) to the
  // watcher: false when OnRXFLAG is not assigned, and when the system refused
  // the event mask that held EV_RXFLAG (Open then enables the other events
  // without it). Where it is true the system may still never report it (Wine
  // does not): a caller that must answer the character watches for it too.
  bool ReportsEventChar() const { return EventCharReported; }

  // While open: `wake` is called, from another thread, when bytes reach the
  // input queue (and when the device goes), so that a caller may wait for
  // that instead of polling. What the line can promise:
  //  - Always: its device tells of every arrival itself (the termios backend);
  //  - OnEvents: only through the watcher's receive events, which some drivers
  //    never report (Wine on a pty): the caller must still look now and then;
  //  - Never: nothing will call it.
  // An empty `wake` unsets it; Close unsets it too.
  enum class ArrivalWakes { Never, OnEvents, Always };
  ArrivalWakes SetArrivalWake(std::function<void()> wake);

  // Why the last failed Open, Read or Write failed, for tests and logs (the
  // dialog's messages to the operator stay as they are): the system's error
  // code and its text in code page 932; code 0 and no text when no system
  // call failed (not open, no such port name, a time-out).
  struct Failure {
    long code = 0;
    std::string text;
  };
  const Failure& LastFailure() const { return failure_; }

  // For tests: replaces the platform backend used by the next Open.
  void SetDeviceFactory(std::unique_ptr<serialdev::SerialDevice> (*factory)());

 private:
  friend class tcommthread;
  void Release();  // lets the device go after a refused setting
  // Keeps the device's last system error as the failure; returns false.
  bool Fail();

  Failure failure_;

  std::unique_ptr<serialdev::SerialDevice> (*factory_)() = &serialdev::MakeSerialDevice;
  std::unique_ptr<serialdev::SerialDevice> DeviceHandle;
  bool IsOpen_ = false;
  serialdev::DeviceControl DeviceControl;
  serialdev::CommTimeouts Timeouts;
  uint32_t EventMask = 0;
  bool EventCharReported = false;
  bool HasWatcher = false;
  std::unique_ptr<tcommthread> Watcher;
  uint32_t ReadTransferred = 0;
  uint32_t WriteTransferred = 0;
  bool ReadPending = false;      // a read the device did not end even when aborted
  bool ReadPendingByte = false;  // ... and it was a ReadByte into ByteBuffer
  bool WritePending = false;     // likewise for the write direction
  uint8_t ByteBuffer = 0;        // ReadByte's buffer
  uint8_t WriteByteBuffer = 0;   // WriteByte's, apart so a late read cannot clobber it

  serialdev::XferWait Withdraw(bool read);
  bool Transfer(bool read, void* buffer, int32_t count);
  bool EndPendingRead(bool& late_byte);
  bool EndPendingWrite();
};
