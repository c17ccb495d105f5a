#include "Sylvor/learn/splitter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/learn/grow.hpp"
#include "Sylvor/learn/task.hpp"
#include "Sylvor/learn/sampling.hpp"
#include "tests/learn/data.hpp"

namespace Sylvor {
namespace {

const XorShiftState some_state{-5, 123456789, -987654321, 42};

using Testing::make_data;

// A splitter over every instance of `data`, in order.
template <class Task, class DataSet>
Splitter<Task, DataSet> over_all(const DataSet& data) {
  Splitter<Task, DataSet> splitter(data);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) splitter.get_sample().add_index(i);
  return splitter;
}

// Scans one feature of values and labels with the given criterion.
template <class F, class Criterion = TwoSplitGiniImpurity>
FeatureTracker<F> scan(const std::vector<double>& values, const std::vector<int>& labels, std::size_t min_leaf = 2) {
  std::vector<std::pair<F, int>> entries;
  NominalLabelPriorAccumulator<int> node, left, right;
  node.set_num_classes(2);
  for (std::size_t i = 0; i < values.size(); ++i) {
    entries.emplace_back(static_cast<F>(values[i]), labels[i]);
    node.increment_count(labels[i]);
  }
  std::sort(entries.begin(), entries.end(), FeatureThenLabelLessThan<std::pair<F, int>>());
  return learn_tree_node(ClassificationTask<Criterion>(), entries.data(), entries.size(), node, 0, left, right,
                         min_leaf);
}

// The best criterion score over every cut between distinct values that
// leaves at least min_leaf entries on each side, computed cut by cut from
// fresh summaries (the no-cut score when there is none).
template <class Criterion>
double best_admissible_score(const std::vector<double>& values, const std::vector<int>& labels,
                             std::size_t min_leaf) {
  const Criterion criterion;
  NominalLabelPriorAccumulator<int> node;
  node.set_num_classes(2);
  for (const int label : labels) node.increment_count(label);
  const double node_value = criterion.get_initial(node);
  double best = criterion.get_initial_score(node_value);
  std::vector<double> cuts(values);
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (std::size_t c = 1; c < cuts.size(); ++c) {
    NominalLabelPriorAccumulator<int> left, right;
    left.set_num_classes(2);
    right.set_num_classes(2);
    for (std::size_t i = 0; i < values.size(); ++i) {
      (values[i] < cuts[c] ? left : right).increment_count(labels[i]);
    }
    if (left.get_num_instances() < min_leaf || right.get_num_instances() < min_leaf) continue;
    best = std::max(best, criterion(node_value, left, right));
  }
  return criterion.get_final_score(best, node_value);
}

TEST(ClassificationScan, IntegerThresholdIsTheUpperValue) {
  const auto tracker = scan<int>({3, 3, 5, 7}, {0, 0, 1, 1});
  EXPECT_EQ(tracker.get_maximizer().threshold, 5);
  EXPECT_EQ(tracker.get_maximizer().feature_index, 0);
  // Gini: (4/2 + 4/2) - 8/4 = 2, and the same improvement.
  EXPECT_EQ(tracker.get_maximum(), 2.0);
  EXPECT_EQ(tracker.get_maximizer().best_improvement, 2.0);
  EXPECT_EQ(scan<unsigned char>({3, 3, 5, 7}, {0, 0, 1, 1}).get_maximizer().threshold, 5);
  EXPECT_EQ(scan<short>({3, 3, 5, 7}, {0, 0, 1, 1}).get_maximizer().threshold, 5);
}

TEST(ClassificationScan, FloatingThresholdIsTheMidpoint) {
  EXPECT_EQ(scan<double>({3, 3, 5, 7}, {0, 0, 1, 1}).get_maximizer().threshold, 4.0);
  EXPECT_EQ(scan<float>({3, 3, 5, 7}, {0, 0, 1, 1}).get_maximizer().threshold, 4.0f);
  // float midpoint computed in float: 0.1f + 0.2f halved in float arithmetic.
  EXPECT_EQ(scan<float>({0.1, 0.2}, {0, 1}).get_maximizer().threshold, 0.1f);  // n = 2: no cut
  EXPECT_EQ(scan<float>({0.1, 0.1, 0.2, 0.2}, {0, 0, 1, 1}).get_maximizer().threshold, (0.1f + 0.2f) * 0.5f);
}

TEST(ClassificationScan, ImprovementIsTheGiniGainWhateverTheCriterion) {
  const auto tracker = scan<double, TwoSplitInfoGain>({1, 2, 3, 4}, {0, 0, 1, 1});
  EXPECT_EQ(tracker.get_maximum(), 1.0);  // a perfect split gains one bit
  EXPECT_EQ(tracker.get_maximizer().best_improvement, 2.0);
  EXPECT_EQ(tracker.get_maximizer().threshold, 2.5);
}

TEST(ClassificationScan, RunsOfOneLabelAreNeverCut) {
  // Values 1..6 with labels 0 0 1 1 1 0: only the cuts after a label change
  // are scored, so the threshold lies between 2 and 3 or between 5 and 6.
  const auto tracker = scan<double>({1, 2, 3, 4, 5, 6}, {0, 0, 1, 1, 1, 0});
  const double t = tracker.get_maximizer().threshold;
  EXPECT_TRUE(t == 2.5 || t == 5.5) << t;
}

TEST(ClassificationScan, CutsLeaveAtLeastTwoEntriesOnEachSide) {
  // The only label change sets the first entry apart: the cut moves on to
  // the next pair of values, for every criterion.
  const std::vector<double> values{1, 2, 3, 4, 5, 6};
  const std::vector<int> labels{0, 1, 1, 1, 1, 1};
  EXPECT_EQ((scan<double, TwoSplitGiniImpurity>(values, labels)).get_maximizer().threshold, 2.5);
  EXPECT_EQ((scan<double, TwoSplitInfoGain>(values, labels)).get_maximizer().threshold, 2.5);
  EXPECT_EQ((scan<double, TwoSplitGainRatio>(values, labels)).get_maximizer().threshold, 2.5);
}

template <class Criterion>
class AdmissibleCuts : public ::testing::Test {};
using Criteria = ::testing::Types<TwoSplitGiniImpurity, TwoSplitInfoGain, TwoSplitGainRatio>;
TYPED_TEST_SUITE(AdmissibleCuts, Criteria);

TYPED_TEST(AdmissibleCuts, RandomNodesScoreOnlyCutsLeavingTheSmallestLeafOnEachSide) {
  XorShiftRNG gen(some_state);
  for (const std::size_t min_leaf : {1, 2, 3, 5}) {
    for (int round = 0; round < 300; ++round) {
      const std::size_t n = 2 + gen.next_int(12);
      std::vector<double> values;
      std::vector<int> labels;
      for (std::size_t i = 0; i < n; ++i) {
        values.push_back(static_cast<double>(gen.next_int(6)));
        labels.push_back(static_cast<int>(gen.next_int(2)));
      }
      const auto tracker = scan<double, TypeParam>(values, labels, min_leaf);
      const std::string where = "min_leaf " + std::to_string(min_leaf) + ", round " + std::to_string(round);
      // Cuts inside runs of one label are passed over, so the scan may miss
      // the best admissible cut, but never scores past it.
      EXPECT_LE(tracker.get_maximum(), best_admissible_score<TypeParam>(values, labels, min_leaf) + 1e-12) << where;
      if (tracker.get_maximum() <= 0.0) continue;
      const double t = tracker.get_maximizer().threshold;
      const auto left = static_cast<std::size_t>(
          std::count_if(values.begin(), values.end(), [t](double v) { return v < t; }));
      EXPECT_GE(left, min_leaf) << where;
      EXPECT_GE(n - left, min_leaf) << where;
    }
  }
}

struct NoCutCase {
  std::string name;
  std::vector<double> values;
  std::vector<int> labels;
};

class ScanWithoutAnAcceptedCut : public ::testing::TestWithParam<NoCutCase> {};

TEST_P(ScanWithoutAnAcceptedCut, ReportsZeroAtTheSmallestValue) {
  const auto& c = GetParam();
  const FeatureTracker<double> trackers[] = {scan<double, TwoSplitGiniImpurity>(c.values, c.labels),
                                             scan<double, TwoSplitInfoGain>(c.values, c.labels),
                                             scan<double, TwoSplitGainRatio>(c.values, c.labels)};
  for (const auto& tracker : trackers) {
    EXPECT_EQ(tracker.get_maximum(), 0.0);
    EXPECT_EQ(tracker.get_maximizer().threshold, *std::min_element(c.values.begin(), c.values.end()));
    EXPECT_EQ(tracker.get_maximizer().best_improvement, 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, ScanWithoutAnAcceptedCut,
    ::testing::Values(NoCutCase{"ZeroGainCut", {1, 1, 2, 2}, {0, 1, 0, 1}},
                      NoCutCase{"TwoInstances", {5, 1}, {0, 1}},
                      NoCutCase{"ThreeInstances", {1, 2, 3}, {0, 1, 1}},
                      NoCutCase{"OnlyTheLastDiffers", {1, 2, 3, 4, 5}, {1, 1, 1, 1, 0}},
                      NoCutCase{"OneValue", {3, 3, 3}, {0, 1, 0}},
                      NoCutCase{"OneLabelRun", {1, 2, 3}, {1, 1, 1}}),
    [](const ::testing::TestParamInfo<NoCutCase>& info) { return info.param.name; });

TEST(RegressionScan, CutsBetweenTheTwoGroups) {
  const std::vector<std::pair<double, double>> entries{{1, 1.0}, {2, 1.2}, {10, 5.0}, {11, 5.2}};
  RegressiveLabelPriorAccumulator<double> node, left, right;
  node.initialize();
  for (const auto& entry : entries) node.increment_count(entry.second);
  const auto tracker = learn_tree_node(RegressionTask(), entries.data(), entries.size(), node, 0, left, right);
  EXPECT_EQ(tracker.get_maximizer().threshold, 6.0);
  // Node variance 4.01, each side's 0.01: the weighted variance decreases by 4.
  EXPECT_NEAR(tracker.get_maximum(), 4.0, 1e-12);
  EXPECT_EQ(tracker.get_maximizer().best_improvement, tracker.get_maximum());
}

// The split the splitter finds for all instances of `data`.
template <class Task = ClassificationTask<TwoSplitGiniImpurity>, class DataSet>
NodeResult<typename DataSet::feature_type> split_of(const DataSet& data, int fte, XorShiftRNG& rng,
                                                    const Task& task = Task()) {
  auto splitter = over_all<Task>(data);
  typename Task::template Summary<typename DataSet::label_type> node;
  const std::size_t n = data.get_num_instances();
  task.summarize(splitter.node_labels(0, n), node);
  return splitter.find_split(task, 0, n, node, fte, rng);
}

TEST(NodeSearch, ConstantFeaturesDoNotTakeAPlace) {
  // fte_per_split 1 of 4 features, three of them constant: draws go on
  // until the informative feature 2 is drawn, so the node splits on it.
  const auto data = make_data<float>({{7, 1, 1, 3}, {7, 1, 2, 3}, {7, 1, 3, 3}, {7, 1, 4, 3}}, {0, 0, 1, 1});
  XorShiftRNG rng(some_state);
  for (int round = 0; round < 20; ++round) EXPECT_EQ(split_of(data, 1, rng).feature_index, 2) << round;
}

TEST(NodeSearch, AllFeaturesConstantGiveNoCandidate) {
  const auto data = make_data<float>({{7, 1}, {7, 1}, {7, 1}}, {0, 1, 1});
  for (const int fte : {0, 1}) {
    XorShiftRNG rng(some_state);
    const auto split = split_of(data, fte, rng);
    EXPECT_EQ(split.feature_index, -1);
    EXPECT_EQ(split.threshold, default_threshold<float>());
    EXPECT_EQ(split.best_improvement, 0.0);
  }
}

TEST(NodeSearch, EveryFeatureInOrderDrawsNothingButTies) {
  // Two features that split equally well: the choice between them is one
  // draw; with fte 0, 2 or more nothing else is drawn.
  const auto data = make_data<double>({{1, 1}, {2, 2}, {3, 3}, {4, 4}}, {0, 0, 1, 1});
  for (const int fte : {0, 2, 5, -3}) {
    XorShiftRNG rng(some_state), reference(some_state);
    const auto split = split_of(data, fte, rng);
    EXPECT_TRUE(split.feature_index == 0 || split.feature_index == 1);
    EXPECT_EQ(split.threshold, 2.5);
    reference.next_int(1000000);
    EXPECT_EQ(rng.get_state(), reference.get_state()) << fte;
  }
}

TEST(NodeSearch, RegressionSplitsOnTheInformativeFeature) {
  const auto data = make_data<double, double>({{1, 5}, {2, 1}, {3, 4}, {10, 2}, {11, 3}, {12, 6}},
                                              {1.0, 1.0, 1.0, 7.0, 7.0, 7.0}, 1, Regression);
  XorShiftRNG rng(some_state);
  const auto split = split_of<RegressionTask>(data, 0, rng);
  EXPECT_EQ(split.feature_index, 0);
  EXPECT_EQ(split.threshold, 6.5);
  // Node variance 9, both sides pure: the whole variance is removed.
  EXPECT_EQ(split.best_improvement, 9.0);
}

struct NodeCut {
  std::string name;
  std::vector<double> values;
  double threshold;
  std::size_t begin, end;
  std::vector<std::size_t> indices_after;
  std::size_t split;
};

class SplitterPartition : public ::testing::TestWithParam<NodeCut> {};

// Below the threshold first, each side in its former order, outside the
// node nothing moved.
TEST_P(SplitterPartition, KeepsTheOrderOfBothSides) {
  const NodeCut& c = GetParam();
  std::vector<std::vector<double>> rows;
  for (const double v : c.values) rows.push_back({v});
  const auto data = make_data<double>(rows, std::vector<int>(c.values.size(), 0));
  auto splitter = over_all<ClassificationTask<TwoSplitGiniImpurity>>(data);
  EXPECT_EQ(splitter.partition(c.begin, c.end, 0, c.threshold), c.split);
  EXPECT_EQ(splitter.get_sample().indices, c.indices_after);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, SplitterPartition,
    ::testing::Values(NodeCut{"InsideTheSample", {9, 8, 1, 7, 2, 0}, 5, 1, 5, {0, 2, 4, 1, 3, 5}, 3},
                      NodeCut{"Interleaved", {5, 1, 4, 2, 3}, 3, 0, 5, {1, 3, 0, 2, 4}, 2},
                      NodeCut{"AllBelow", {1, 2, 3}, 10, 0, 3, {0, 1, 2}, 3},
                      NodeCut{"NoneBelow", {4, 5, 6}, 1, 0, 3, {0, 1, 2}, 0},
                      NodeCut{"EqualAndNaNGoAbove", {3, NAN, 1, 3}, 3, 0, 4, {2, 0, 1, 3}, 1},
                      NodeCut{"EmptyNode", {1, 2}, 1.5, 1, 1, {0, 1}, 1}),
    [](const ::testing::TestParamInfo<NodeCut>& info) { return info.param.name; });

struct OrderSampleCase {
  std::string name;
  std::size_t num_instances;
  std::vector<std::size_t> drawn;
};

class OrderSample : public ::testing::TestWithParam<OrderSampleCase> {};

// The same instances, as many times each, in ascending order: by counting
// (a sample of at least an eighth of the data), by sorting (a smaller one,
// or an instance held 255 times or more).
TEST_P(OrderSample, SortsTheDrawnIndices) {
  const OrderSampleCase& c = GetParam();
  const auto data = make_data<double>(std::vector<std::vector<double>>(c.num_instances, {1.0}),
                                      std::vector<int>(c.num_instances, 0));
  Splitter<ClassificationTask<TwoSplitGiniImpurity>, decltype(data)> splitter(data);
  splitter.get_sample().indices = c.drawn;
  splitter.order_sample();
  std::vector<std::size_t> expected = c.drawn;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(splitter.get_sample().indices, expected);
}

std::vector<std::size_t> repeated(std::size_t index, std::size_t times, std::vector<std::size_t> tail) {
  std::vector<std::size_t> drawn(times, index);
  drawn.insert(drawn.end(), tail.begin(), tail.end());
  return drawn;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, OrderSample,
    ::testing::Values(OrderSampleCase{"Counted", 6, {5, 0, 3, 3, 1, 5, 0}},
                      OrderSampleCase{"Sorted", 100, {70, 2, 99, 2}},
                      OrderSampleCase{"OneInstance", 1, {0}},
                      OrderSampleCase{"Empty", 4, {}},
                      OrderSampleCase{"ManyCopiesOfOne", 3, repeated(1, 254, {2, 0})},
                      OrderSampleCase{"TooManyCopiesToCount", 3, repeated(1, 300, {2, 0, 1})}),
    [](const ::testing::TestParamInfo<OrderSampleCase>& info) { return info.param.name; });

}  // namespace
}  // namespace Sylvor

namespace Sylvor {
namespace {

// The sorting scan of label-ordered entries and the counting scan of the
// same entries, side by side.
template <class Criterion>
void expect_same_scans(const std::vector<std::pair<double, int>>& unsorted, std::size_t num_classes,
                       const std::string& what, std::size_t min_leaf = 2) {
  const ClassificationTask<Criterion> task;
  auto entries = unsorted;
  std::sort(entries.begin(), entries.end(), FeatureThenLabelLessThan<std::pair<double, int>>());
  NominalLabelPriorAccumulator<int> node, left, right;
  node.set_num_classes(num_classes);
  for (const auto& entry : entries) node.increment_count(entry.second);
  const auto sorted = learn_tree_node(task, entries.data(), entries.size(), node, 3, left, right, min_leaf);

  std::vector<double> values;
  for (const auto& entry : entries) values.push_back(entry.first);
  values.erase(std::unique(values.begin(), values.end()), values.end());
  const std::size_t slots = num_classes + 2;
  std::vector<std::uint32_t> table(values.size() * slots, 0);
  std::size_t low = values.size(), high = 0;
  for (const auto& entry : entries) {
    const std::size_t r = static_cast<std::size_t>(std::lower_bound(values.begin(), values.end(), entry.first) -
                                                   values.begin());
    ++table[r * slots + NominalLabelPriorAccumulator<int>::slot_of(entry.second)];
    low = std::min(low, r);
    high = std::max(high, r);
  }
  const auto counted = learn_tree_node_counted(task, values.data(), table.data(), slots, low, high, entries.size(),
                                               node, 3, left, right, min_leaf);
  EXPECT_EQ(counted.get_maximum(), sorted.get_maximum()) << what;
  EXPECT_EQ(counted.get_maximizer().threshold, sorted.get_maximizer().threshold) << what;
  EXPECT_EQ(counted.get_maximizer().best_improvement, sorted.get_maximizer().best_improvement) << what;
  EXPECT_EQ(counted.get_maximizer().feature_index, 3) << what;
  EXPECT_EQ(table, std::vector<std::uint32_t>(table.size(), 0)) << what << ": the table is left zero";
}

template <class Criterion>
class CountingScan : public ::testing::Test {};
TYPED_TEST_SUITE(CountingScan, Criteria);

TYPED_TEST(CountingScan, GivesTheSortingScansResultOnRandomNodes) {
  XorShiftRNG gen(XorShiftState{11, 12, 13, 14});
  for (int round = 0; round < 3000; ++round) {
    const std::size_t n = 1 + gen.next_int(40);
    const std::size_t distinct = 1 + gen.next_int(8);
    const std::size_t classes = 2 + gen.next_int(3);
    std::vector<std::pair<double, int>> entries;
    for (std::size_t i = 0; i < n; ++i) {
      entries.emplace_back(0.5 * static_cast<double>(gen.next_int(static_cast<std::int64_t>(distinct))),
                           static_cast<int>(gen.next_int(static_cast<std::int64_t>(classes))));
    }
    const std::size_t min_leaf = 1 + gen.next_int(4);
    expect_same_scans<TypeParam>(entries, classes, "round " + std::to_string(round), min_leaf);
  }
}

TEST(CountingScan, PlusOneMinusOneLabelsUseTheirSlots) {
  std::vector<std::pair<double, int>> entries;
  for (int i = 0; i < 30; ++i) entries.emplace_back(i % 5, (i * 7) % 3 == 0 ? -1 : 1);
  expect_same_scans<TwoSplitGiniImpurity>(entries, 2, "plus-one-minus-one");
}

TEST(ValueRanks, RankFeaturesWithFewDistinctValuesOnly) {
  MemoryDataSet<double, int> data;
  data.set_num_features(4);
  for (int i = 0; i < 70000; ++i) {
    const double row[] = {static_cast<double>(i % 7) - 3.0, static_cast<double>(i), i == 5 ? -0.0 : 1.0,
                          i == 9 ? std::nan("") : 2.0};
    data.add_instance(0, row, row + 4);
  }
  const auto slot_of = &NominalLabelPriorAccumulator<int>::slot_of;
  const ValueRanks<double> ranks(data, 100000, 4, slot_of);
  const RankedFeature<double>* small = ranks.of(0);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(small->values, (std::vector<double>{-3, -2, -1, 0, 1, 2, 3}));
  for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(small->values[small->cell[i] / 4], data(i, 0)) << i;
  for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(small->cell[i] % 4, 1u) << i;  // label 0: slot 1
  EXPECT_EQ(ranks.of(1), nullptr);  // 70,000 distinct values
  EXPECT_EQ(ranks.of(2), nullptr);  // a negative zero
  EXPECT_EQ(ranks.of(3), nullptr);  // a NaN
  EXPECT_NE(ValueRanks<double>(data, 7, 4, slot_of).of(0), nullptr);
  EXPECT_EQ(ValueRanks<double>(data, 6, 4, slot_of).of(0), nullptr);  // more values than asked for
  EXPECT_EQ(ValueRanks<double>(data, 100, 10000, slot_of).of(0), nullptr);  // more cells than 16 bits number
}

template <class F>
class CountedTrees : public ::testing::Test {};
typedef ::testing::Types<float, double, short, int, unsigned char> CountedFeatureTypes;
TYPED_TEST_SUITE(CountedTrees, CountedFeatureTypes);

// Whole trees grown with and without ranks, for every criterion, with all
// or some features per split.
TYPED_TEST(CountedTrees, AreTheTreesOfTheSortingScan) {
  typedef TypeParam F;
  typedef MemoryDataSet<F, int> Data;
  for (const std::size_t distinct : {std::size_t{2}, std::size_t{6}, std::size_t{40}}) {
    Data data;
    data.set_num_features(5);
    data.set_labeling(4, DiscreteZeroOnward);
    XorShiftRNG gen(XorShiftState{3, 1, 4, static_cast<std::int64_t>(distinct)});
    for (int i = 0; i < 3000; ++i) {
      double row[5];
      for (double& v : row) v = static_cast<double>(gen.next_int(static_cast<std::int64_t>(distinct)));
      const int label = (row[0] + row[1] > static_cast<double>(distinct) ? 2 : 0) + (gen.next_int(5) == 0 ? 1 : 0);
      data.add_instance(label, row, row + 5);
    }
    const ValueRanks<F> ranks(data, 1000, 6, &NominalLabelPriorAccumulator<int>::slot_of);
    ASSERT_NE(ranks.of(0), nullptr);
    auto compare = [&](const auto& task, int fte) {
      typedef std::decay_t<decltype(task)> Task;
      TreeGrower<Task, Data> sorting(data, &ranks), counting(data, &ranks);
      sorting.set_counting(NodeCounting::Never);
      XorShiftRNG a(XorShiftState{9, 9, 9, 9}), b(XorShiftState{9, 9, 9, 9});
      TreeLimits limits;
      limits.features_per_split = fte;
      Tree<int> sorted, counted;
      std::vector<double> sorted_importances(5, 0.0), counted_importances(5, 0.0);
      for (int round = 0; round < 3; ++round) {
        draw_bootstrap_sample(sorting.get_sample(), 1.0, a);
        draw_bootstrap_sample(counting.get_sample(), 1.0, b);
        sorting.grow(task, limits, a, sorted, &sorted_importances);
        counting.grow(task, limits, b, counted, &counted_importances);
        EXPECT_TRUE(sorted == counted) << distinct << " values, fte " << fte << ", round " << round;
        EXPECT_EQ(sorted_importances, counted_importances);
      }
      EXPECT_EQ(a.get_state(), b.get_state());
    };
    for (const int fte : {0, 2}) {
      compare(ClassificationTask<TwoSplitGiniImpurity>(), fte);
      compare(ClassificationTask<TwoSplitInfoGain>(), fte);
      compare(ClassificationTask<TwoSplitGainRatio>(), fte);
    }
  }
}

}  // namespace
}  // namespace Sylvor
