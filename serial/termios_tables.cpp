#include "termios_tables.h"

#include <termios.h>

#include <algorithm>
#include <iterator>

namespace serialtables {

using namespace serialdev;

namespace {

// The data bits and their termios size flag, both ways.
struct SizeBits {
  uint8_t bits;
  tcflag_t flag;
};
constexpr SizeBits kSizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

}  // namespace

std::optional<LineTermios> TermiosFor(const DeviceControl& dcb) {
  LineTermios t;
  if (dcb.BaudRate == 0) return std::nullopt;  // would mean "hang up" to termios
  t.speed = dcb.BaudRate;

  const SizeBits* size = std::find_if(std::begin(kSizes), std::end(kSizes),
                                      [&](const SizeBits& s) { return s.bits == dcb.ByteSize; });
  if (size == std::end(kSizes)) return std::nullopt;
  t.cflag |= size->flag;
  switch (dcb.Parity) {
    case NOPARITY:
      break;
    case ODDPARITY:
      t.cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.cflag |= PARENB;
      break;
    case MARKPARITY:
      t.cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t.cflag |= PARENB | CMSPAR;
      break;
    default:
      return std::nullopt;
  }
  // A UART sends 1.5 stop bits when asked for two with 5 data bits; the other
  // combinations do not exist on the line.
  switch (dcb.StopBits) {
    case ONESTOPBIT:
      break;
    case ONE5STOPBITS:
      if (dcb.ByteSize != 5) return std::nullopt;
      t.cflag |= CSTOPB;
      break;
    case TWOSTOPBITS:
      if (dcb.ByteSize == 5) return std::nullopt;
      t.cflag |= CSTOPB;
      break;
    default:
      return std::nullopt;
  }
  t.cflag |= CREAD | CLOCAL | HUPCL;

  const uint32_t f = dcb.Flags;
  const uint32_t dtr_control = (f >> F_DTR_CONTROL_SHIFT) & 3u;
  const uint32_t rts_control = (f >> F_RTS_CONTROL_SHIFT) & 3u;
  // The kernel has one switch for both directions of hardware flow control.
  if ((f & F_OUTX_CTS_FLOW) || rts_control == 2) t.cflag |= CRTSCTS;
  // Checked input is marked rather than replaced, so that a faulty byte still
  // arrives as it was received.
  if (f & F_PARITY) t.iflag |= INPCK | PARMRK;
  if (dcb.ByteSize < 8) t.iflag |= ISTRIP;
  if (f & F_OUTX) t.iflag |= IXON;
  if (f & F_INX) t.iflag |= IXOFF;
  if ((f & (F_OUTX | F_INX)) && dcb.XonChar == dcb.XoffChar) return std::nullopt;
  t.vstart = dcb.XonChar;
  t.vstop = dcb.XoffChar;
  // Handshake and toggle modes have no separate driver support here; they
  // leave the line raised.
  t.dtr = dtr_control != 0;
  t.rts = rts_control != 0;
  return t;
}

DeviceControl DeviceControlFrom(const LineTermios& t) {
  DeviceControl d;
  d.BaudRate = t.speed;
  for (const SizeBits& s : kSizes) {
    if ((t.cflag & CSIZE) == s.flag) d.ByteSize = s.bits;
  }
  if (!(t.cflag & PARENB)) {
    d.Parity = NOPARITY;
  } else if (t.cflag & CMSPAR) {
    d.Parity = (t.cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    d.Parity = (t.cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if (t.cflag & CSTOPB) d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  d.Flags = F_BINARY | (1u << F_DTR_CONTROL_SHIFT);
  if (t.iflag & INPCK) d.Flags |= F_PARITY;
  if (t.cflag & CRTSCTS) {
    d.Flags |= F_OUTX_CTS_FLOW | (2u << F_RTS_CONTROL_SHIFT);
  } else {
    d.Flags |= 1u << F_RTS_CONTROL_SHIFT;
  }
  if (t.iflag & IXON) d.Flags |= F_OUTX;
  if (t.iflag & IXOFF) d.Flags |= F_INX;
  d.XonChar = t.vstart;
  d.XoffChar = t.vstop;
  return d;
}

bool RxFilter::Deliver(uint8_t b, std::vector<uint8_t>& out) const {
  b = static_cast<uint8_t>(b & opt_.data_mask);
  if (opt_.discard_null && b == 0) return false;
  out.push_back(b);
  return true;
}

size_t RxFilter::Feed(const uint8_t* in, size_t n, std::vector<uint8_t>& out,
                      std::vector<size_t>* faulty, size_t* nuls) {
  size_t errors = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = in[i];
    if (!opt_.marks) {
      Deliver(b, out);
      continue;
    }
    switch (state_) {
      case 0:
        if (b == 0xFF) {
          state_ = 1;
        } else {
          Deliver(b, out);
        }
        break;
      case 1:
        if (b == 0x00) {
          state_ = 2;
        } else {
          // 0xFF 0xFF is a doubled 0xFF; any other follower is no mark at all.
          Deliver(0xFF, out);
          if (b != 0xFF) Deliver(b, out);
          state_ = 0;
        }
        break;
      default:
        ++errors;
        if (b == 0 && nuls) ++*nuls;
        if (Deliver(opt_.replace_errors ? opt_.error_char : b, out) && faulty) {
          faulty->push_back(out.size() - 1);
        }
        state_ = 0;
        break;
    }
  }
  return errors;
}

}  // namespace serialtables
