// Loaded into KelvRx by the benchmark (LD_PRELOAD), never linked into it.
//
// SIGUSR1 stalls the user-interface thread (the main thread) for KELV_STALL_MS
// milliseconds while the other threads go on, as a slow repaint or a stuck
// handler would; the serial reader keeps filling the input queue meanwhile.
// The times, CLOCK_MONOTONIC in nanoseconds, are appended to KELV_STALL_LOG:
//   stall <begin> <end>   one stall
//   pass <t>              the first message processing of the user-interface
//                         thread after it (or the end of the stall, when the
//                         stall hit that thread inside its message processing)
//   dc1 <t>, dc3 <t>      the program writes a DC1 or DC3 to a terminal
// The benchmark takes its answer times from here, not from when its own reads
// wake up, so a busy machine delays the figures less.
// Without both variables the library does nothing.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

int g_log = -1;
long g_stall_ms = 0;
volatile sig_atomic_t g_armed = 0;        // a stall ended; note the next pass
volatile sig_atomic_t g_in_messages = 0;  // the main thread is in processEvents

int64_t Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool OnMainThread() {
  return syscall(SYS_gettid) == getpid();
}

// Formats without the C library's locale machinery: this runs in a signal handler.
char* Put(char* p, const char* s) {
  while (*s) *p++ = *s++;
  return p;
}

char* Put(char* p, int64_t v) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

// Straight to the kernel: write() itself is wrapped below.
void Write(const char* begin, const char* end) {
  if (g_log >= 0) (void)!syscall(SYS_write, g_log, begin, static_cast<size_t>(end - begin));
}

void OnStallSignal(int) {
  const int saved = errno;
  if (!OnMainThread()) {
    // A signal for the process may land on any thread; the stall is the main one's.
    syscall(SYS_tgkill, getpid(), getpid(), SIGUSR1);
    errno = saved;
    return;
  }
  const int64_t begin = Now();
  timespec left{g_stall_ms / 1000, (g_stall_ms % 1000) * 1000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  const int64_t end = Now();
  char line[96];
  char* p = Put(Put(Put(Put(Put(line, "stall "), begin), " "), end), "\n");
  if (g_in_messages) {
    p = Put(Put(Put(p, "pass "), end), "\n");
  } else {
    g_armed = 1;
  }
  Write(line, p);
  errno = saved;
}

__attribute__((constructor)) void Init() {
  const char* log = std::getenv("KELV_STALL_LOG");
  const char* ms = std::getenv("KELV_STALL_MS");
  if (!log || !ms) return;
  g_log = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  g_stall_ms = std::atol(ms);
  struct sigaction sa {};
  sa.sa_handler = OnStallSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR1, &sa, nullptr);
}

}  // namespace

// Takes the place of the toolkit's own (the program calls it once per polling
// pass, to process its pending messages) and then calls that.
void QCoreApplication::processEvents(QEventLoop::ProcessEventsFlags flags) {
  using Real = void (*)(QEventLoop::ProcessEventsFlags);
  static const Real real = reinterpret_cast<Real>(dlvsym(
      RTLD_NEXT, "_ZN16QCoreApplication13processEventsE6QFlagsIN10QEventLoop17ProcessEventsFlagEE",
      "Qt_6"));
  const bool main = OnMainThread();
  if (main) {
    if (g_armed) {
      g_armed = 0;
      char line[48];
      char* p = Put(Put(Put(line, "pass "), Now()), "\n");
      Write(line, p);
    }
    g_in_messages = 1;
  }
  if (real) real(flags);
  if (main) g_in_messages = 0;
}

// Notes the flow-control answers on their way to the line.
extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  using Real = ssize_t (*)(int, const void*, size_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "write"));
  if (g_log >= 0 && count == 1 && fd != g_log) {
    const unsigned char b = *static_cast<const unsigned char*>(buf);
    if ((b == 0x11 || b == 0x13) && isatty(fd)) {
      char line[48];
      char* p = Put(Put(Put(line, b == 0x11 ? "dc1 " : "dc3 "), Now()), "\n");
      Write(line, p);
    }
  }
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, buf, count);
}
