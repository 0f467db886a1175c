// The one small interface between the serial component and the operating system.
//
// Each platform has its own file behind it (serialdev_posix.cpp, serialdev_win32.cpp).
// The calls follow what the component needs of the device, step by step; every
// operating-system failure is turned into a false (or Failed) result here, in the
// backend, and nowhere else. None of these calls throws.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace serialdev {

// Line events (event-mask flags).
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x0001;
constexpr uint32_t PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Escape functions.
constexpr uint32_t SETRTS = 3;
constexpr uint32_t CLRRTS = 4;
constexpr uint32_t SETDTR = 5;
constexpr uint32_t CLRDTR = 6;

// Stop bits and parity values of the device control block.
constexpr uint8_t ONESTOPBIT = 0;
constexpr uint8_t ONE5STOPBITS = 1;
constexpr uint8_t TWOSTOPBITS = 2;
constexpr uint8_t NOPARITY = 0;
constexpr uint8_t ODDPARITY = 1;
constexpr uint8_t EVENPARITY = 2;
constexpr uint8_t MARKPARITY = 3;
constexpr uint8_t SPACEPARITY = 4;

// Bits of the flag word (same numbering as the component's flow set).
constexpr uint32_t F_BINARY = 1u << 0;
constexpr uint32_t F_PARITY = 1u << 1;
constexpr uint32_t F_OUTX_CTS_FLOW = 1u << 2;
constexpr uint32_t F_OUTX_DSR_FLOW = 1u << 3;
constexpr uint32_t F_DTR_CONTROL_SHIFT = 4;  // two bits
constexpr uint32_t F_DSR_SENSITIVITY = 1u << 6;
constexpr uint32_t F_TX_CONTINUE_ON_XOFF = 1u << 7;
constexpr uint32_t F_OUTX = 1u << 8;
constexpr uint32_t F_INX = 1u << 9;
constexpr uint32_t F_ERROR_CHAR = 1u << 10;
constexpr uint32_t F_NULL = 1u << 11;
constexpr uint32_t F_RTS_CONTROL_SHIFT = 12;  // two bits
constexpr uint32_t F_ABORT_ON_ERROR = 1u << 14;

// The device control block, as far as the component reads and changes it.
struct DeviceControl {
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;  // the 32-bit flag word
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = NOPARITY;
  uint8_t StopBits = ONESTOPBIT;
  uint8_t XonChar = 0;
  uint8_t XoffChar = 0;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;
};

// The five time-outs, in milliseconds.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Line errors (the device's error flags, reset by each status query).
constexpr uint32_t CE_RXOVER = 0x0001;    // the input queue overflowed
constexpr uint32_t CE_OVERRUN = 0x0002;   // a character was lost in the hardware
constexpr uint32_t CE_RXPARITY = 0x0004;  // parity error
constexpr uint32_t CE_FRAME = 0x0008;     // framing error
constexpr uint32_t CE_BREAK = 0x0010;     // a break arrived
// Not a system's flag: a NUL marked as faulty by a device that keeps no
// counters, so a break cannot be told from a parity or framing error on a NUL.
constexpr uint32_t CE_BREAK_OR_NUL = 0x10000;

// What the device has seen of line errors since they were last taken.
struct LineErrors {
  uint32_t flags = 0;  // CE_* bits
  // Where the system tells which bytes came with a parity or framing error:
  // their places (0-based) among the bytes taken by reads since the opening,
  // in ascending order. Flags may then still tell the kind.
  std::vector<uint64_t> marked;
};

enum class XferStart { Completed, Pending, Failed };
enum class XferWait { Signalled, TimedOut, Failed };

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens the named device for exclusive reading and writing. `name` is the
  // device name as the platform knows it (a path on POSIX, "COMn" on Windows).
  virtual bool Open(const std::string& name) = 0;
  virtual bool SetupQueues(uint32_t rx_size, uint32_t tx_size) = 0;
  virtual bool GetState(DeviceControl& dcb) = 0;
  virtual bool SetState(const DeviceControl& dcb) = 0;
  virtual bool GetTimeouts(CommTimeouts& t) = 0;
  virtual bool SetTimeouts(const CommTimeouts& t) = 0;
  // May be called from any thread; ends a pending WaitEvent at once, and with
  // mask 0 makes every later WaitEvent end at once.
  virtual bool SetEventMask(uint32_t mask) = 0;
  // Watcher thread only: blocks until one of the enabled events has occurred
  // (events that occurred while nobody waited count) or the mask changes.
  // Writes the set of events that occurred; an empty set is possible. A wait
  // that ends any other way is withdrawn before it reports failure, so the
  // next one never finds the system still holding the last one's record.
  virtual bool WaitEvent(uint32_t& events) = 0;
  // May be called from any thread: ends a pending WaitEvent (with failure) also
  // on a driver that ignores the change of the mask, and makes every later
  // WaitEvent fail at once until the device is opened again. A device whose
  // waits always end at the change of the mask may leave it as it is.
  virtual void CancelEventWait() {}
  virtual bool Purge(uint32_t flags) = 0;
  // Input-queue count; also resets the device's error flags, which are kept
  // for TakeLineErrors (the watcher's queries included).
  virtual bool Status(uint32_t& in_queue) = 0;
  // Any thread: hands over the line errors seen since the last call.
  virtual void TakeLineErrors(LineErrors& into) { into = LineErrors(); }
  // Whether the last failed Status said that the device is gone or does not
  // answer (an adapter pulled out, a driver failing every query). On some
  // systems such a failure also follows a passing glitch: a caller gives the
  // device up only when the failure lasts.
  virtual bool Gone() const { return false; }
  virtual bool Escape(uint32_t function) = 0;
  // Any thread: EV_RXCHAR is recorded only once the input queue holds at least
  // `bytes` (0: for every arrival, the default), where the device can tell; a
  // watcher whose handlers only look for a full queue then sleeps meanwhile.
  virtual void SetReceiveEventLevel(uint32_t bytes) { (void)bytes; }
  // While open: `wake` is called from the device's own thread whenever bytes
  // reach the input queue or the device goes, and never after this returns
  // with another (or an empty) one. False where the device has no such
  // thread; the caller then polls.
  virtual bool SetArrivalWake(std::function<void()> wake) {
    (void)wake;
    return false;
  }

  // The transfer machinery: one event and one pending-transfer record per
  // direction, made after configuration and released before the device closes.
  virtual bool MakeTransferEvents() = 0;
  virtual void CloseTransferEvents() = 0;
  // Starts a transfer. Completed: all done at once. Pending: under way, finish
  // with WaitRead/WaitWrite and ReadResult/WriteResult. The buffer must stay
  // valid until the transfer has ended.
  // A transfer whose wait timed out may stay pending (it may still complete
  // later) or be withdrawn by the backend with nothing transferred. A purge
  // with the direction's abort flag ends a pending one, but may return before
  // it has ended (drivers often finish the cancellation later): only a wait
  // that reports Signalled shows that it has, and the result call then tells
  // how it ended (a read may still have brought its bytes). A wait with no
  // transfer under way and none completed returns Failed. While a transfer is
  // under way, the next start in its direction fails.
  virtual XferStart StartRead(void* buf, uint32_t count) = 0;
  virtual XferWait WaitRead(uint32_t timeout_ms) = 0;
  virtual bool ReadResult(uint32_t& transferred) = 0;
  virtual XferStart StartWrite(const void* buf, uint32_t count) = 0;
  virtual XferWait WaitWrite(uint32_t timeout_ms) = 0;
  virtual bool WriteResult(uint32_t& transferred) = 0;

  virtual bool Close() = 0;

  // The system's error code (errno, or GetLastError on Windows) of the last
  // call of this device that the system refused; 0 while none has. A refusal
  // that is the backend's own (a setting the device model does not take) keeps
  // the code the system gave for its check, or sets none.
  virtual long LastError() const { return 0; }
};

// The backend of the platform this program is built for.
std::unique_ptr<SerialDevice> MakeSerialDevice();

// The name that backend's Open takes for a port name of the settings and the
// port map of the settings file (see serialtables: ResolvePortName on POSIX,
// WindowsDevicePath on Windows). "" when the name leads to no device.
std::string DeviceNameFor(const std::string& port, const std::map<std::string, std::string>& map);

}  // namespace serialdev
