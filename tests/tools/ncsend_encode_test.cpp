// The line simulator's encoding, framing, frame arithmetic and command line.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "eia.h"
#include "ncsend_lib.h"

namespace {

using ncsend::Code;
using ncsend::EncodeProgram;
using ncsend::Eol;
using ncsend::Framed;
using ncsend::FrameOptions;
using ncsend::ProgramError;
using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

FrameOptions Opt(int mode, Code code = Code::Iso, Eol eol = Eol::Lf, int leader = -1) {
  FrameOptions o;
  o.mode = mode;
  o.code = code;
  o.eol = eol;
  o.leader = leader;
  return o;
}

bool IsLineControl(int c) {
  return c == 0x0A || c == 0x0D || (c >= 0x11 && c <= 0x14);
}

// Every character the receiver's table can produce is sent as the one code that
// decodes back to it, and every character it cannot produce is refused.
TEST(NcsendEncode, EiaEncodingIsTheInverseOfTheReceiversTable) {
  std::vector<bool> decodable(256, false);
  for (int e = 0; e < 256; ++e) {
    const uint8_t iso = kelv::EiaToIso(static_cast<uint8_t>(e));
    if (iso != 0x10) decodable[iso] = true;
  }
  int encodable = 0;
  for (int c = 0; c < 256; ++c) {
    if (IsLineControl(c)) continue;  // line ends and line signals are never text
    SCOPED_TRACE(c);
    Framed f;
    ProgramError err;
    const std::string text = std::string("G") + static_cast<char>(c) + "\n";
    const bool ok = EncodeProgram(text, Opt(2, Code::Eia, Eol::Lf, 0), f, err);
    ASSERT_EQ(ok, static_cast<bool>(decodable[c])) << err.message;
    if (!ok) {
      EXPECT_EQ(err.line, 1u);
      EXPECT_EQ(err.column, 2u);
      continue;
    }
    ++encodable;
    ASSERT_EQ(f.bytes.size(), 3u);
    EXPECT_EQ(kelv::EiaToIso(f.bytes[0]), 'G');
    EXPECT_EQ(kelv::EiaToIso(f.bytes[1]), c);
    EXPECT_EQ(f.bytes[2], 0x80);  // end of block
  }
  // NUL, 10 digits, 26 letters, 9 signs, space, TAB, BS.
  EXPECT_EQ(encodable, 49);
}

TEST(NcsendEncode, SampleStyleProgramDecodesBackLineForLine) {
  const std::string text = "%\nO1001 (DEMO, SIDE A/B & C)\nG90 G00 X-12.5 Y+3.\n\tM30\n%\n";
  Framed f;
  ProgramError err;
  ASSERT_TRUE(EncodeProgram(text, Opt(0, Code::Eia), f, err)) << err.message;
  std::string decoded;
  for (uint8_t b : f.bytes) decoded += static_cast<char>(kelv::EiaToIso(b));
  EXPECT_EQ(decoded, text);
  EXPECT_EQ(f.lines, 5u);
}

struct FrameCase {
  const char* name;
  FrameOptions opt;
  std::string text;
  Bytes want;
  size_t lines;
};

TEST(NcsendEncode, FramesEachStartMode) {
  const uint8_t DC2 = 0x12, DC4 = 0x14;
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const FrameCase cases[] = {
      {"0: the program's own markers", Opt(0), "%\nO1\nG1X2\n%\n", B("%\nO1\nG1X2\n%\n"), 4},
      {"0: CR LF in, CR LF out", Opt(0, Code::Iso, Eol::CrLf), "%\r\nO1\r\n%\r\n",
       B("%\r\nO1\r\n%\r\n"), 3},
      {"0: CR LF in, LF out", Opt(0), "%\r\nO1\r\n%\r\n", B("%\nO1\n%\n"), 3},
      {"0: markers added, last line without LF", Opt(0), "O1\nG1", B("%\nO1\nG1\n%\n"), 4},
      {"1: DC2 .. DC4 after the leader", Opt(1, Code::Iso, Eol::Lf, 3), "O1\n",
       cat({B(std::string(3, '\0')), {DC2}, B("O1\n"), {DC4}}), 1},
      {"1: a % is text", Opt(1), "%\nO1\n%\n", cat({{DC2}, B("%\nO1\n%\n"), {DC4}}), 3},
      {"2: forced receive, default leader", Opt(2), "%\nO1\n",
       cat({Bytes(ncsend::kForcedLeader, 0), B("%\nO1\n")}), 2},
      {"2: no leader asked", Opt(2, Code::Iso, Eol::Lf, 0), "O1\n", B("O1\n"), 1},
      {"3: leading % added, a later % stays", Opt(3), "O1\n%\n", cat({B("%\nO1\n%\n"), {DC4}}), 3},
      {"0 EIA", Opt(0, Code::Eia), "%\nO1\n%\n", {0x0B, 0x80, 0x46, 0x01, 0x80, 0x0B, 0x80}, 3},
      {"1 EIA", Opt(1, Code::Eia), "G1\n", {DC2, 0x67, 0x01, 0x80, DC4}, 1},
      // The digit 3 is 0x13 in EIA, the same byte as DC3 in ISO.
      {"3 EIA with leader",
       Opt(3, Code::Eia, Eol::Lf, 2),
       "%\nX3\n",
       {0x00, 0x00, 0x0B, 0x80, 0x37, 0x13, 0x80, DC4},
       2},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    Framed f;
    ProgramError err;
    ASSERT_TRUE(EncodeProgram(c.text, c.opt, f, err)) << err.message;
    EXPECT_EQ(f.bytes, c.want);
    EXPECT_EQ(f.lines, c.lines);
  }
}

struct ErrorCase {
  const char* name;
  FrameOptions opt;
  std::string text;
  size_t line;
  size_t column;
  std::string says;
};

TEST(NcsendEncode, RefusesWhatCannotBeSentNamingThePlace) {
  const ErrorCase cases[] = {
      {"lower case in EIA", Opt(0, Code::Eia), "%\nG01 X1\nG01 x2\n%\n", 3, 5,
       "line 3, column 5: 'x' (0x78) has no EIA code"},
      {"hash in EIA", Opt(1, Code::Eia), "O1\nM98 #1\n", 2, 5, "'#' (0x23) has no EIA code"},
      {"colon in EIA", Opt(1, Code::Eia), ":1234\n", 1, 1, "':' (0x3A) has no EIA code"},
      {"8-bit byte in ISO", Opt(1), "G01\n(\xB1)\n", 2, 2, "byte 0xB1 is not 7-bit ASCII"},
      {"DC3 in the text", Opt(1), "G01\x13X1\n", 1, 4, "DC3 (0x13) in the program"},
      {"DC4 in the text", Opt(2, Code::Eia), "G01\nX\x14\n", 2, 2, "DC4 (0x14)"},
      {"% inside in mode 0", Opt(0), "%\nO1 (50%)\n%\n", 2, 7, "would end the transfer early"},
      {"% at a line start inside, mode 0", Opt(0), "%\nO1\n%\nO2\n%\n", 3, 1,
       "would end the transfer early"},
      {"stray CR", Opt(1), "O1\rG1\n", 1, 3, "CR inside a line"},
      {"empty file", Opt(0), "", 0, 0, "the program is empty"},
      {"only line ends", Opt(1), "\n\r\n\n", 0, 0, "the program is empty"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Framed f;
    f.bytes = {0xAA};
    ProgramError err;
    ASSERT_FALSE(EncodeProgram(c.text, c.opt, f, err));
    EXPECT_EQ(err.line, c.line);
    EXPECT_EQ(err.column, c.column);
    EXPECT_NE(err.message.find(c.says), std::string::npos) << err.message;
    EXPECT_EQ(f.bytes, Bytes{0xAA});  // nothing half encoded
  }
}

TEST(NcsendEncode, PercentInsideIsFineWhereItEndsNothing) {
  for (int mode : {1, 2, 3}) {
    SCOPED_TRACE(mode);
    Framed f;
    ProgramError err;
    EXPECT_TRUE(EncodeProgram("%\nO1 (50%)\n%\n", Opt(mode), f, err)) << err.message;
  }
}

TEST(NcsendFrame, CharactersPerSecond) {
  const struct {
    const char* frame;
    uint32_t baud;
    double cps;
  } ok[] = {
      {"7E2", 9600, 9600.0 / 11}, {"8O1", 9600, 9600.0 / 11}, {"7E1", 9600, 960},
      {"8N1", 38400, 3840},       {"8n2", 4400, 400},         {"5N1.5", 110, 110 / 7.5},
  };
  for (const auto& c : ok) {
    SCOPED_TRACE(c.frame);
    ncsend::LineFrame f;
    ASSERT_TRUE(ncsend::ParseFrame(c.frame, f));
    EXPECT_DOUBLE_EQ(ncsend::CharsPerSecond(c.baud, f), c.cps);
  }
  for (const char* bad : {"", "7E", "9E1", "4N1", "7X1", "7E3", "8N1.5", "7E1x", "E71"}) {
    SCOPED_TRACE(bad);
    ncsend::LineFrame f;
    EXPECT_FALSE(ncsend::ParseFrame(bad, f));
  }
}

struct ArgCase {
  std::vector<std::string> args;
  std::string error;  // empty: accepted
  std::function<bool(const ncsend::Options&)> check;
};

TEST(NcsendArgs, ParsesAndRefuses) {
  using ncsend::Options;
  const ArgCase cases[] = {
      {{"COM1", "p.nc"},
       "",
       [](const Options& o) {
         return o.device == "COM1" && o.program == "p.nc" && o.frame.mode == 0 &&
                o.frame.code == Code::Iso && o.baud == 9600 && o.line.data_bits == 7 &&
                o.line.parity == 'E' && o.line.stop_halves == 2 && !o.flat_out;
       }},
      {{"--code", "eia", "/dev/pts/3", "p.nc"},
       "",
       [](const Options& o) { return o.line.data_bits == 8 && o.line.parity == 'O'; }},
      {{"--pty", "/tmp/line", "--handshake", "--timeout=0.7", "p.nc"},
       "",
       [](const Options& o) {
         return o.device.empty() && o.pty_link == "/tmp/line" && o.handshake && o.timeout_ms == 700;
       }},
      {{"--mode", "2", "--leader", "0", "--flat-out", "--frame", "8N1", "d", "p"},
       "",
       [](const Options& o) {
         return o.frame.mode == 2 && o.frame.leader == 0 && o.flat_out && o.line.parity == 'N';
       }},
      {{"--flat-out", "--ignore-dc3", "d", "p"},
       "",
       [](const Options& o) { return o.flat_out && o.ignore_dc3 && !o.handshake; }},
      {{"--code=eia", "--eol", "crlf", "d", "p"}, "EIA has no CR", nullptr},
      {{"--code", "eia", "--frame", "7E1", "d", "p"}, "8 data bits", nullptr},
      {{"--timeout", "1.2345", "d", "p"}, "--timeout", nullptr},
      {{"d", "p", "--leader"}, "needs a value", nullptr},
      {{"--pty", "/tmp/line", "d", "p"}, "one argument", nullptr},
      {{"p"}, "two arguments", nullptr},
      {{"--dump", "--pty", "/tmp/line", "p"}, "exclude", nullptr},
      {{"--pty", "/tmp/line", "--handshake", "--wait-open", "p"},
       "",
       [](const Options& o) { return o.wait_open && o.handshake; }},
      {{"--wait-open", "d", "p"}, "needs --pty", nullptr},
  };
  for (const ArgCase& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    Options o;
    std::string error;
    const bool ok = ncsend::ParseArgs(c.args, o, error);
    if (c.error.empty()) {
      ASSERT_TRUE(ok) << error;
      EXPECT_TRUE(c.check(o));
    } else {
      ASSERT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

}  // namespace
