// The wall-clock stopwatch of the timing lines: whole microseconds from
// gettimeofday, read as seconds. One per driver, used on the main thread.
#ifndef SYLVOR_CLI_STOPWATCH_HPP
#define SYLVOR_CLI_STOPWATCH_HPP

#include <sys/time.h>

namespace Sylvor {

class cvd_timer {
public:
  cvd_timer() { reset(); }

  // Takes the current time as the start.
  void reset() { start = now(); }

  // Seconds since the start.
  double get_time() const { return static_cast<double>(now() - start) / 1000000.0; }

private:
  static long long now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
  }

  long long start = 0;
};

}  // namespace Sylvor

#endif
