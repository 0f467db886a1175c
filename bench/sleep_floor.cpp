// The least a loop that wakes every 5 ms costs on this machine: a 5 ms sleep
// and one poll of nothing, as the reception run's idle pass makes them, for
// the number of seconds given. The benchmark reads its CPU time like the
// program's.
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    poll(nullptr, 0, 0);
  }
  return 0;
}
