#include "serialtables.h"

#include <gtest/gtest.h>

#include "rs232c.h"
#include "sjis.h"

namespace {

using namespace serialdev;
using serialtables::ParityFromText;
using serialtables::StopBitsFromText;

TEST(SerialTables, ParityTexts) {
  struct Case {
    const char* utf8;
    std::optional<uint8_t> want;
  };
  const Case cases[] = {
      {"無し", NOPARITY},
      {"なし", NOPARITY},
      {"奇数", ODDPARITY},
      {"きすう", ODDPARITY},
      {"ODD", ODDPARITY},
      {"odd", ODDPARITY},
      {"ＯＤＤ", ODDPARITY},
      {"ｏｄｄ", ODDPARITY},
      {"EVEN", EVENPARITY},
      {"even", EVENPARITY},
      {"ＥＶＥＮ", EVENPARITY},
      {"ｅｖｅｎ", EVENPARITY},
      {"偶数", EVENPARITY},
      {"ぐうすう", EVENPARITY},
      {"マーク", MARKPARITY},
      {"まーく", MARKPARITY},
      {"MARK", MARKPARITY},
      {"ｍａｒｋ", MARKPARITY},
      {"スペース", SPACEPARITY},
      {"すぺーす", SPACEPARITY},
      {"SPACE", SPACEPARITY},
      {"ＳＰＡＣＥ", SPACEPARITY},
      // No folding, no trimming, no other spelling.
      {"Even", std::nullopt},
      {"NONE", std::nullopt},
      {"none", std::nullopt},
      {"", std::nullopt},
      {"EVEN ", std::nullopt},
      {" odd", std::nullopt},
      {"Odd", std::nullopt},
      {"ＥＶＥＮ ", std::nullopt},
      {"マ－ク", std::nullopt},  // full-width hyphen, not the prolonged sound mark
      {"ﾏｰｸ", std::nullopt},     // half-width katakana
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParityFromText(kelv::Utf8ToSjis(c.utf8)), c.want) << c.utf8;
  }
  // The table holds code page 932 bytes; the UTF-8 spelling is not accepted.
  EXPECT_EQ(ParityFromText("偶数"), std::nullopt);
}

TEST(SerialTables, StopBitTexts) {
  const std::pair<const char*, std::optional<uint8_t>> cases[] = {
      {"1", ONESTOPBIT},     {"1.5", ONE5STOPBITS}, {"2", TWOSTOPBITS},
      {"1.0", std::nullopt}, {"", std::nullopt},    {" 1", std::nullopt},
      {"2.0", std::nullopt}, {"1,5", std::nullopt}, {"15", std::nullopt},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(StopBitsFromText(text), want) << text;
}

TEST(SerialTables, EventMaskFromAssignedHandlers) {
  const TNotifyEvent h = [](TObject*) {};
  struct Case {
    const char* name;
    void (*assign)(Trs232c&, const TNotifyEvent&);
    uint32_t want;
  };
  const Case cases[] = {
      {"none", [](Trs232c&, const TNotifyEvent&) {}, 0},
      {"OnPACKET only", [](Trs232c& p, const TNotifyEvent& f) { p.OnPACKET = f; }, 0x0001},
      {"OnRXCHAR only", [](Trs232c& p, const TNotifyEvent& f) { p.OnRXCHAR = f; }, 0x0001},
      {"dialog: OnRXFLAG + OnPACKET",
       [](Trs232c& p, const TNotifyEvent& f) {
         p.OnRXFLAG = f;
         p.OnPACKET = f;
       },
       0x0003},
      {"life-cycle handlers enable nothing",
       [](Trs232c& p, const TNotifyEvent& f) {
         p.OnOpen = f;
         p.OnClose = f;
         p.OnCreate = f;
       },
       0},
      {"every line event",
       [](Trs232c& p, const TNotifyEvent& f) {
         p.OnBREAK = p.OnCTS = p.OnDSR = p.OnERR = p.OnRING = p.OnRLSD = f;
         p.OnRXCHAR = p.OnRXFLAG = p.OnTXEMPTY = p.OnPACKET = f;
       },
       0x01FF},
      {"modem and error", [](Trs232c& p, const TNotifyEvent& f) { p.OnCTS = p.OnERR = f; },
       EV_CTS | EV_ERR},
  };
  for (const Case& c : cases) {
    Trs232c port(nullptr);
    c.assign(port, h);
    EXPECT_EQ(serialtables::EventMaskFor(port), c.want) << c.name;
  }
}

TEST(SerialTables, PropertiesChangeTheDeviceControlBlock) {
  DeviceControl device;
  device.BaudRate = 1200;
  device.Parity = MARKPARITY;
  device.StopBits = TWOSTOPBITS;
  device.XonLim = 2048;
  device.XoffLim = 512;
  device.XonChar = 0x21;
  device.XoffChar = 0x22;
  device.ErrorChar = 0x23;
  device.EofChar = 0x1A;
  device.EvtChar = 0x24;

  {  // Values the component leaves alone: 0 and unknown texts keep the device's.
    Trs232c p(nullptr);
    p.charbit = 263;
    p.paritymode = "Even";
    p.stopbit = "1.0";
    p.XonChar = 0;
    p.XoffChar = 0;
    p.EvtChar = 0;
    p.flowflag = static_cast<int32_t>(0x80000003u);
    DeviceControl d = device;
    serialtables::ChangeDeviceControl(p, d);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.Parity, MARKPARITY);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
    EXPECT_EQ(d.XonLim, 2048);
    EXPECT_EQ(d.XoffLim, 512);
    EXPECT_EQ(d.XonChar, 0x21);
    EXPECT_EQ(d.XoffChar, 0x22);
    EXPECT_EQ(d.ErrorChar, 0x23);
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(d.EvtChar, 0x24);
    EXPECT_EQ(d.Flags, 0x80000003u);  // all 32 bits
    EXPECT_EQ(d.BaudRate, 9600u);
  }
  {  // The dialog's ISO preset.
    Trs232c p(nullptr);
    p.bps = 4800;
    p.charbit = 7;
    p.paritymode = kelv::Sjis("EVEN");
    p.flowflag = 3;
    p.XonLim = 65537;
    p.XoffLim = -1;
    p.XonChar = 0x11;
    p.XoffChar = 0x13;
    p.EvtChar = 0x12;
    DeviceControl d = device;
    serialtables::ChangeDeviceControl(p, d);
    EXPECT_EQ(d.BaudRate, 4800u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.Parity, EVENPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.XonLim, 1);
    EXPECT_EQ(d.XoffLim, 0xFFFF);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.EvtChar, 0x12);
    EXPECT_EQ(d.Flags, 3u);
  }
}

TEST(SerialTables, FiveTimeouts) {
  Trs232c p(nullptr);
  p.readinterval = 7;
  p.rxtimeout = 250;
  p.txtimeout = 1500;
  const CommTimeouts t = serialtables::TimeoutsFor(p);
  EXPECT_EQ(t.ReadIntervalTimeout, 7u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 250u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1500u);
}

TEST(SerialTables, PortNames) {
  const PortMap map = {{"COM1", "/dev/ttyUSB0"},
                       {"com3", "/dev/serial/by-id/usb-Cnc_Link-if00"},
                       {"CNC", "/dev/ttyACM0"}};
  const std::pair<const char*, const char*> cases[] = {
      {"COM1", "/dev/ttyUSB0"},
      {"com1", "/dev/ttyUSB0"},
      {"COM3", "/dev/serial/by-id/usb-Cnc_Link-if00"},
      {"cnc", "/dev/ttyACM0"},
      {"COM2", "/dev/ttyS1"},
      {"COM7", "/dev/ttyS6"},
      {"Com12", "/dev/ttyS11"},
      {"COM02", "/dev/ttyS1"},
      {"/dev/pts/5", "/dev/pts/5"},
      {"COM1/x", "COM1/x"},  // holds "/": a path, never looked up
      {"COM0", ""},
      {"COM", ""},
      {"COMX", ""},
      {"COM 1", ""},
      {"LPT1", ""},
      {"", ""},
      {"COM99999999999", ""},
  };
  for (const auto& [name, want] : cases) {
    EXPECT_EQ(serialtables::ResolvePortName(name, map), want) << name;
  }
  // Case folding keeps to ASCII: the trail byte of a double-byte character
  // (here 0x5A, 'Z') is not folded, so these two keys differ.
  const PortMap sjis = {{"\x83Z", "/dev/a"}};
  EXPECT_EQ(serialtables::ResolvePortName("\x83z", sjis), "");
  EXPECT_EQ(serialtables::ResolvePortName("\x83Z", sjis), "/dev/a");
}

// Port names on Windows: every form of a name and of a map entry leads to the
// device namespace, where COM10 and above open too.
TEST(SerialTables, WindowsDevicePaths) {
  const PortMap map = {{"COM2", "COM12"},          {"com3:", "\\\\.\\COM13"},
                       {"\\\\.\\COM4", "COM14:"},  {"COM5", "/dev/ttyUSB0"},
                       {"COM6", "\\\\?\\FTDIBUS#VID_0403"}, {"COM7", ""}};
  const std::pair<const char*, const char*> cases[] = {
      {"COM1", "\\\\.\\COM1"},
      {"COM10", "\\\\.\\COM10"},
      {"COM1:", "\\\\.\\COM1"},            // the old device form
      {"\\\\.\\COM1", "\\\\.\\COM1"},      // prefixed already
      {"\\\\.\\COM10:", "\\\\.\\COM10"},
      {"//./COM11", "//./COM11"},
      {"CNCA0", "\\\\.\\CNCA0"},           // names other than COMn are the driver's
      {"COM2", "\\\\.\\COM12"},            // map entries, keys in any case and form
      {"com2", "\\\\.\\COM12"},
      {"COM2:", "\\\\.\\COM12"},
      {"\\\\.\\COM2", "\\\\.\\COM12"},
      {"COM3", "\\\\.\\COM13"},
      {"COM4", "\\\\.\\COM14"},
      {"COM5", "\\\\.\\COM5"},             // a Linux device path is not for Windows
      {"COM6", "\\\\?\\FTDIBUS#VID_0403"},
      {"COM7", ""},                        // mapped to nothing
      {"", ""},
      {":", ""},
  };
  for (const auto& [name, want] : cases) {
    EXPECT_EQ(serialtables::WindowsDevicePath(name, map), want) << name;
  }
}

// The codes with which a Windows queue query fails when the device has gone
// or answers no more; any other failure is not taken for a lost device.
TEST(SerialTables, DeviceLostCodes) {
  for (unsigned long code : {5ul, 21ul, 22ul, 31ul, 55ul, 87ul, 433ul, 995ul, 1167ul, 1617ul}) {
    EXPECT_TRUE(serialtables::DeviceLostCode(code)) << code;
  }
  for (unsigned long code : {0ul, 2ul, 6ul, 997ul, 1460ul}) {
    EXPECT_FALSE(serialtables::DeviceLostCode(code)) << code;
  }
}

}  // namespace
