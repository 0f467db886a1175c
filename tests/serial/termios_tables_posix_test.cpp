// The termios side of the POSIX backend: line settings to termios and back,
// and the decoding of parity-marked input.
#include "termios_tables.h"

#include <gtest/gtest.h>
#include <termios.h>

namespace {

using namespace serialdev;

DeviceControl Dcb(uint32_t baud, uint8_t size, uint8_t parity, uint8_t stop, uint32_t flags) {
  DeviceControl d;
  d.BaudRate = baud;
  d.ByteSize = size;
  d.Parity = parity;
  d.StopBits = stop;
  d.Flags = flags;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

TEST(SerialTables, TermiosLineSettings) {
  struct Case {
    const char* name;
    DeviceControl dcb;
    uint32_t cflag;  // without CREAD | CLOCAL | HUPCL
    uint32_t iflag;
  };
  const uint32_t dtr_on = 1u << F_DTR_CONTROL_SHIFT;
  const uint32_t rts_on = 1u << F_RTS_CONTROL_SHIFT;
  const uint32_t rts_hs = 2u << F_RTS_CONTROL_SHIFT;
  const Case cases[] = {
      // Fewer than 8 data bits: input stripped to 7 bits.
      {"ISO 7E1 checked", Dcb(9600, 7, EVENPARITY, ONESTOPBIT, 3), CS7 | PARENB,
       INPCK | PARMRK | ISTRIP},
      {"EIA 8O1 checked", Dcb(4800, 8, ODDPARITY, ONESTOPBIT, 3), CS8 | PARENB | PARODD,
       INPCK | PARMRK},
      {"8N1 binary", Dcb(14400, 8, NOPARITY, ONESTOPBIT, 1), CS8, 0},
      {"mark", Dcb(9600, 7, MARKPARITY, ONESTOPBIT, 1), CS7 | PARENB | CMSPAR | PARODD, ISTRIP},
      {"space", Dcb(9600, 6, SPACEPARITY, ONESTOPBIT, 1), CS6 | PARENB | CMSPAR, ISTRIP},
      {"two stop bits", Dcb(9600, 8, NOPARITY, TWOSTOPBITS, 1), CS8 | CSTOPB, 0},
      {"1.5 stop bits at 5 data bits", Dcb(110, 5, NOPARITY, ONE5STOPBITS, 1), CS5 | CSTOPB,
       ISTRIP},
      {"CTS flow", Dcb(9600, 8, NOPARITY, ONESTOPBIT, 1 | F_OUTX_CTS_FLOW), CS8 | CRTSCTS, 0},
      {"RTS handshake", Dcb(9600, 8, NOPARITY, ONESTOPBIT, 1 | rts_hs), CS8 | CRTSCTS, 0},
      {"XON/XOFF both ways", Dcb(9600, 8, NOPARITY, ONESTOPBIT, 1 | F_OUTX | F_INX), CS8,
       IXON | IXOFF},
      {"lines raised", Dcb(9600, 8, NOPARITY, ONESTOPBIT, 1 | dtr_on | rts_on), CS8, 0},
  };
  for (const Case& c : cases) {
    const auto t = serialtables::TermiosFor(c.dcb);
    ASSERT_TRUE(t.has_value()) << c.name;
    EXPECT_EQ(t->cflag, c.cflag | CREAD | CLOCAL | HUPCL) << c.name;
    EXPECT_EQ(t->iflag, c.iflag) << c.name;
    // Raw: no echo, no canonical input, no CR/LF translation either way.
    EXPECT_EQ(t->lflag, 0u) << c.name;
    EXPECT_EQ(t->oflag, 0u) << c.name;
    EXPECT_EQ(t->speed, c.dcb.BaudRate) << c.name;
    EXPECT_EQ(t->vstart, 0x11) << c.name;
    EXPECT_EQ(t->vstop, 0x13) << c.name;
  }
  // The modem lines follow the DTR and RTS control fields; the dialog's flag
  // word 3 holds both low.
  const auto low = serialtables::TermiosFor(Dcb(9600, 7, EVENPARITY, ONESTOPBIT, 3));
  EXPECT_FALSE(low->dtr);
  EXPECT_FALSE(low->rts);
  const auto high = serialtables::TermiosFor(Dcb(9600, 8, 0, 0, 1 | dtr_on | rts_hs));
  EXPECT_TRUE(high->dtr);
  EXPECT_TRUE(high->rts);
}

TEST(SerialTables, TermiosRefusals) {
  DeviceControl same_chars = Dcb(9600, 8, NOPARITY, ONESTOPBIT, 1 | F_INX);
  same_chars.XoffChar = same_chars.XonChar;
  DeviceControl same_chars_unused = same_chars;
  same_chars_unused.Flags = 1;
  const std::pair<const char*, DeviceControl> refused[] = {
      {"baud 0", Dcb(0, 8, NOPARITY, ONESTOPBIT, 1)},
      {"4 data bits", Dcb(9600, 4, NOPARITY, ONESTOPBIT, 1)},
      {"9 data bits", Dcb(9600, 9, NOPARITY, ONESTOPBIT, 1)},
      {"parity 5", Dcb(9600, 8, 5, ONESTOPBIT, 1)},
      {"stop bits 3", Dcb(9600, 8, NOPARITY, 3, 1)},
      {"1.5 stop bits at 8 data bits", Dcb(9600, 8, NOPARITY, ONE5STOPBITS, 1)},
      {"2 stop bits at 5 data bits", Dcb(9600, 5, NOPARITY, TWOSTOPBITS, 1)},
      {"XON equal to XOFF with flow control", same_chars},
  };
  for (const auto& [name, dcb] : refused) {
    EXPECT_FALSE(serialtables::TermiosFor(dcb).has_value()) << name;
  }
  EXPECT_TRUE(serialtables::TermiosFor(same_chars_unused).has_value());
}

TEST(SerialTables, SettingsReadFromTheDeviceTranslateBack) {
  const DeviceControl cases[] = {
      Dcb(9600, 7, EVENPARITY, ONESTOPBIT, 3),
      Dcb(14400, 8, ODDPARITY, TWOSTOPBITS, 1),
      Dcb(300, 5, MARKPARITY, ONE5STOPBITS, 1),
      Dcb(115200, 6, SPACEPARITY, ONESTOPBIT, 1 | F_OUTX | F_INX),
  };
  for (const DeviceControl& dcb : cases) {
    const auto t = serialtables::TermiosFor(dcb);
    ASSERT_TRUE(t.has_value());
    const DeviceControl back = serialtables::DeviceControlFrom(*t);
    EXPECT_EQ(back.BaudRate, dcb.BaudRate);
    EXPECT_EQ(back.ByteSize, dcb.ByteSize);
    EXPECT_EQ(back.Parity, dcb.Parity);
    EXPECT_EQ(back.StopBits, dcb.StopBits);
    EXPECT_EQ(back.Flags & (F_PARITY | F_OUTX | F_INX), dcb.Flags & (F_PARITY | F_OUTX | F_INX));
    EXPECT_EQ(back.XonChar, dcb.XonChar);
    EXPECT_EQ(back.XoffChar, dcb.XoffChar);
    // And once more through termios: the same settings.
    const auto again = serialtables::TermiosFor(back);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->cflag & ~static_cast<uint32_t>(CRTSCTS), t->cflag);
    EXPECT_EQ(again->iflag, t->iflag);
  }
}

struct FilterCase {
  const char* name;
  serialtables::RxFilter::Options opt;
  std::vector<std::vector<uint8_t>> feeds;  // fed one after the other
  std::vector<uint8_t> want;
  size_t errors;
  size_t nuls = 0;  // of the errors, bytes that came as NUL (a break, or an error on a NUL)
};

TEST(SerialTables, MarkedInputIsDecoded) {
  serialtables::RxFilter::Options marks;
  marks.marks = true;
  serialtables::RxFilter::Options replace = marks;
  replace.replace_errors = true;
  replace.error_char = '?';
  serialtables::RxFilter::Options no_nul = marks;
  no_nul.discard_null = true;
  const serialtables::RxFilter::Options plain;
  serialtables::RxFilter::Options seven = marks;
  seven.data_mask = 0x7F;
  serialtables::RxFilter::Options seven_plain;
  seven_plain.data_mask = 0x7F;
  serialtables::RxFilter::Options five_nul = no_nul;
  five_nul.data_mask = 0x1F;

  const FilterCase cases[] = {
      {"plain bytes",
       marks,
       {{'%', 0x0D, 0x0A, 0x00, 0x80, 0xFE}},
       {'%', 0x0D, 0x0A, 0x00, 0x80, 0xFE},
       0},
      {"doubled 0xFF", marks, {{0x41, 0xFF, 0xFF, 0x42}}, {0x41, 0xFF, 0x42}, 0},
      {"faulty byte kept", marks, {{0xFF, 0x00, 0xC5, 0x0A}}, {0xC5, 0x0A}, 1},
      {"break or faulty NUL", marks, {{0xFF, 0x00, 0x00}}, {0x00}, 1, 1},
      {"faulty 0xFF", marks, {{0xFF, 0x00, 0xFF}}, {0xFF}, 1},
      {"mark split over reads",
       marks,
       {{0x31, 0xFF}, {0x00}, {0xB2, 0xFF}, {0xFF}},
       {0x31, 0xB2, 0xFF},
       1},
      {"stray 0xFF", marks, {{0xFF, 0x41}}, {0xFF, 0x41}, 0},
      {"error character", replace, {{0x41, 0xFF, 0x00, 0xC5}}, {0x41, '?'}, 1},
      {"NUL discarded", no_nul, {{0x00, 0x41, 0x00, 0xFF, 0x00, 0x00, 0x42}}, {0x41, 0x42}, 1, 1},
      // 7 data bits with the parity bit in bit 7: '%' arrives as 0xA5, DC2 as
      // 0x92. The marks are undone on the raw bytes, the bits cut after.
      {"7 bits: parity bit dropped",
       seven_plain,
       {{0xA5, 0x92, 0x0A, 0xFF}},
       {0x25, 0x12, 0x0A, 0x7F},
       0},
      {"7 bits: marks undone first",
       seven,
       {{0xA5, 0xFF, 0xFF, 0xFF}, {0x00, 0x92, 0xFF, 0x00, 0x80}},
       {0x25, 0x7F, 0x12, 0x00},
       2},
      {"5 bits: a NUL after the cut is dropped too", five_nul, {{0x20, 0x41, 0x3F}}, {0x01, 0x1F}, 0},
      {"unmarked device",
       plain,
       {{0xFF, 0x00, 0xC5, 0xFF, 0xFF}},
       {0xFF, 0x00, 0xC5, 0xFF, 0xFF},
       0},
  };
  for (const FilterCase& c : cases) {
    serialtables::RxFilter f(c.opt);
    std::vector<uint8_t> out;
    std::vector<size_t> faulty;
    size_t errors = 0;
    size_t nuls = 0;
    for (const auto& in : c.feeds) errors += f.Feed(in.data(), in.size(), out, &faulty, &nuls);
    EXPECT_EQ(out, c.want) << c.name;
    EXPECT_EQ(errors, c.errors) << c.name;
    EXPECT_EQ(nuls, c.nuls) << c.name;
    // Each faulty byte delivered is named by its place (a dropped NUL is not).
    EXPECT_EQ(faulty.size(), c.opt.discard_null ? 0 : c.errors) << c.name;
    for (size_t i = 0; i < faulty.size(); ++i) {
      EXPECT_LT(faulty[i], out.size()) << c.name;
      if (i > 0) {
        EXPECT_LT(faulty[i - 1], faulty[i]) << c.name;
      }
    }
  }
}

TEST(SerialTables, ResetForgetsAHalfMark) {
  serialtables::RxFilter::Options marks;
  marks.marks = true;
  serialtables::RxFilter f(marks);
  std::vector<uint8_t> out;
  const uint8_t a[] = {0xFF};
  const uint8_t b[] = {0x00, 0x41};
  f.Feed(a, 1, out);
  f.Reset();
  // After a purge the next bytes start afresh: 0x00 is a byte, not a mark.
  EXPECT_EQ(f.Feed(b, 2, out), 0u);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x00, 0x41}));
}

}  // namespace
