#include "Sylvor/learn/tracker.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <map>

namespace Sylvor {
namespace {

const XorShiftState some_state{-5, 123456789, -987654321, 42};

TEST(NodeResult, DefaultThresholdPerFeatureType) {
  EXPECT_EQ(NodeResult<double>().threshold, 2.2250738585072014e-308);
  EXPECT_EQ(NodeResult<float>().threshold, FLT_MIN);
  EXPECT_EQ(NodeResult<int>().threshold, INT_MIN);
  EXPECT_EQ(NodeResult<short>().threshold, -32768);
  EXPECT_EQ(NodeResult<unsigned char>().threshold, 0);
  EXPECT_EQ(NodeResult<float>().feature_index, -1);
  EXPECT_EQ(NodeResult<float>().best_improvement, 0.0);
}

TEST(Tracker, PlainFormKeepsTheFirstOfEqualScores) {
  Tracker<int> tracker;
  EXPECT_FALSE(tracker.is_initialized());
  EXPECT_THROW(tracker.get_maximizer(), EmptyTrackerException);
  tracker.try_candidate(1.0, 10);
  tracker.try_candidate(3.0, 20);
  tracker.try_candidate(3.0, 30);
  tracker.try_candidate(-2.0, 40);
  EXPECT_EQ(tracker.get_maximizer(), 20);
  EXPECT_EQ(tracker.get_maximum(), 3.0);
  EXPECT_EQ(tracker.get_minimum(), -2.0);
}

TEST(Tracker, ThreeTiesEachWinAboutAThird) {
  XorShiftRNG rng(some_state);
  std::map<int, int> wins;
  const int trials = 30000;
  for (int t = 0; t < trials; ++t) {
    Tracker<int> tracker;
    tracker.try_candidate_break_ties(0.5, 1, rng);
    tracker.try_candidate_break_ties(0.5, 2, rng);
    tracker.try_candidate_break_ties(0.5, 3, rng);
    ++wins[tracker.get_maximizer()];
    ASSERT_EQ(tracker.get_num_ties(), 3);
  }
  for (int c = 1; c <= 3; ++c) EXPECT_NEAR(wins[c] / double(trials), 1.0 / 3.0, 0.015) << c;
}

TEST(Tracker, BetterCandidateResetsTiesAndDrawsOnlyOnExactTies) {
  XorShiftRNG rng(some_state);
  Tracker<int> tracker;
  tracker.try_candidate_break_ties(0.5, 1, rng);  // first: no draw
  tracker.try_candidate_break_ties(0.2, 2, rng);  // lower: no draw
  EXPECT_EQ(rng.get_state(), some_state);
  tracker.try_candidate_break_ties(0.5, 3, rng);  // tie: one draw
  EXPECT_EQ(tracker.get_num_ties(), 2);
  EXPECT_NE(rng.get_state(), some_state);
  const XorShiftState after_tie = rng.get_state();
  tracker.try_candidate_break_ties(0.9, 4, rng);
  EXPECT_EQ(tracker.get_num_ties(), 1);
  EXPECT_EQ(tracker.get_maximizer(), 4);
  EXPECT_EQ(rng.get_state(), after_tie);
}

}  // namespace
}  // namespace Sylvor
