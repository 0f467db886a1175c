// ncsend: plays a CNC control punching a program out over a serial line, so
// that the receiver can be tried and measured without a machine.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ncsend_lib.h"
#include "ncsend_line.h"
#include "presets.h"
#include "serialtables.h"

namespace {

constexpr int kExitLine = 1;
constexpr int kExitUsage = 2;

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnSignal(int) {
  g_interrupted = 1;
}

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "ncsend: %s\n", message.c_str());
  return code;
}

bool ReadFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Line ends among the first n characters of the stream.
size_t LinesSent(const std::vector<uint8_t>& stream, uint64_t n, ncsend::Code code) {
  const uint8_t eol = code == ncsend::Code::Iso ? 0x0A : 0x80;
  return static_cast<size_t>(
      std::count(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n), eol));
}

void PrintSummary(const ncsend::SendReport& r, const ncsend::Framed& framed, ncsend::Code code) {
  const double cps = r.seconds > 0 ? static_cast<double>(r.bytes) / r.seconds : 0;
  if (r.ok) {
    std::printf("ncsend: sent %llu characters, %zu lines in %.3f s (%.0f cps)\n",
                static_cast<unsigned long long>(r.bytes), framed.lines, r.seconds, cps);
  } else {
    std::printf("ncsend: sent only %llu of %zu characters, %zu of %zu lines\n",
                static_cast<unsigned long long>(r.bytes), framed.bytes.size(),
                LinesSent(framed.bytes, r.bytes, code), framed.lines);
  }
  if (r.dc2_sent) {
    std::printf("ncsend: handshake: %llu DC2, ", static_cast<unsigned long long>(r.dc2_sent));
    if (r.handshake_answered) {
      std::printf("answered after %.3f s\n", r.handshake_s);
    } else {
      std::printf("not answered\n");
    }
  }
  std::printf("ncsend: flow: %llu DC3, %llu DC1 received\n", static_cast<unsigned long long>(r.dc3),
              static_cast<unsigned long long>(r.dc1));
  for (size_t i = 0; i < r.stops.size(); ++i) {
    const ncsend::Dc3Stop& s = r.stops[i];
    std::printf("ncsend: DC3 %zu at character %llu: %llu more sent after it, ", i + 1,
                static_cast<unsigned long long>(s.at), static_cast<unsigned long long>(s.after));
    if (s.resumed) {
      std::printf("resumed by DC1 after %.3f s\n", s.paused_s);
    } else {
      std::printf("not resumed\n");
    }
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  ncsend::Options o;
  std::string error;
  if (!ncsend::ParseArgs(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
    std::fprintf(stderr, "ncsend: %s (--help shows the usage)\n", error.c_str());
    return kExitUsage;
  }
  if (o.help) {
    std::fputs(ncsend::UsageText().c_str(), stdout);
    return 0;
  }

  std::string text;
  if (!ReadFile(o.program, text)) return Fail(kExitUsage, "cannot read " + o.program);
  ncsend::Framed framed;
  ncsend::ProgramError perr;
  if (!ncsend::EncodeProgram(text, o.frame, framed, perr)) {
    return Fail(kExitUsage, o.program + ": " + perr.message + "; nothing sent");
  }
  if (o.dump) {
    return WriteAll(STDOUT_FILENO, framed.bytes) ? 0 : Fail(kExitLine, "cannot write the stream");
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGHUP, OnSignal);

  ncsend::Pty pty;
  int fd = -1;
  std::string where;
  if (!o.pty_link.empty()) {
    if (!ncsend::MakePty(o.pty_link, pty, error)) return Fail(kExitLine, error);
    fd = pty.master;
    where = o.pty_link;
    std::fprintf(stderr, "ncsend: line ready: %s -> %s\n", o.pty_link.c_str(), pty.name.c_str());
  } else {
    PortMap map;
    if (!o.ports_ini.empty()) map = kelv::LoadPortMap(o.ports_ini);
    const std::string path = serialtables::ResolvePortName(o.device, map);
    if (path.empty()) return Fail(kExitLine, "no device for the port name " + o.device);
    fd = ncsend::OpenLine(path, o.real_port, error);
    if (fd < 0) return Fail(kExitLine, error);
    where = path;
  }

  if (o.wait_open) {
    if (!o.quiet) std::fprintf(stderr, "ncsend: waiting for the receiver to open the line\n");
    if (!ncsend::AwaitOpener(pty, o.timeout_ms, &g_interrupted, error)) {
      ncsend::ClosePty(pty);
      return Fail(kExitLine, error);
    }
    std::fprintf(stderr, "ncsend: the receiver opened the line\n");
  }

  std::vector<std::string> warnings;
  if (pty.master < 0) ncsend::ConfigureLine(fd, o.baud, o.line, warnings);
  for (const std::string& w : warnings)
    std::fprintf(stderr, "ncsend: %s: %s\n", where.c_str(), w.c_str());

  ncsend::SendOptions so;
  so.cps = o.flat_out ? 0 : ncsend::CharsPerSecond(o.baud, o.line);
  so.chunk = o.chunk;
  so.overrun = o.overrun;
  so.ignore_dc3 = o.ignore_dc3;
  so.handshake = o.handshake;
  so.timeout_ms = o.timeout_ms;
  so.linger_ms = o.linger_ms;
  so.interrupted = &g_interrupted;
  if (!o.quiet) {
    so.on_stop = [](const ncsend::Dc3Stop& s) {
      std::fprintf(stderr, "ncsend: DC3 at character %llu: stopped, %llu more sent after it\n",
                   static_cast<unsigned long long>(s.at), static_cast<unsigned long long>(s.after));
    };
    so.on_resume = [](const ncsend::Dc3Stop& s) {
      std::fprintf(stderr, "ncsend: DC1: resumed after %.3f s\n", s.paused_s);
    };
  }
  if (o.handshake && !o.quiet) std::fprintf(stderr, "ncsend: waiting for DC1 (DC2 handshake)\n");

  const ncsend::SendReport r = ncsend::Send(fd, framed.bytes, so);
  if (pty.master >= 0) {
    ncsend::ClosePty(pty);
  } else {
    close(fd);
  }
  PrintSummary(r, framed, o.frame.code);
  if (!r.ok) return Fail(kExitLine, where + ": " + r.error);
  return 0;
}
