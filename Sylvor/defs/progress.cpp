#include "Sylvor/defs/progress.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <exception>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

void WorkControl::check() const {
  if (stopped()) throw InterruptedException("interrupted");
}

std::string format_duration(double seconds) {
  const long total = seconds > 0 ? static_cast<long>(seconds) : 0;
  const long hours = total / 3600, minutes = (total / 60) % 60, secs = total % 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", hours, minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", minutes, secs);
  }
  return text;
}

std::string format_progress(const std::string& what, const std::string& unit, std::size_t done,
                            std::size_t total, double elapsed_seconds) {
  std::string line = what + ": " + std::to_string(done) + "/" + std::to_string(total) + " " + unit + ", " +
                     format_duration(elapsed_seconds) + " elapsed, ";
  if (done == 0) {
    line += "? left";
  } else {
    const double remaining = done >= total ? 0.0 : elapsed_seconds * static_cast<double>(total - done) /
                                                       static_cast<double>(done);
    line += format_duration(std::ceil(remaining)) + " left";
  }
  return line;
}

bool standard_error_is_terminal() { return isatty(STDERR_FILENO) == 1; }

void write_to_standard_error(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

ProgressLine::ProgressLine(const ProgressCounter& counter, std::string what, std::string unit, Sink sink,
                           std::chrono::milliseconds interval)
    : counter(counter),
      what(std::move(what)),
      unit(std::move(unit)),
      sink(std::move(sink)),
      interval(interval),
      start(std::chrono::steady_clock::now()),
      display([this] { run(); }) {}

ProgressLine::~ProgressLine() { stop(); }

void ProgressLine::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  if (display.joinable()) display.join();
}

void ProgressLine::run() {
  std::size_t drawn = 0;  // characters on the line now
  try {
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, interval, [this] { return stopping; })) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::string line = format_progress(what, unit, counter.get_done(), counter.get_total(), elapsed);
      const std::size_t length = line.size();
      // Blanks over what is left of a longer previous line.
      if (length < drawn) line.append(drawn - length, ' ');
      sink("\r" + line);
      drawn = length;
    }
    if (drawn > 0) sink("\r" + std::string(drawn, ' ') + "\r");
  } catch (...) {
    // A sink that fails (a closed stream) ends the display; the work goes on.
  }
}

}  // namespace Sylvor
