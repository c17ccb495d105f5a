// Progress of long work, shown as one updating line: a counter that the
// working threads advance, and a display thread that redraws the line
// "Learning: 37/100 trees, 0:12 elapsed, 0:20 left" a few times a second
// through a sink (standard error, a Python stream) and clears it when the
// work ends.
//
// ProgressCounter::add may be called from any thread at once (one relaxed
// atomic add; no lock, no allocation); so may WorkControl's. A ProgressLine owns its display
// thread: the thread starts with the line and is stopped and joined by
// stop() or the destructor, after it has cleared what it drew. Only that
// thread calls the sink. Nothing here reads or changes what the work
// computes.
#ifndef SYLVOR_DEFS_PROGRESS_HPP
#define SYLVOR_DEFS_PROGRESS_HPP

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Sylvor {

class ProgressCounter {
public:
  explicit ProgressCounter(std::size_t total) : total(total) {}
  ProgressCounter(const ProgressCounter&) = delete;
  ProgressCounter& operator=(const ProgressCounter&) = delete;

  void add(std::size_t n) { done.fetch_add(n, std::memory_order_relaxed); }
  std::size_t get_done() const { return done.load(std::memory_order_relaxed); }
  std::size_t get_total() const { return total; }

private:
  std::atomic<std::size_t> done{0};
  const std::size_t total;
};

// What long work watches: the counter it advances (none when null) and the
// flag that asks it to stop (never set when null). The work polls stopped()
// between small steps and then throws InterruptedException. Both may be
// shared by every thread of the work.
struct WorkControl {
  ProgressCounter* progress = nullptr;
  const std::atomic<bool>* stop = nullptr;

  void advance(std::size_t n) const {
    if (progress != nullptr) progress->add(n);
  }
  bool stopped() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }
  // Throws InterruptedException("interrupted") once the stop flag is set.
  void check() const;
};

// Whole seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string format_duration(double seconds);

// "<what>: <done>/<total> <unit>, <elapsed> elapsed, <left> left"; the time
// left is extrapolated from the rate so far, "?" before anything is done.
std::string format_progress(const std::string& what, const std::string& unit, std::size_t done,
                            std::size_t total, double elapsed_seconds);

// Whether standard error is a terminal (where an updating line makes sense).
bool standard_error_is_terminal();

// Writes a text to standard error and flushes it.
void write_to_standard_error(const std::string& text);

class ProgressLine {
public:
  typedef std::function<void(const std::string&)> Sink;

  // Starts the display thread. The first line is drawn after `interval`,
  // so work that ends sooner shows nothing.
  ProgressLine(const ProgressCounter& counter, std::string what, std::string unit, Sink sink,
               std::chrono::milliseconds interval = std::chrono::milliseconds(250));
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine();

  // Stops the display thread after it has cleared its line. Idempotent.
  void stop();

private:
  void run();

  const ProgressCounter& counter;
  const std::string what;
  const std::string unit;
  const Sink sink;
  const std::chrono::milliseconds interval;
  const std::chrono::steady_clock::time_point start;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread display;
};

}  // namespace Sylvor

#endif
