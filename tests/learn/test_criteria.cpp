#include "Sylvor/learn/criteria.hpp"

#include <gtest/gtest.h>

#include "tests/learn/data.hpp"

#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "Sylvor/defs/random.hpp"

namespace Sylvor {
namespace {

// A label range over a plain vector, as the accumulators read one.
struct Labels {
  std::vector<int> labels;
  std::size_t get_num_instances() const { return labels.size(); }
  int get_label(std::size_t k) const { return labels[k]; }
};

NominalLabelPriorAccumulator<int> counts_of(std::vector<int> labels, std::size_t nc,
                                            LabelingType type = DiscreteZeroOnward) {
  NominalLabelPriorAccumulator<int> acc;
  acc.set_num_classes(nc);
  acc.set_labeling(type);
  acc.add_count(Labels{std::move(labels)});
  return acc;
}

// The number of generator steps between two states (at most `limit`).
int draws_between(XorShiftState from, const XorShiftState& to, int limit = 100) {
  XorShiftRNG rng(from);
  for (int k = 0; k <= limit; ++k) {
    if (rng.get_state() == to) return k;
    rng.next_int();
  }
  return -1;
}

const XorShiftState some_state{-5, 123456789, -987654321, 42};

TEST(NominalAccumulator, CountsAtClassPlusOneWithRunningSumOfSquares) {
  auto acc = counts_of({0, 0, 1, -1, 2, 2, 2}, 3);
  EXPECT_EQ(acc.get_counts(), (std::vector<long>{1, 2, 1, 3, 0}));
  EXPECT_EQ(acc.get_sum_squared(), 1 + 4 + 1 + 9);
  acc.increment_count(1);
  acc.decrement_count(2);
  acc.decrement_count(-1);
  EXPECT_EQ(acc[1], 2);
  EXPECT_EQ(acc.get_sum_squared(), 0 + 4 + 4 + 4);
  EXPECT_EQ(acc.get_total_count(), 6u);
}

struct EntropyCase {
  std::string name;
  std::vector<int> labels;
  std::size_t nc;
  LabelingType type;
  double entropy;
};

class Entropy : public ::testing::TestWithParam<EntropyCase> {};

TEST_P(Entropy, InBits) {
  const auto& c = GetParam();
  EXPECT_DOUBLE_EQ(compute_entropy(counts_of(c.labels, c.nc, c.type)), c.entropy);
}

INSTANTIATE_TEST_SUITE_P(
    Distributions, Entropy,
    ::testing::Values(
        EntropyCase{"ThreeToOne", {0, 0, 0, 1}, 2, DiscreteZeroOnward, 0.8112781244591328},
        EntropyCase{"Pure", {1, 1, 1}, 2, DiscreteZeroOnward, 0.0},
        EntropyCase{"Empty", {}, 2, DiscreteZeroOnward, 0.0},
        EntropyCase{"ThreeEqualClasses", {0, 1, 2}, 3, DiscreteZeroOnward, std::log2(3.0)},
        EntropyCase{"ZeroCountsContributeNothing", {0, 2, 2, 0}, 4, DiscreteZeroOnward, 1.0},
        EntropyCase{"OneClassHasNoEntropy", {0, 0}, 1, DiscreteZeroOnward, 0.0},
        EntropyCase{"PlusMinusOne", {-1, 1, 1, 1}, 2, PlusOneMinusOne, 0.8112781244591328},
        // Class 0 is not a class of this labeling: the two-class formula over
        // -1 and +1 ignores it (denominator 2, not the total of 5).
        EntropyCase{"PlusMinusOneIgnoresClassZero", {-1, 1, 0, 0, 0}, 2, PlusOneMinusOne, 1.0},
        EntropyCase{"Regression", {0, 1}, 2, Regression, 0.0}),
    [](const ::testing::TestParamInfo<EntropyCase>& info) { return info.param.name; });

TEST(Entropy, ExactValueOfThreeToOne) {
  EXPECT_EQ(compute_entropy(counts_of({0, 0, 0, 1}, 2)), 0.8112781244591328);
}

TEST(Prediction, TieBetweenTwoLeadersDrawsOnceAndSplitsEvenly) {
  const auto acc = counts_of({0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2}, 3);
  XorShiftRNG rng(some_state);
  std::map<int, int> chosen;
  for (int trial = 0; trial < 20000; ++trial) {
    const XorShiftState before = rng.get_state();
    const auto [label, count] = acc.get_prediction(rng);
    ASSERT_EQ(draws_between(before, rng.get_state()), 1);
    ASSERT_EQ(count, 5);
    ++chosen[label];
  }
  EXPECT_EQ(chosen.size(), 2u);
  EXPECT_NEAR(chosen[0] / 20000.0, 0.5, 0.02);
}

TEST(Prediction, ClearLeaderDrawsNothing) {
  const auto acc = counts_of({0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2}, 3);
  XorShiftRNG rng(some_state);
  EXPECT_EQ(acc.get_prediction(rng), (std::pair<int, long>{0, 7}));
  EXPECT_EQ(rng.get_state(), some_state);
}

TEST(Prediction, LeadingZerosTieBeforeTheMajority) {
  const auto acc = counts_of({2, 2, 2, 2, 2}, 3);
  XorShiftRNG rng(some_state);
  EXPECT_EQ(acc.get_prediction(rng), (std::pair<int, long>{2, 5}));
  EXPECT_EQ(draws_between(some_state, rng.get_state()), 1);
}

TEST(Prediction, PlusMinusOneScansClassMinusOne) {
  const auto acc = counts_of({-1, -1, 1}, 2, PlusOneMinusOne);
  XorShiftRNG rng(some_state);
  EXPECT_EQ(acc.get_prediction(rng).first, -1);
}

TEST(Prediction, NothingToScanThrows) {
  NominalLabelPriorAccumulator<int> acc;
  XorShiftRNG rng(some_state);
  EXPECT_THROW(acc.get_prediction(rng), EmptyTrackerException);
}

TEST(RegressiveAccumulator, WelfordMeanAndPopulationVariance) {
  RegressiveLabelPriorAccumulator<double> acc;
  acc.initialize();
  for (const double y : {2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}) acc.increment_count(y);
  EXPECT_DOUBLE_EQ(acc.get_mean(), 5.0);
  EXPECT_DOUBLE_EQ(acc.get_variance(), 4.0);
  // Removing 9 leaves 2, 4, 4, 4, 5, 5, 7 (mean 31/7); removing 2 then
  // leaves 4, 4, 4, 5, 5, 7 (mean 29/6, variance 41/36).
  acc.decrement_count(9.0);
  EXPECT_DOUBLE_EQ(acc.get_mean(), 31.0 / 7.0);
  acc.decrement_count(2.0);
  EXPECT_DOUBLE_EQ(acc.get_mean(), 29.0 / 6.0);
  EXPECT_DOUBLE_EQ(acc.get_variance(), 41.0 / 36.0);
  EXPECT_EQ(acc.get_num_instances(), 6);
  for (const double y : {4.0, 4.0, 4.0, 5.0, 5.0, 7.0}) acc.decrement_count(y);
  EXPECT_EQ(acc.get_num_instances(), 0);
  EXPECT_EQ(acc.get_variance(), 0.0);
}

// Mean and population variance of labels[from, to) in two passes.
std::pair<double, double> two_pass(const std::vector<double>& labels, std::size_t from, std::size_t to) {
  double sum = 0.0;
  for (std::size_t i = from; i < to; ++i) sum += labels[i];
  const double mean = sum / static_cast<double>(to - from);
  double squares = 0.0;
  for (std::size_t i = from; i < to; ++i) squares += (labels[i] - mean) * (labels[i] - mean);
  return {mean, squares / static_cast<double>(to - from)};
}

class RemovalAgainstTwoPasses : public ::testing::TestWithParam<double> {};

TEST_P(RemovalAgainstTwoPasses, EveryShrinkingSuffixHasItsOwnMeanAndVariance) {
  // As the right side of a scan: all labels added, then removed from the
  // front one at a time; labels at an offset, so that rounding shows.
  const double offset = GetParam();
  XorShiftRNG gen(XorShiftState{7, 7, 1, 3});
  std::vector<double> labels;
  for (int i = 0; i < 500; ++i) labels.push_back(offset + 100.0 * Testing::unit_draw(gen) * Testing::unit_draw(gen));
  RegressiveLabelPriorAccumulator<double> right;
  right.initialize();
  for (const double y : labels) right.increment_count(y);
  for (std::size_t k = 0; k + 1 < labels.size(); ++k) {
    right.decrement_count(labels[k]);
    const auto [mean, variance] = two_pass(labels, k + 1, labels.size());
    ASSERT_NEAR(right.get_mean(), mean, 1e-9 * (std::abs(offset) + 100.0)) << k;
    // Rounding of the running updates grows with the labels' magnitude.
    ASSERT_NEAR(right.get_variance(), variance, 1e-9 * (variance + 1.0) + 2e-11 * std::abs(offset)) << k;
    ASSERT_GE(right.get_variance(), 0.0) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Offsets, RemovalAgainstTwoPasses, ::testing::Values(0.0, -50.0, 1e6));

TEST(RegressionTask, CloseLabelsArePureButNaNIsNot) {
  const RegressionTask task;  // the program's bound, 1e-5
  RegressiveLabelPriorAccumulator<double> acc;
  acc.initialize();
  acc.increment_count(1.0);
  acc.increment_count(1.006);
  EXPECT_TRUE(task.is_pure(acc));
  acc.increment_count(std::nan(""));
  EXPECT_FALSE(task.is_pure(acc));
  EXPECT_FALSE(RegressionTask(1e-6).is_pure(acc));
}

// Node: classes (4, 4); left (3, 1), right (1, 3).
struct CriterionFixture : ::testing::Test {
  NominalLabelPriorAccumulator<int> node = counts_of({0, 0, 0, 0, 1, 1, 1, 1}, 2);
  NominalLabelPriorAccumulator<int> left = counts_of({0, 0, 0, 1}, 2);
  NominalLabelPriorAccumulator<int> right = counts_of({0, 1, 1, 1}, 2);
};

TEST_F(CriterionFixture, GiniScoresSumsOfSquaredCounts) {
  const TwoSplitGiniImpurity gini;
  const double b = gini.get_initial(node);
  EXPECT_EQ(b, 32.0 / 8.0);
  EXPECT_EQ(gini.get_initial_score(b), b);
  EXPECT_EQ(gini(b, left, right), 10.0 / 4.0 + 10.0 / 4.0);
  EXPECT_EQ(gini.get_final_score(5.0, b), 1.0);
  // A cut that does not lower the impurity scores exactly the start score.
  const auto half = counts_of({0, 0, 1, 1}, 2);
  EXPECT_EQ(gini(b, half, half), gini.get_initial_score(b));
}

TEST_F(CriterionFixture, InformationGainAndGainRatio) {
  const double h = 0.8112781244591328;
  const TwoSplitInfoGain gain;
  EXPECT_EQ(gain.get_initial(node), 1.0);
  EXPECT_EQ(gain.get_initial_score(1.0), 0.0);
  EXPECT_DOUBLE_EQ(gain(1.0, left, right), 1.0 - h);
  const TwoSplitGainRatio ratio;
  EXPECT_DOUBLE_EQ(ratio(1.0, left, right), (1.0 - h) / 1.0);
  // Unequal sides: the split information is below one bit.
  const auto small = counts_of({0}, 2);
  const auto rest = counts_of({0, 0, 0, 1, 1, 1, 1}, 2);
  const double split_information = -(0.125 * std::log2(0.125) + 0.875 * std::log2(0.875));
  const double g = 1.0 - 0.875 * compute_entropy(rest);
  EXPECT_DOUBLE_EQ(ratio(1.0, small, rest), g / split_information);
  // No gain: the score equals the start score and no cut would be taken.
  const auto half = counts_of({0, 0, 1, 1}, 2);
  EXPECT_EQ(ratio(1.0, half, half), 0.0);
}

TEST(Variance, ScoresTheWeightedVarianceDecrease) {
  RegressiveLabelPriorAccumulator<double> node, left, right;
  node.initialize();
  left.initialize();
  right.initialize();
  for (const double y : {1.0, 3.0}) {
    node.increment_count(y);
    left.increment_count(y);
  }
  for (const double y : {11.0, 13.0}) {
    node.increment_count(y);
    right.increment_count(y);
  }
  const TwoSplitVariance variance;
  const double v = variance.get_initial(node);
  EXPECT_EQ(v, 26.0);
  EXPECT_EQ(variance.get_initial_score(v), -26.0);
  EXPECT_EQ(variance(v, left, right), -1.0);
  EXPECT_EQ(variance.get_final_score(-1.0, v), 25.0);
}

}  // namespace
}  // namespace Sylvor
