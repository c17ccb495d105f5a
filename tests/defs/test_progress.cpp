#include "Sylvor/defs/progress.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Sylvor {
namespace {

struct DurationCase {
  double seconds;
  const char* text;
};

class Durations : public ::testing::TestWithParam<DurationCase> {};

TEST_P(Durations, WholeSecondsAsMinutesOrHours) {
  EXPECT_EQ(format_duration(GetParam().seconds), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Progress, Durations,
                         ::testing::Values(DurationCase{0.0, "0:00"}, DurationCase{-3.0, "0:00"},
                                           DurationCase{9.99, "0:09"}, DurationCase{61.0, "1:01"},
                                           DurationCase{3599.0, "59:59"}, DurationCase{3600.0, "1:00:00"},
                                           DurationCase{90061.0, "25:01:01"}));

struct LineCase {
  std::size_t done, total;
  double elapsed;
  const char* text;
};

class Lines : public ::testing::TestWithParam<LineCase> {};

TEST_P(Lines, CountElapsedAndTimeLeftFromTheRateSoFar) {
  const LineCase c = GetParam();
  EXPECT_EQ(format_progress("Learning", "trees", c.done, c.total, c.elapsed), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Progress, Lines,
    ::testing::Values(LineCase{0, 100, 3.0, "Learning: 0/100 trees, 0:03 elapsed, ? left"},
                      LineCase{25, 100, 10.0, "Learning: 25/100 trees, 0:10 elapsed, 0:30 left"},
                      // A fraction of a second left still shows as one.
                      LineCase{99, 100, 9.9, "Learning: 99/100 trees, 0:09 elapsed, 0:01 left"},
                      LineCase{100, 100, 75.0, "Learning: 100/100 trees, 1:15 elapsed, 0:00 left"}));

// Records what a progress line writes, from its display thread.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> writes;
  ProgressLine::Sink sink() {
    return [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      writes.push_back(text);
    };
  }
};

TEST(ProgressLine, WorkShorterThanTheIntervalShowsNothing) {
  ProgressCounter counter(10);
  Recorder recorder;
  {
    ProgressLine line(counter, "Learning", "trees", recorder.sink(), std::chrono::milliseconds(10000));
    counter.add(10);
  }
  EXPECT_TRUE(recorder.writes.empty());
}

TEST(ProgressLine, RedrawsAtMostOncePerIntervalAndClearsItsLineAtTheEnd) {
  ProgressCounter counter(1000);
  Recorder recorder;
  const auto start = std::chrono::steady_clock::now();
  ProgressLine line(counter, "Predicting", "instances", recorder.sink(), std::chrono::milliseconds(20));
  for (int step = 0; step < 10; ++step) {
    counter.add(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  line.stop();
  line.stop();  // a second stop does nothing
  const double elapsed_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

  ASSERT_GE(recorder.writes.size(), 2u);
  const std::size_t draws = recorder.writes.size() - 1;
  EXPECT_LE(static_cast<double>(draws), elapsed_ms / 20.0 + 1.0);
  std::size_t longest = 0;
  for (std::size_t k = 0; k < draws; ++k) {
    const std::string& text = recorder.writes[k];
    EXPECT_EQ(text.rfind("\rPredicting: ", 0), 0u) << text;
    EXPECT_NE(text.find("/1000 instances, "), std::string::npos) << text;
    longest = std::max(longest, text.size() - 1);
  }
  // The last write blanks every drawn character and returns to the start.
  EXPECT_EQ(recorder.writes.back(), "\r" + std::string(longest, ' ') + "\r");
}

TEST(ProgressLine, AFailingSinkEndsTheDisplayButNotTheWork) {
  ProgressCounter counter(3);
  int calls = 0;
  ProgressLine line(counter, "Learning", "trees",
                    [&calls](const std::string&) {
                      ++calls;
                      throw std::runtime_error("stream closed");
                    },
                    std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  line.stop();
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace Sylvor
