// The serial component's line settings and line-event handlers, apart from
// the component itself, so that the tables that turn them into device values
// (serialtables.h) sit below the component and never see it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>

#include "component.h"

// Members of the flow set: member i stands for bit i of the flag word.
enum TRsFlow : uint8_t {
  dfBinary = 0,
  dfParity,
  dfOutxCtsFlow,
  dfOutxDsrFlow,
  dfDtrControl_b0,
  dfDtrControl_b1,
  dfDsrSensitivity,
  dfTXContinueOnXoff,
  dfOutX,
  dfInX,
  dfErrorChar,
  dfNull,
  dfRtsControl_b0,
  dfRtsControl_b1,
  dfAbortOnError,
};

// A set of TRsFlow members (bits 0..14).
class rsflowset {
 public:
  rsflowset() = default;
  rsflowset(std::initializer_list<TRsFlow> members) {
    for (TRsFlow m : members) Include(m);
  }
  static rsflowset FromBits(uint32_t bits) {
    rsflowset s;
    s.bits_ = static_cast<uint16_t>(bits & 0x7FFFu);
    return s;
  }
  uint32_t Bits() const { return bits_; }
  bool Contains(TRsFlow m) const { return (bits_ >> m) & 1u; }
  void Include(TRsFlow m) { bits_ = static_cast<uint16_t>(bits_ | (1u << m)); }
  void Exclude(TRsFlow m) { bits_ = static_cast<uint16_t>(bits_ & ~(1u << m)); }
  bool operator==(const rsflowset& o) const { return bits_ == o.bits_; }
  bool operator!=(const rsflowset& o) const { return bits_ != o.bits_; }

 private:
  uint16_t bits_ = 0;
};


// Maps "COMn" names to device paths on platforms that have no such names.
using PortMap = std::map<std::string, std::string>;

// The published line settings, in declaration order. Texts are code page 932
// bytes. Setting one only stores it; the device sees it at the next Open.
struct LineProperties {
  int32_t charbit = 8;
  std::string stopbit = "1";
  int32_t bps = 9600;
  std::string portname = "COM1";
  int32_t rxbuffsize = 1024;
  int32_t txbuffsize = 1024;
  int32_t readinterval = 0;
  int32_t txtimeout = 30000;
  int32_t rxtimeout = 30000;
  std::string paritymode;  // the component sets "無し" when it is made
  int32_t flowflag = 1;
  int32_t packetsize = 0;
  // flow: bits 0..14 of flowflag seen as a set; writing it clears bits 15..31.
  rsflowset flow() const { return rsflowset::FromBits(static_cast<uint32_t>(flowflag)); }
  void set_flow(rsflowset s) { flowflag = static_cast<int32_t>(s.Bits()); }
  int32_t XonLim = 0;
  int32_t XoffLim = 0;
  // The characters: DC3 stops the far end, DC1 lets it go on.
  uint8_t XonChar = 0x13, XoffChar = 0x11, ErrorChar = 0, EofChar = 0, EvtChar = 0;
};

// The handlers of the line's events; an assigned one asks for its event.
struct LineEvents {
  // The modem lines, errors and break.
  TNotifyEvent OnBREAK, OnCTS, OnDSR, OnERR, OnRING, OnRLSD;
  // Reception and transmission.
  TNotifyEvent OnRXCHAR, OnRXFLAG, OnTXEMPTY, OnPACKET;
};
