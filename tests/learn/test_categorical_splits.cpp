// Categorical splits: the levels ordered and cut as a number find the best
// partition of the levels (and side of the missing values) that brute force
// over every subset finds, for two classes and regression; the set chosen
// is the one growth records and every walk follows.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/learn/grow.hpp"
#include "Sylvor/learn/splitter.hpp"
#include "Sylvor/learn/task.hpp"
#include "Sylvor/model/flat_forest.hpp"
#include "tests/learn/data.hpp"

namespace Sylvor {
namespace {

const double missing = std::numeric_limits<double>::quiet_NaN();

template <class L>
struct LevelNode {
  std::vector<double> levels;  // level numbers, NaN for missing
  std::vector<L> labels;
  std::uint32_t num_levels;
};

template <class L>
LevelNode<L> random_level_node(XorShiftRNG& gen, int classes, double missing_share) {
  LevelNode<L> node;
  node.num_levels = 2 + static_cast<std::uint32_t>(gen.next_int(5));
  const std::size_t n = 4 + static_cast<std::size_t>(gen.next_int(30));
  // Each level leans to its own share of the classes (or mean target).
  std::vector<double> lean(node.num_levels);
  for (double& v : lean) v = Testing::unit_draw(gen);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t level = static_cast<std::uint32_t>(gen.next_int(node.num_levels));
    const bool absent = Testing::unit_draw(gen) < missing_share;
    node.levels.push_back(absent ? missing : static_cast<double>(level));
    const double u = Testing::unit_draw(gen);
    node.labels.push_back(classes > 0 ? static_cast<L>(u < lean[level] ? 1 : 0)
                                      : static_cast<L>(std::round(4 * lean[level] + 2 * u)));
  }
  return node;
}

template <class Task, class L>
using Summary = typename Task::template Summary<L>;

template <class Task, class L>
Summary<Task, L> summary_of(const Task& task, const LevelNode<L>& node, int classes, const std::vector<char>& taken) {
  MemoryDataSet<double, L> range;
  range.set_labeling(classes > 0 ? classes : 1, classes > 0 ? DiscreteZeroOnward : Regression);
  for (std::size_t i = 0; i < node.labels.size(); ++i) {
    if (taken[i]) range.add_instance(node.labels[i], &missing, &missing);
  }
  Summary<Task, L> summary;
  task.summarize(range, summary);
  return summary;
}

// The score of sending `left` instances left, from fresh summaries; NaN
// when a side holds fewer than min_leaf.
template <class Task, class L>
double score_of(const Task& task, const LevelNode<L>& node, int classes, const std::vector<char>& left,
                std::size_t min_leaf) {
  std::vector<char> all(left.size(), 1), right(left.size());
  std::size_t nl = 0;
  for (std::size_t i = 0; i < left.size(); ++i) {
    right[i] = !left[i];
    nl += left[i] != 0;
  }
  if (nl < min_leaf || left.size() - nl < min_leaf) return missing;
  const double node_value = task.criterion.get_initial(summary_of(task, node, classes, all));
  return task.criterion(node_value, summary_of(task, node, classes, left), summary_of(task, node, classes, right));
}

template <class L>
std::vector<char> left_of(const LevelNode<L>& node, std::uint32_t subset, bool missing_left) {
  std::vector<char> left;
  for (const double v : node.levels) {
    left.push_back(std::isnan(v) ? missing_left : (subset >> static_cast<unsigned>(v) & 1u) != 0);
  }
  return left;
}

// The best score of every subset of the levels sent left with the missing
// values on either side.
template <class Task, class L>
double brute_force_best(const Task& task, const LevelNode<L>& node, int classes, std::size_t min_leaf) {
  double best = missing;
  for (std::uint32_t subset = 0; subset < (1u << node.num_levels); ++subset) {
    for (const bool missing_left : {false, true}) {
      const double score = score_of(task, node, classes, left_of(node, subset, missing_left), min_leaf);
      if (!std::isnan(score) && !(score <= best)) best = score;
    }
  }
  return best;
}

// The split growth makes of the node: the feature's levels and missing side.
template <class Task, class L>
Tree<L> one_split(const Task& task, const LevelNode<L>& node, int classes, std::size_t min_leaf) {
  const MemoryDataSet<double, L> data = Testing::one_feature_data(node.levels, node.labels, classes);
  IndexedDataSet<MemoryDataSet<double, L>> sample(&data);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) sample.add_index(i);
  TreeLimits limits;
  limits.max_depth = 1;
  limits.min_leaf_size = static_cast<int>(min_leaf);
  limits.learn_missing_sides = true;
  limits.feature_levels = {node.num_levels};
  if constexpr (Task::is_regression) limits.min_instances_per_node = 1;
  XorShiftRNG rng(XorShiftState{2, 7, 1, 8});
  return Testing::learn_tree(task, sample, limits, rng);
}

struct LevelCase {
  const char* criterion;
  std::size_t min_leaf;
  double missing_share;
};

std::ostream& operator<<(std::ostream& out, const LevelCase& c) {
  return out << c.criterion << ", smallest leaf " << c.min_leaf << ", missing share " << c.missing_share;
}

class LevelPartitions : public ::testing::TestWithParam<LevelCase> {};

// Without a smallest leaf (min_leaf 1) the ordered levels hold the best
// partition, which the split must score as brute force does; a smallest
// leaf may rule out every cut of the order that reaches it, so there the
// split need only leave min_leaf entries on each side.
template <class Task, class L>
void check_partitions(const Task& task, const LevelCase& c) {
  const int classes = Task::is_regression ? 0 : 2;
  XorShiftRNG gen(XorShiftState{11, static_cast<std::int64_t>(c.min_leaf), 13, 17});
  int split = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const LevelNode<L> node = random_level_node<L>(gen, classes, c.missing_share);
    const double best = brute_force_best(task, node, classes, c.min_leaf);
    std::vector<char> all(node.labels.size(), 1);
    const double no_cut =
        task.criterion.get_initial_score(task.criterion.get_initial(summary_of(task, node, classes, all)));
    const Tree<L> tree = one_split(task, node, classes, c.min_leaf);
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    if (tree.size() == 1) {
      // No split: nothing improves on the node (or the node is pure).
      if (c.min_leaf == 1) {
        EXPECT_FALSE(best > no_cut + 1e-9 * (1 + std::fabs(no_cut))) << best << " " << no_cut;
      }
      continue;
    }
    ++split;
    ASSERT_TRUE(tree.tests_levels(0));
    std::uint32_t subset = 0;
    for (const std::uint32_t level : tree.left_levels(0)) subset |= 1u << level;
    const double got = score_of(task, node, classes, left_of(node, subset, tree.missing_left[0] != 0), c.min_leaf);
    ASSERT_FALSE(std::isnan(got)) << "a side holds fewer than " << c.min_leaf;
    if (c.min_leaf > 1) continue;
    if (classes > 0) {
      EXPECT_EQ(got, best);
    } else {
      EXPECT_NEAR(got, best, 1e-9 * (1 + std::fabs(best)));
    }
  }
  EXPECT_GT(split, 100);
}

TEST_P(LevelPartitions, AreTheBestOfEverySubset) {
  const LevelCase c = GetParam();
  const std::string criterion = c.criterion;
  if (criterion == "gini") check_partitions<ClassificationTask<TwoSplitGiniImpurity>, int>({}, c);
  if (criterion == "infogain") check_partitions<ClassificationTask<TwoSplitInfoGain>, int>({}, c);
  if (criterion == "variance") check_partitions<RegressionTask, double>(RegressionTask(0.0), c);
}

INSTANTIATE_TEST_SUITE_P(Nodes, LevelPartitions,
                         ::testing::Values(LevelCase{"gini", 1, 0.0}, LevelCase{"gini", 1, 0.2},
                                           LevelCase{"gini", 1, 0.5}, LevelCase{"gini", 3, 0.3},
                                           LevelCase{"infogain", 1, 0.0}, LevelCase{"infogain", 1, 0.3},
                                           LevelCase{"variance", 1, 0.0}, LevelCase{"variance", 1, 0.3},
                                           LevelCase{"variance", 2, 0.3}));

// Rows whose class (of `classes`) is fixed by the level of feature 0 (of
// `levels` levels, a tenth missing (of class 0) unless not `with_missing`);
// feature 1 is noise.
MemoryDataSet<float, int> classes_by_level(int n, std::uint32_t levels, int classes, bool with_missing = true) {
  MemoryDataSet<float, int> data;
  data.set_num_features(2);
  data.set_labeling(classes, DiscreteZeroOnward);
  XorShiftRNG gen(XorShiftState{5, 6, 7, static_cast<std::int64_t>(levels)});
  std::vector<int> class_of(levels);
  for (int& c : class_of) c = static_cast<int>(gen.next_int(classes));
  for (int i = 0; i < n; ++i) {
    const std::uint32_t level = static_cast<std::uint32_t>(gen.next_int(levels));
    const bool absent = gen.next_int(10) == 0 && with_missing;
    const double row[] = {absent ? missing : static_cast<double>(level), Testing::unit_draw(gen)};
    data.add_instance(absent ? 0 : class_of[level], row, row + 2);
  }
  return data;
}

struct ManyLevels {
  std::uint32_t levels;
  int classes;
  int max_leaf_nodes;
};

class LevelTrees : public ::testing::TestWithParam<ManyLevels> {};

TEST_P(LevelTrees, LearnTheirLevelsAndWalkAlikeInTreeAndFlatForm) {
  const ManyLevels c = GetParam();
  const MemoryDataSet<float, int> data = classes_by_level(3000, c.levels, c.classes);
  IndexedDataSet<MemoryDataSet<float, int>> sample(&data);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) sample.add_index(i);
  TreeLimits limits;
  limits.learn_missing_sides = true;
  limits.min_leaf_size = 1;
  limits.max_leaf_nodes = c.max_leaf_nodes;
  limits.feature_levels = {c.levels, 0};
  XorShiftRNG rng(XorShiftState{3, 1, 4, 1});
  const Tree<int> tree = Testing::learn_tree(ClassificationTask<TwoSplitGiniImpurity>(), sample, limits, rng);
  std::size_t right = 0;
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) right += tree.predict(data, i) == data.labels[i];
  EXPECT_EQ(right, data.get_num_instances());
  // Unseen levels (beyond the set of every node) and missing values walk
  // alike in both forms.
  MemoryDataSet<float, int> other = data;
  for (std::size_t i = 0; i < other.get_num_instances(); i += 7) other.features[0][i] = static_cast<float>(c.levels + i);
  const FlatForest<int> flat(Forest<int>{tree});
  const auto columns = column_pointers(other);
  for (std::size_t i = 0; i < other.get_num_instances(); ++i) {
    ASSERT_EQ(flat.leaf_of(0, columns.data(), i), tree.leaf_of(other, i)) << i;
  }
}

TEST_P(LevelTrees, AreTheSameWhereNumericFeaturesAreCounted) {
  const ManyLevels c = GetParam();
  const MemoryDataSet<float, int> data = classes_by_level(30000, c.levels, c.classes, false);
  typedef ClassificationTask<TwoSplitGiniImpurity> Task;
  const ValueRanks<float> ranks = rank_features<Task>(data);
  ASSERT_NE(ranks.of(0), nullptr);  // few values: the numeric scan would count them
  TreeLimits limits;
  limits.learn_missing_sides = true;
  limits.feature_levels = {c.levels, 0};
  Tree<int> trees[2];
  for (int counted = 0; counted < 2; ++counted) {
    TreeGrower<Task, MemoryDataSet<float, int>> grower(data, counted ? &ranks : nullptr);
    grower.set_counting(NodeCounting::Always);
    for (std::size_t i = 0; i < data.get_num_instances(); ++i) grower.get_sample().add_index(i);
    XorShiftRNG rng(XorShiftState{9, 8, 7, 6});
    grower.grow(Task(), limits, rng, trees[counted], nullptr);
  }
  EXPECT_TRUE(trees[0] == trees[1]);
  EXPECT_TRUE(trees[1].tests_levels(0));
}

INSTANTIATE_TEST_SUITE_P(Levels, LevelTrees,
                         ::testing::Values(ManyLevels{5, 2, 0}, ManyLevels{300, 2, 0}, ManyLevels{300, 2, 400},
                                           ManyLevels{70, 4, 0}, ManyLevels{1000, 3, 0}));

}  // namespace
}  // namespace Sylvor
