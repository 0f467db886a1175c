// The line simulator against the receiver's byte step, through a pseudo-terminal
// pair: the sender on one end, the reception logic on the other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ncsend_lib.h"
#include "ncsend_line.h"
#include "reception.h"
#include "tempdir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(20);

struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string name;
  PtyPair() {
    char buf[256] = {};
    if (openpty(&master, &slave, buf, nullptr, nullptr) != 0) return;
    name = buf;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
};

// Waits up to timeout_ms for input and appends what there is.
size_t ReadSome(int fd, Bytes& into, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return 0;
  uint8_t buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) return 0;
  into.insert(into.end(), buf, buf + n);
  return static_cast<size_t>(n);
}

void WriteByte(int fd, uint8_t b) {
  ASSERT_EQ(write(fd, &b, 1), 1);
}

class SenderThread {
 public:
  SenderThread(int fd, Bytes stream, ncsend::SendOptions opt)
      : stream_(std::move(stream)), opt_(std::move(opt)) {
    thread_ = std::thread([this, fd] {
      report_ = ncsend::Send(fd, stream_, opt_);
      done_.store(true);
    });
  }
  ~SenderThread() { Join(); }
  bool Done() const { return done_.load(); }
  const ncsend::SendReport& Join() {
    if (thread_.joinable()) thread_.join();
    return report_;
  }

 private:
  Bytes stream_;
  ncsend::SendOptions opt_;
  ncsend::SendReport report_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The receiving end until the sender is done and all it sent has arrived:
// every batch that holds a DC2 is answered with one DC1, as the program's line
// watcher does.
ncsend::SendReport ReceiveAll(int fd, SenderThread& sender, Bytes& raw) {
  const auto deadline = Clock::now() + kDeadline;
  while (Clock::now() < deadline) {
    const size_t before = raw.size();
    if (ReadSome(fd, raw, 20) > 0 &&
        std::find(raw.begin() + static_cast<long>(before), raw.end(), ncsend::kDC2) != raw.end()) {
      WriteByte(fd, ncsend::kDC1);
    }
    if (sender.Done()) {
      const ncsend::SendReport& r = sender.Join();
      if (raw.size() >= r.bytes + r.dc2_sent) return r;
    }
  }
  ADD_FAILURE() << "the stream did not arrive in time; " << raw.size() << " bytes";
  return sender.Join();
}

// The bytes without the handshake's DC2s (which never stand inside a stream
// that has no DC2 of its own at that place).
Bytes WithoutDc2(const Bytes& b) {
  Bytes out;
  for (uint8_t c : b) {
    if (c != ncsend::kDC2) out.push_back(c);
  }
  return out;
}

std::string ReadSample() {
  std::ifstream in(NCSEND_SAMPLE_DIR "/demo.nc", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t end = text.find('\n', begin);
    lines.push_back(text.substr(begin, end - begin));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  return lines;
}

kelv::ReceptionSettings SettingsFor(int mode, ncsend::Code code) {
  static const char kMarks[4][2] = {{'%', '%'}, {'D', 'D'}, {'N', 'N'}, {'%', 'D'}};
  kelv::ReceptionSettings s;
  s.StartMark = kMarks[mode][0];
  s.EndMark = kMarks[mode][1];
  s.Eia = code == ncsend::Code::Eia;
  return s;
}

struct RoundTrip {
  const char* name;
  int mode;
  ncsend::Code code;
  ncsend::Eol eol;
  bool handshake;
  double cps;
};

TEST(NcsendPty, SampleProgramArrivesLineForLineInEveryModeAndCode) {
  const std::string text = ReadSample();
  const std::vector<std::string> file_lines = SplitLines(text);
  ASSERT_GT(file_lines.size(), 200u);
  ASSERT_EQ(file_lines.front(), "%");
  ASSERT_EQ(file_lines.back(), "%");

  using ncsend::Code;
  using ncsend::Eol;
  const RoundTrip cases[] = {
      {"0 ISO LF, handshake", 0, Code::Iso, Eol::Lf, true, 0},
      {"1 ISO CR LF", 1, Code::Iso, Eol::CrLf, false, 0},
      {"2 ISO, handshake", 2, Code::Iso, Eol::Lf, true, 0},
      {"3 ISO paced", 3, Code::Iso, Eol::CrLf, false, 40000},
      {"0 EIA", 0, Code::Eia, Eol::Lf, false, 0},
      {"1 EIA, handshake", 1, Code::Eia, Eol::Lf, true, 0},
      {"2 EIA", 2, Code::Eia, Eol::Lf, false, 0},
      {"3 EIA, handshake, paced", 3, Code::Eia, Eol::Lf, true, 40000},
  };
  for (const RoundTrip& c : cases) {
    SCOPED_TRACE(c.name);
    ncsend::FrameOptions fo;
    fo.mode = c.mode;
    fo.code = c.code;
    fo.eol = c.eol;
    ncsend::Framed framed;
    ncsend::ProgramError err;
    ASSERT_TRUE(ncsend::EncodeProgram(text, fo, framed, err)) << err.message;

    PtyPair pty;
    ASSERT_GE(pty.master, 0);
    ncsend::SendOptions so;
    so.handshake = c.handshake;
    so.cps = c.cps;
    so.timeout_ms = 10000;
    SenderThread sender(pty.master, framed.bytes, so);
    Bytes raw;
    const ncsend::SendReport r = ReceiveAll(pty.slave, sender, raw);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, framed.bytes.size());
    EXPECT_EQ(c.handshake, r.dc2_sent > 0);

    // Byte for byte: the handshake DC2s, then the framed stream.
    ASSERT_GE(raw.size(), r.dc2_sent);
    EXPECT_TRUE(std::all_of(raw.begin(), raw.begin() + static_cast<long>(r.dc2_sent),
                            [](uint8_t b) { return b == ncsend::kDC2; }));
    EXPECT_EQ(Bytes(raw.begin() + static_cast<long>(r.dc2_sent), raw.end()), framed.bytes);

    kelv::Reception rx(SettingsFor(c.mode, c.code));
    for (uint8_t b : raw) {
      if (rx.Step(b).finished) break;
    }
    EXPECT_EQ(rx.Finished(), c.mode != 2);  // forced receive has no end marker
    rx.FinishRun();
    std::vector<std::string> want = file_lines;
    if (c.mode == 2) want.front() = "";  // bytes before the first LF are not taken
    EXPECT_EQ(rx.Lines(), want);
  }
}

struct FlowCase {
  const char* name;
  size_t overrun;
  bool handshake;  // resumed by answering the sender's DC2, not by a DC1 of our own
};

// A program far larger than a pseudo-terminal holds, so that the DC3 always
// arrives while the sender still has most of it to send.
std::string LargeProgram() {
  std::string text = "%\nO2000\n";
  for (int i = 0; i < 40000; ++i) text += "G01 X" + std::to_string(i) + ".\n";
  return text + "M30\n%\n";
}

TEST(NcsendPty, StopsOnDc3AndResumesOnDc1) {
  const std::string text = LargeProgram();
  ncsend::FrameOptions fo;
  ncsend::Framed framed;
  ncsend::ProgramError err;
  ASSERT_TRUE(ncsend::EncodeProgram(text, fo, framed, err)) << err.message;
  ASSERT_EQ(std::count(framed.bytes.begin(), framed.bytes.end(), ncsend::kDC2), 0);

  const FlowCase cases[] = {
      {"resumed by DC1", 0, false},
      {"overrun of 5, resumed through the DC2 request", 5, true},
  };
  for (const FlowCase& c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair pty;
    ASSERT_GE(pty.master, 0);
    std::atomic<bool> stopped{false};
    std::atomic<uint64_t> stop_at{0};
    std::atomic<uint64_t> stop_after{0};
    ncsend::SendOptions so;
    so.chunk = 16;
    so.overrun = c.overrun;
    so.handshake = c.handshake;
    so.timeout_ms = 10000;
    so.on_stop = [&](const ncsend::Dc3Stop& s) {
      stop_at.store(s.at);
      stop_after.store(s.after);
      stopped.store(true);
    };
    SenderThread sender(pty.master, framed.bytes, so);
    const auto deadline = Clock::now() + kDeadline;

    // Take the handshake and a few thousand characters, then stop the line,
    // twice in a row as a receiver with a full queue may.
    Bytes raw;
    bool answered = false;
    while (WithoutDc2(raw).size() < 3000 && Clock::now() < deadline) {
      ReadSome(pty.slave, raw, 20);
      if (c.handshake && !answered && !raw.empty()) {
        WriteByte(pty.slave, ncsend::kDC1);
        answered = true;
      }
    }
    WriteByte(pty.slave, ncsend::kDC3);
    WriteByte(pty.slave, ncsend::kDC3);
    while (!stopped.load() && Clock::now() < deadline) ReadSome(pty.slave, raw, 20);
    ASSERT_TRUE(stopped.load());
    EXPECT_GE(stop_at.load(), 3000u);
    EXPECT_EQ(stop_after.load(), c.overrun);

    // Exactly what was sent up to the stop arrives, and then nothing.
    const size_t sent = stop_at.load() + stop_after.load();
    while (WithoutDc2(raw).size() < sent && Clock::now() < deadline) ReadSome(pty.slave, raw, 20);
    const size_t dc2_before = raw.size() - WithoutDc2(raw).size();
    ASSERT_EQ(WithoutDc2(raw).size(), sent);
    if (c.handshake) {
      // The stopped sender asks with DC2; only an answer lets it go on.
      while (raw.size() - WithoutDc2(raw).size() == dc2_before && Clock::now() < deadline) {
        ReadSome(pty.slave, raw, 20);
      }
      ASSERT_EQ(WithoutDc2(raw).size(), sent) << "sent on before the DC2 was answered";
    } else {
      Bytes extra;
      EXPECT_EQ(ReadSome(pty.slave, extra, 0), 0u);
    }
    WriteByte(pty.slave, ncsend::kDC1);

    const ncsend::SendReport r = ReceiveAll(pty.slave, sender, raw);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(WithoutDc2(raw), framed.bytes);
    EXPECT_EQ(static_cast<size_t>(std::count(raw.begin(), raw.end(), ncsend::kDC2)), r.dc2_sent);
    EXPECT_EQ(r.dc3, 2u);
    ASSERT_EQ(r.stops.size(), 1u);
    EXPECT_EQ(r.stops[0].at, stop_at.load());
    EXPECT_EQ(r.stops[0].after, c.overrun);
    EXPECT_TRUE(r.stops[0].resumed);
  }
}

TEST(NcsendPty, HandshakeWithoutAnswerTimesOutSendingNothingElse) {
  PtyPair pty;
  ASSERT_GE(pty.master, 0);
  ncsend::SendOptions so;
  so.handshake = true;
  so.timeout_ms = 700;
  const ncsend::SendReport r = ncsend::Send(pty.master, {'%', '\n', 'O', '1', '\n'}, so);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("no DC1 within 0.7 s"), std::string::npos) << r.error;
  EXPECT_EQ(r.bytes, 0u);
  Bytes raw;
  while (ReadSome(pty.slave, raw, 200) > 0) {
  }
  EXPECT_GE(raw.size(), 1u);
  EXPECT_EQ(raw.size(), r.dc2_sent);
  EXPECT_TRUE(WithoutDc2(raw).empty());
}

TEST(NcsendPty, HungUpLineIsAFailure) {
  PtyPair pty;
  ASSERT_GE(pty.master, 0);
  close(pty.master);
  pty.master = -1;
  const ncsend::SendReport r = ncsend::Send(pty.slave, Bytes(100, 'X'), ncsend::SendOptions{});
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("hung up"), std::string::npos) << r.error;
  EXPECT_EQ(r.bytes, 0u);
}

using testfs::TempDir;

TEST(NcsendPty, OpensOnlyPseudoTerminalsUnlessAskedTo) {
  PtyPair pty;
  ASSERT_GE(pty.master, 0);
  TempDir dir;
  const std::string plain = dir.File("plain");
  std::ofstream(plain) << "x";

  const struct {
    std::string path;
    bool real_port;
    std::string says;  // empty: opens
  } cases[] = {
      {pty.name, false, ""},
      {"/dev/null", false, "is not a pseudo-terminal"},
      {"/dev/null", true, "is not a terminal device"},  // opened, then found not a tty
      {plain, true, "is not a terminal device"},
      {dir.File("missing"), false, "cannot open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    const int fd = ncsend::OpenLine(c.path, c.real_port, error);
    if (c.says.empty()) {
      EXPECT_GE(fd, 0) << error;
      EXPECT_TRUE(ncsend::IsPseudoTerminal(c.path));
    } else {
      EXPECT_LT(fd, 0);
      EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    if (fd >= 0) close(fd);
  }
}

TEST(NcsendPty, MadeLineIsLinkedAndTheLinkGoesWithIt) {
  TempDir dir;
  const std::string link = dir.File("ttyNC");
  ASSERT_EQ(symlink("/nowhere", link.c_str()), 0);  // a stale link from an earlier run

  ncsend::Pty p;
  std::string error;
  ASSERT_TRUE(ncsend::MakePty(link, p, error)) << error;
  EXPECT_TRUE(ncsend::IsPseudoTerminal(link));

  // The far end answers through the link; nothing is echoed back.
  std::string open_error;
  const int far = ncsend::OpenLine(link, false, open_error);
  ASSERT_GE(far, 0) << open_error;
  ASSERT_EQ(write(p.master, "G01\n", 4), 4);
  Bytes got;
  while (got.size() < 4 && ReadSome(far, got, 2000) > 0) {
  }
  EXPECT_EQ(got, (Bytes{'G', '0', '1', '\n'}));
  Bytes echo;
  fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
  EXPECT_EQ(ReadSome(p.master, echo, 0), 0u);
  close(far);

  ncsend::ClosePty(p);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);

  // A file that is not a link is never replaced.
  std::ofstream(link) << "keep";
  ncsend::Pty q;
  EXPECT_FALSE(ncsend::MakePty(link, q, error));
  EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
}

// --wait-open: the simulator lets its end go and starts once a receiver has
// opened the line; with nobody there it gives up after its time-out.
TEST(NcsendPty, WaitsForTheReceiverToOpenTheLine) {
  TempDir dir;
  const std::string link = dir.File("ttyNC");
  ncsend::Pty p;
  std::string error;
  ASSERT_TRUE(ncsend::MakePty(link, p, error)) << error;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(ncsend::AwaitOpener(p, 200, nullptr, error));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  EXPECT_NE(error.find("nobody opened the line"), std::string::npos) << error;

  std::atomic<int> far{-1};
  std::thread receiver([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string open_error;
    far = ncsend::OpenLine(link, false, open_error);
  });
  EXPECT_TRUE(ncsend::AwaitOpener(p, 5000, nullptr, error)) << error;
  receiver.join();
  ASSERT_GE(far.load(), 0);
  close(far);
  ncsend::ClosePty(p);
}

}  // namespace
