#include "Sylvor/learn/grow.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/learn/task.hpp"
#include "tests/learn/data.hpp"

namespace Sylvor {
namespace {

const XorShiftState some_state{-5, 123456789, -987654321, 42};

using Testing::learn_tree;
using Testing::make_data;

template <class DataSet>
IndexedDataSet<DataSet> all_of(const DataSet& data) {
  IndexedDataSet<DataSet> sample(&data);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) sample.add_index(i);
  return sample;
}

template <class DataSet, class Task = ClassificationTask<TwoSplitGiniImpurity>>
Tree<typename DataSet::label_type> grow(const DataSet& data, int max_depth = 0, int min_leaf = 1,
                                        std::vector<double>* importances = nullptr, int fte = 0,
                                        const Task& task = Task()) {
  XorShiftRNG rng(some_state);
  TreeLimits limits;
  limits.features_per_split = fte;
  limits.max_depth = max_depth;
  limits.min_instances_per_node = min_leaf;
  return learn_tree(task, all_of(data), limits, rng, importances);
}

int depth_of(const Tree<int>& tree) {
  std::vector<int> depth(tree.size(), 0);
  int deepest = 0;
  for (std::size_t k = 0; k < tree.size(); ++k) {
    deepest = std::max(deepest, depth[k]);
    if (!tree.is_leaf(k)) {
      depth[static_cast<std::size_t>(tree.left[k])] = depth[static_cast<std::size_t>(tree.right[k])] = depth[k] + 1;
    }
  }
  return deepest;
}

TEST(LearnTree, EmptySampleGivesABareRoot) {
  const auto data = make_data<float>({{1}}, {0});
  XorShiftRNG rng(some_state);
  const Tree<int> tree = learn_tree(ClassificationTask<TwoSplitGiniImpurity>(),
                                    IndexedDataSet<MemoryDataSet<float, int>>(&data), TreeLimits(), rng);
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_TRUE(tree.is_leaf(0));
  EXPECT_EQ(tree.value[0], -2);
  EXPECT_TRUE(std::isnan(tree.threshold[0]));
  EXPECT_EQ(tree.feature[0], -1);
}

TEST(LearnTree, PureSampleIsOneLeaf) {
  const auto tree = grow(make_data<float>({{1}, {2}, {3}}, {1, 1, 1}));
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree.value[0], 1);
  EXPECT_TRUE(std::isnan(tree.threshold[0]));
}

TEST(LearnTree, SmallNodeRuleMakesTheRootALeaf) {
  const auto data = make_data<float>({{1}, {2}, {3}, {4}, {5}, {6}}, {0, 0, 1, 1, 1, 1});
  for (const int min_leaf : {6, 100, -1}) {
    const auto tree = grow(data, 0, min_leaf);
    ASSERT_EQ(tree.size(), 1u) << min_leaf;
    EXPECT_EQ(tree.value[0], 1);
  }
  EXPECT_GT(grow(data, 0, 5).size(), 1u);
}

TEST(LearnTree, TwoInstanceNodeEndsAsALeafKeepingTheSmallestValue) {
  const auto tree = grow(make_data<double>({{5, 8}, {1, 9}}, {0, 1}), 0, 0);
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree.feature[0], -1);
  EXPECT_TRUE(tree.threshold[0] == 1.0 || tree.threshold[0] == 8.0) << tree.threshold[0];
}

TEST(LearnTree, NodeWithoutACutLeavingTwoOnEachSideIsALeafWithoutImportance) {
  // Three instances: every cut leaves one on a side, so the root is a leaf
  // of the majority class and no feature is credited.
  std::vector<double> importances(2, 0.0);
  const auto tree = grow(make_data<double>({{1, 0}, {2, 0}, {3, 1}}, {0, 1, 1}), 0, 1, &importances);
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree.value[0], 1);
  EXPECT_EQ(importances, (std::vector<double>{0.0, 0.0}));
}

// Label = x0 > 0.5 with a tenth of the labels flipped, x1 noise: below the
// root the best gain-ratio cut of a noisy node tends to set one instance
// apart, which must not end the growth.
MemoryDataSet<double, int> noisy_threshold(int n) {
  std::vector<std::vector<double>> rows;
  std::vector<int> labels;
  XorShiftRNG gen(some_state);
  for (int i = 0; i < n; ++i) {
    rows.push_back({Testing::unit_draw(gen), Testing::unit_draw(gen)});
    labels.push_back((rows.back()[0] > 0.5) != (gen.next_int(10) == 0) ? 1 : 0);
  }
  return make_data<double>(rows, labels);
}

TEST(LearnTree, GainRatioTreeOfANoisyNodeGrowsPastTheFirstSplit) {
  const auto data = noisy_threshold(10000);
  const auto tree = grow(data, 0, 1, nullptr, 0, ClassificationTask<TwoSplitGainRatio>());
  EXPECT_GT(tree.size(), 100u);
  std::size_t right = 0;
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) right += tree.predict(data, i) == data.get_label(i);
  EXPECT_GT(right, 9200u);  // a tree of 17 nodes that stopped at edge cuts fitted 8991
}

std::vector<std::vector<double>> staircase(int n) {
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < n; ++i) rows.push_back({static_cast<double>(i)});
  return rows;
}

// The number of sample instances reaching each node of a tree.
template <class DataSet>
std::vector<std::size_t> node_sizes(const Tree<int>& tree, const DataSet& data) {
  std::vector<std::size_t> sizes(tree.size(), 0);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    std::size_t k = 0;
    for (;;) {
      ++sizes[k];
      if (tree.is_leaf(k)) break;
      const double v = data.features[static_cast<std::size_t>(tree.feature[k])][i];
      k = static_cast<std::size_t>(v < tree.threshold[k] ? tree.left[k] : tree.right[k]);
    }
  }
  return sizes;
}

class SmallestLeaf : public ::testing::TestWithParam<int> {};

TEST_P(SmallestLeaf, NoLeafHoldsFewerAndNodesOfTwiceAsManySplitWhileImpure) {
  const int min_leaf_size = GetParam();
  const auto data = noisy_threshold(400);
  XorShiftRNG rng(some_state);
  TreeLimits limits;
  limits.min_leaf_size = min_leaf_size;
  const Tree<int> tree = learn_tree(ClassificationTask<TwoSplitGiniImpurity>(), all_of(data), limits, rng);
  const std::vector<std::size_t> sizes = node_sizes(tree, data);
  const std::size_t smallest = static_cast<std::size_t>(std::max(1, min_leaf_size));
  for (std::size_t k = 0; k < tree.size(); ++k) {
    EXPECT_GE(sizes[k], smallest) << "node " << k;
  }
  // With leaves of one instance allowed, the tree fits every training
  // instance (no two instances share their values).
  if (smallest == 1) {
    for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
      EXPECT_EQ(tree.predict(data, i), data.get_label(i)) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SmallestLeaf, ::testing::Values(0, 1, 2, 3, 7));

TEST(SmallestLeaf, OneSeparatesThreePointsThatTwoLeavesWhole) {
  const auto data = make_data<double>({{0}, {1}, {2}}, {0, 1, 0});
  for (const int min_leaf_size : {1, 2}) {
    XorShiftRNG rng(some_state);
    TreeLimits limits;
    limits.min_leaf_size = min_leaf_size;
    const Tree<int> tree = learn_tree(ClassificationTask<TwoSplitGiniImpurity>(), all_of(data), limits, rng);
    std::size_t right = 0;
    for (std::size_t i = 0; i < 3; ++i) right += tree.predict(data, i) == data.get_label(i);
    EXPECT_EQ(right, min_leaf_size == 1 ? 3u : 2u) << min_leaf_size;
  }
}

TEST(LearnTree, MaxDepthLimitsTheLevels) {
  // Labels alternate in runs of two, so an unlimited tree is deep.
  std::vector<int> labels;
  for (int i = 0; i < 32; ++i) labels.push_back((i / 2) % 2);
  const auto data = make_data<float>(staircase(32), labels);
  EXPECT_EQ(depth_of(grow(data, 1)), 1);
  EXPECT_EQ(grow(data, 1).size(), 3u);
  EXPECT_EQ(depth_of(grow(data, 2)), 2);
  EXPECT_GT(depth_of(grow(data, 0)), 2);
}

TEST(LearnTree, ClassifiesItsTrainingDataAndNumbersNodesBreadthFirst) {
  std::vector<int> labels;
  for (int i = 0; i < 32; ++i) labels.push_back((i / 4) % 2);
  const auto data = make_data<float>(staircase(32), labels);
  const auto tree = grow(data);
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(tree.predict(data, i), labels[i]) << i;
  int next_child = 1;
  for (std::size_t k = 0; k < tree.size(); ++k) {
    if (tree.is_leaf(k)) {
      EXPECT_EQ(tree.feature[k], -1);
      EXPECT_EQ(tree.right[k], -1);
    } else {
      // Children appended level by level, left then right.
      EXPECT_EQ(tree.left[k], next_child);
      EXPECT_EQ(tree.right[k], next_child + 1);
      next_child += 2;
      EXPECT_EQ(tree.value[k], -2);
      EXPECT_GE(tree.feature[k], 0);
    }
  }
  EXPECT_EQ(static_cast<std::size_t>(next_child), tree.size());
}

TEST(LearnTree, RegressionNodeWithTinyVarianceIsALeafOfItsMean) {
  const auto data = make_data<double, double>({{1}, {2}, {3}}, {2.0, 2.001, 2.002}, 1, Regression);
  const auto tree = grow(data, 0, 1, nullptr, 0, RegressionTask());
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_NEAR(tree.value[0], 2.001, 1e-12);
}

TEST(LearnTree, RegressionSplitsAndPredictsMeans) {
  const auto data =
      make_data<double, double>({{1}, {2}, {3}, {10}, {11}, {12}}, {1.0, 1.0, 1.0, 7.0, 7.0, 7.0}, 1, Regression);
  std::vector<double> importances(1, 0.0);
  const auto tree = grow(data, 0, 1, &importances, 0, RegressionTask());
  EXPECT_EQ(tree.threshold[0], 6.5);
  EXPECT_EQ(tree.predict(data, 0), 1.0);
  EXPECT_EQ(tree.predict(data, 5), 7.0);
  EXPECT_EQ(importances, std::vector<double>{1.0});
}

TEST(LearnTree, SameSampleAndGeneratorStateGiveTheSameTreeAndLeaveTheSampleAlone) {
  std::vector<std::vector<double>> rows;
  std::vector<int> labels;
  XorShiftRNG gen(some_state);
  for (int i = 0; i < 300; ++i) {
    rows.push_back({Testing::unit_draw(gen), static_cast<double>(gen.next_int(4)), Testing::unit_draw(gen)});
    labels.push_back(static_cast<int>(gen.next_int(3)));
  }
  const auto data = make_data<float>(rows, labels, 3);
  const auto first = grow(data, 0, 1, nullptr, 1);
  const auto second = grow(data, 0, 1, nullptr, 1);
  EXPECT_TRUE(first == second);
  EXPECT_EQ(std::memcmp(first.threshold.data(), second.threshold.data(), first.threshold.size() * sizeof(double)), 0);

  const auto sample = all_of(data);
  XorShiftRNG rng(some_state);
  learn_tree(ClassificationTask<TwoSplitInfoGain>(), sample, TreeLimits(), rng);
  EXPECT_EQ(sample.indices, all_of(data).indices);
}

template <class L>
std::size_t leaves_of(const Tree<L>& tree) {
  std::size_t leaves = 0;
  for (std::size_t k = 0; k < tree.size(); ++k) leaves += tree.is_leaf(k);
  return leaves;
}

template <class Task = ClassificationTask<TwoSplitGiniImpurity>, class DataSet>
Tree<typename DataSet::label_type> grow_best_first(const DataSet& data, int max_leaf_nodes,
                                                   std::vector<double>* importances = nullptr,
                                                   const Task& task = Task()) {
  XorShiftRNG rng(some_state);
  TreeLimits limits;
  limits.max_leaf_nodes = max_leaf_nodes;
  return learn_tree(task, all_of(data), limits, rng, importances);
}

class LeafBudget : public ::testing::TestWithParam<int> {};

TEST_P(LeafBudget, BestFirstTreeSpendsItAndIsNumberedBreadthFirst) {
  // Labels in runs of four: the full tree has 8 pure leaves.
  std::vector<int> labels;
  for (int i = 0; i < 32; ++i) labels.push_back((i / 4) % 2);
  const auto data = make_data<float>(staircase(32), labels);
  const int budget = GetParam();
  std::vector<double> importances(1, 0.0);
  const auto tree = grow_best_first(data, budget, &importances);
  EXPECT_EQ(leaves_of(tree), static_cast<std::size_t>(std::min(budget, 8)));
  std::size_t next_child = 1;
  for (std::size_t k = 0; k < tree.size(); ++k) {
    if (tree.is_leaf(k)) {
      EXPECT_EQ(tree.feature[k], -1);
      continue;
    }
    EXPECT_EQ(static_cast<std::size_t>(tree.left[k]), next_child);
    EXPECT_EQ(tree.value[k], -2);
    next_child += 2;
  }
  EXPECT_EQ(importances, std::vector<double>(1, budget > 1 ? 1.0 : 0.0));
  if (budget >= 8) {
    EXPECT_TRUE(tree == grow(data)) << "an unspent budget grows the full tree";
  }
}

INSTANTIATE_TEST_SUITE_P(Budgets, LeafBudget, ::testing::Values(1, 2, 3, 5, 8, 100));

TEST(LeafBudget, SplitsTheNodeOfTheLargestWeightedDecreaseFirst) {
  // Two groups far apart; the right group's own split decreases the
  // weighted variance by 800, the left one's by 8: with three leaves only
  // the right group is split.
  std::vector<double> targets;
  for (int i = 0; i < 16; ++i) targets.push_back(i < 4 ? 0.0 : i < 8 ? 2.0 : i < 12 ? 100.0 : 120.0);
  const auto data = make_data<double, double>(staircase(16), targets, 1, Regression);
  const auto tree = grow_best_first(data, 3, nullptr, RegressionTask());
  ASSERT_EQ(leaves_of(tree), 3u);
  EXPECT_EQ(tree.predict(data, 0), 1.0);
  EXPECT_EQ(tree.predict(data, 8), 100.0);
  EXPECT_EQ(tree.predict(data, 12), 120.0);
}

TEST(TreeGrower, ReusedForManyTreesGrowsEachAsAFreshOneWould) {
  std::vector<std::vector<double>> rows;
  std::vector<int> labels;
  XorShiftRNG gen(some_state);
  for (int i = 0; i < 200; ++i) {
    rows.push_back({Testing::unit_draw(gen), Testing::unit_draw(gen)});
    labels.push_back(rows.back()[0] + 0.2 * rows.back()[1] > 0.6 ? 1 : 0);
  }
  const auto data = make_data<double>(rows, labels);
  const ClassificationTask<TwoSplitGainRatio> task;
  TreeGrower<ClassificationTask<TwoSplitGainRatio>, MemoryDataSet<double, int>> grower(data);
  XorShiftRNG shared(some_state), fresh(some_state);
  Tree<int> tree;
  for (int round = 0; round < 3; ++round) {
    draw_bootstrap_sample(grower.get_sample(), 1.0, shared);
    const auto sample = random_subset_iid(&data, 1.0, fresh);
    grower.grow(task, TreeLimits(), shared, tree, nullptr);
    EXPECT_TRUE(tree == learn_tree(task, sample, TreeLimits(), fresh)) << round;
  }
}


// A tree depends on which instances its sample holds (and how many times),
// not on the order they were drawn in: the same multiset in reversed and
// shuffled orders grows the same tree, for classification on tied values
// and for regression, whose sums depend on the order they are taken in.
template <class Task, class L>
void expect_order_free(const std::vector<std::vector<double>>& rows, const std::vector<L>& labels) {
  const auto data = make_data<double, L>(rows, labels);
  XorShiftRNG draw(some_state);
  const auto drawn = random_subset_iid(&data, 1.0, draw);
  auto reversed = drawn;
  std::reverse(reversed.indices.begin(), reversed.indices.end());
  auto shuffled = drawn;
  XorShiftRNG shuffle(some_state);
  for (std::size_t i = shuffled.indices.size(); i > 1; --i) {
    std::swap(shuffled.indices[i - 1], shuffled.indices[static_cast<std::size_t>(
                                           shuffle.next_int(static_cast<std::int64_t>(i)))]);
  }
  TreeLimits limits;
  limits.features_per_split = 1;
  const Task task;
  XorShiftRNG a(some_state), b(some_state), c(some_state);
  const auto tree = learn_tree(task, drawn, limits, a);
  EXPECT_TRUE(tree == learn_tree(task, reversed, limits, b));
  EXPECT_TRUE(tree == learn_tree(task, shuffled, limits, c));
  EXPECT_GT(tree.size(), 10u);
}

TEST(TreeGrower, TheOrderOfTheSampleDoesNotMatter) {
  std::vector<std::vector<double>> rows;
  std::vector<int> classes;
  std::vector<double> targets;
  XorShiftRNG gen(some_state);
  for (int i = 0; i < 300; ++i) {
    // Few distinct values, many ties; labels noisy in both.
    rows.push_back({static_cast<double>(gen.next_int(7)), std::round(Testing::unit_draw(gen) * 50.0) / 10.0});
    classes.push_back(Testing::unit_draw(gen) < 0.2 ? 1 - (rows.back()[1] > 2.5) : rows.back()[1] > 2.5);
    targets.push_back(rows.back()[0] * 0.3 + rows.back()[1] + Testing::unit_draw(gen));
  }
  expect_order_free<ClassificationTask<TwoSplitGiniImpurity>>(rows, classes);
  expect_order_free<RegressionTask>(rows, targets);
}

}  // namespace
}  // namespace Sylvor
