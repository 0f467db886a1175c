// Long runs under load, left out of the default suite (label "soak"): a hundred
// programs received back to back from the line simulator's sending code at
// flat-out speed while the window stalls at random, and garbage at the wrong
// baud rate for minutes. Figures are printed for the record.
//
//   ctest --test-dir <build> -L soak --output-on-failure -V
//
// KELV_SOAK_PROGRAMS (default 100) and KELV_SOAK_GARBAGE_S (seconds per
// garbage run, default 60) change the length.
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "ncsend_lib.h"
#include "ncsend_line.h"
#include "rx_harness.h"

namespace {

using namespace rxharness;

int EnvInt(const char* name, int def) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : def;
}

// An NC program of about `size` bytes, framed as the mode needs it in the text
// itself, so that "Rx.nc" must hold exactly this text with CR LF line ends.
std::string MakeProgram(std::mt19937& rng, int mode, size_t size) {
  auto r = [&rng](unsigned below) { return static_cast<unsigned>(rng() % below); };
  std::string body;
  char buf[96];
  std::snprintf(buf, sizeof buf, "O%04u\n", r(10000));
  body += buf;
  for (unsigned n = 1; body.size() < size; ++n) {
    const unsigned g = r(4), x = r(1000), xf = r(1000), y = r(500), yf = r(1000), z = r(100);
    const unsigned f = 100 + r(3000);
    std::snprintf(buf, sizeof buf, "N%05u G0%u X%u.%03u Y-%u.%03u Z%u. F%u\n", n, g, x, xf, y, yf,
                  z, f);
    body += buf;
  }
  body += "M30\n";
  switch (mode) {
    case 0:
      return "%\n" + body + "%\n";
    case 2:
      return "\n" + body;  // the first line end starts the run with an empty line
    case 3:
      return "%\n" + body;
    default:
      return body;
  }
}

class Soak : public GarbageHarness {};

TEST_F(Soak, HundredProgramsBackToBackWithWindowStalls) {
  const int programs = EnvInt("KELV_SOAK_PROGRAMS", 100);
  std::mt19937 rng(7);
  collect_ = false;  // the sender reads the dialog's answers itself
  deadline_ms_ = 300000;

  uint64_t total_bytes = 0, dc1 = 0, dc3 = 0, stops = 0, stalls = 0;
  double sending_s = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < programs; ++i) {
    const int mode = i % 4;
    const int code = (i / 4) % 2;
    const std::string text = MakeProgram(rng, mode, 1000 + rng() % 250000);
    ncsend::FrameOptions frame;
    frame.mode = mode;
    frame.code = code == 1 ? ncsend::Code::Eia : ncsend::Code::Iso;
    ncsend::Framed framed;
    ncsend::ProgramError error;
    ASSERT_TRUE(ncsend::EncodeProgram(text, frame, framed, error)) << error.message;
    if (mode == 0) {
      // The run stops reading at the closing "%"; what follows would only
      // leave the sender waiting on a line that is gone.
      const uint8_t pct = code == 1 ? 0x0B : '%';
      while (framed.bytes.back() != pct) framed.bytes.pop_back();
    }

    WriteIni(mode, code);
    TRXDlg& d = Make();
    ncsend::SendReport report;
    std::atomic<bool> done{false};
    std::thread sender;
    std::vector<Step> script{Until([this] { return Open(); }), Do([&] {
                               sender = std::thread([&] {
                                 ncsend::SendOptions opt;
                                 opt.chunk = 4096;
                                 opt.timeout_ms = 60000;
                                 report = ncsend::Send(line_.fd(), framed.bytes, opt);
                                 done = true;
                               });
                             })};
    // The window stalls now and then while the program flows, so the queue
    // fills and the control is held with DC3 and let go with DC1.
    auto next_stall = std::make_shared<std::chrono::steady_clock::time_point>();
    script.push_back([&, next_stall] {
      if (done) return true;
      const auto now = std::chrono::steady_clock::now();
      if (now >= *next_stall) {
        if (next_stall->time_since_epoch().count() != 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 181));
          ++stalls;
        }
        *next_stall = now + std::chrono::milliseconds(rng() % 300);
      }
      return false;
    });
    if (mode == 2) {
      // No end marker: once every line has been counted, the operator cancels.
      const std::string all = kelv::ReceivingText(static_cast<int64_t>(framed.lines));
      script.push_back(Until([&d, all] { return Text(d.Label1) == all; }));
      script.push_back(ClickCancel());
    }
    Run(std::move(script));
    if (sender.joinable()) sender.join();

    EXPECT_TRUE(report.ok) << "program " << i << ": " << report.error;
    EXPECT_EQ(report.bytes, framed.bytes.size()) << "program " << i;
    for (const ncsend::Dc3Stop& s : report.stops) EXPECT_TRUE(s.resumed) << "program " << i;
    const std::string want = CrLf(text);
    const std::string got = ReadFile(RxPath());
    EXPECT_TRUE(got == want) << "program " << i << " (mode " << mode << ", code " << code
                             << "): Rx.nc differs, " << got.size() << " bytes for " << want.size();
    if (mode != 2) {
      EXPECT_EQ(Text(d.Label1), kelv::EndText(true, 0)) << "program " << i;
    }
    total_bytes += framed.bytes.size();
    dc1 += report.dc1;
    dc3 += report.dc3;
    stops += report.stops.size();
    sending_s += report.seconds;
    if (::testing::Test::HasFailure()) break;
  }
  const double total_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf(
      "soak: %d programs, %llu bytes in %.1f s (%.2f MB/s overall, %.2f MB/s while sending), "
      "%llu window stalls, %llu DC3 (%llu stops), %llu DC1, max RSS %ld KiB\n",
      programs, static_cast<unsigned long long>(total_bytes), total_s,
      static_cast<double>(total_bytes) / 1e6 / total_s,
      static_cast<double>(total_bytes) / 1e6 / sending_s, static_cast<unsigned long long>(stalls),
      static_cast<unsigned long long>(dc3), static_cast<unsigned long long>(stops),
      static_cast<unsigned long long>(dc1), ru.ru_maxrss);
}

class SoakGarbage : public GarbageHarness, public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(SoakGarbage, ForMinutesMemoryStaysBoundedAndCancelIsAnswered) {
  deadline_ms_ = 3600000;
  FlowGarbage(GetParam(), EnvInt("KELV_SOAK_GARBAGE_S", 60) * 1000);
}

INSTANTIATE_TEST_SUITE_P(Soak, SoakGarbage,
                         ::testing::Values(GarbageCase{"Mode2Lines", 2, 0, 40, true},
                                           GarbageCase{"Mode2NoLineEnd", 2, 0, 0, true},
                                           GarbageCase{"Mode0OneLongLine", 0, 0, 0, false}),
                         [](const ::testing::TestParamInfo<GarbageCase>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
