// Missing values learned in the split search: the scan against brute force
// on random nodes, the side recorded and followed by every walk, and the
// larger-child rule of nodes that had no missing value.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <limits>
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

// A node of one feature: values (NaN for missing) and labels.
template <class L>
struct Node {
  std::vector<double> values;
  std::vector<L> labels;
};

// A random node: n values from few distinct ones (so ties are common),
// each missing with probability `missing_share`; labels from 0 .. classes
// - 1, or real targets when classes is 0.
template <class L>
Node<L> random_node(XorShiftRNG& gen, std::size_t n, double missing_share, int classes) {
  Node<L> node;
  const int distinct = 1 + static_cast<int>(gen.next_int(8));
  for (std::size_t i = 0; i < n; ++i) {
    const bool absent = Testing::unit_draw(gen) < missing_share;
    node.values.push_back(absent ? missing : static_cast<double>(gen.next_int(distinct)));
    node.labels.push_back(classes > 0 ? static_cast<L>(gen.next_int(classes))
                                      : static_cast<L>(std::round(Testing::unit_draw(gen) * 4)));
  }
  return node;
}

template <class Task, class L>
typename Task::template Summary<L> summary_of(const Task& task, const Node<L>& node, int classes,
                                              const std::vector<char>& taken) {
  typename Task::template Summary<L> summary;
  std::vector<L> labels;
  for (std::size_t i = 0; i < node.labels.size(); ++i) {
    if (taken[i]) labels.push_back(node.labels[i]);
  }
  MemoryDataSet<double, L> range;
  range.set_labeling(classes > 0 ? classes : 1, classes > 0 ? DiscreteZeroOnward : Regression);
  for (const L label : labels) range.add_instance(label, &missing, &missing);
  task.summarize(range, summary);
  return summary;
}

// The criterion's score of sending `go_left` instances left, from fresh
// summaries.
template <class Task, class L>
double score_from_scratch(const Task& task, const Node<L>& node, int classes, const std::vector<char>& go_left) {
  std::vector<char> all(node.values.size(), 1), go_right(node.values.size());
  for (std::size_t i = 0; i < go_left.size(); ++i) go_right[i] = !go_left[i];
  const auto whole = summary_of(task, node, classes, all);
  const double node_value = task.criterion.get_initial(whole);
  return task.criterion(node_value, summary_of(task, node, classes, go_left),
                        summary_of(task, node, classes, go_right));
}

// Which instances go left at a cut: values below the threshold, and the
// missing ones when they go left.
template <class L>
std::vector<char> left_of_cut(const Node<L>& node, double threshold, bool missing_left) {
  std::vector<char> left;
  for (const double v : node.values) left.push_back(std::isnan(v) ? missing_left : v < threshold);
  return left;
}

// The cuts the scan considers: between distinct present values, sorted by
// value and then label, once a label other than the one after the last
// considered cut has been met (a run of one label is not cut), and where
// some side of the missing values leaves min_leaf entries on each side.
template <class L>
std::vector<double> considered_cuts(const Node<L>& node, std::size_t min_leaf) {
  std::vector<std::pair<double, L>> present;
  for (std::size_t i = 0; i < node.values.size(); ++i) {
    if (!std::isnan(node.values[i])) present.emplace_back(node.values[i], node.labels[i]);
  }
  std::sort(present.begin(), present.end());
  const std::size_t n = present.size(), m = node.values.size() - n;
  std::vector<double> cuts;
  if (n == 0) return cuts;
  L ref = present[0].second;
  bool changed = false;
  for (std::size_t i = 1; i < n; ++i) {
    changed = changed || present[i].second != ref;
    const bool admissible = (i + m >= min_leaf && n - i >= min_leaf) || (i >= min_leaf && n - i + m >= min_leaf);
    if (changed && present[i - 1].first != present[i].first && admissible) {
      cuts.push_back((present[i - 1].first + present[i].first) * 0.5);
      ref = present[i].second;
      changed = false;
    }
  }
  return cuts;
}

// The best score, from scratch, of every cut the scan considers with the
// missing values on either side, and of all present values left with the
// missing ones right; cuts leaving fewer than min_leaf entries on a side
// are passed over. NaN without a cut.
template <class Task, class L>
double brute_force_best(const Task& task, const Node<L>& node, int classes, std::size_t min_leaf) {
  std::vector<std::pair<double, bool>> cuts;
  for (const double threshold : considered_cuts(node, min_leaf)) {
    cuts.emplace_back(threshold, true);
    cuts.emplace_back(threshold, false);
  }
  cuts.emplace_back(std::numeric_limits<double>::infinity(), false);
  double best = missing;
  for (const auto& [threshold, missing_left] : cuts) {
    const std::vector<char> left = left_of_cut(node, threshold, missing_left);
    const std::size_t nl = static_cast<std::size_t>(std::count(left.begin(), left.end(), 1));
    if (nl < min_leaf || left.size() - nl < min_leaf) continue;
    const double score = score_from_scratch(task, node, classes, left);
    if (!(score <= best)) best = score;
  }
  return best;
}

// The split find_split chooses on the node, missing values kept aside.
template <class Task, class L>
NodeResult<double> split_of(const Task& task, const Node<L>& node, int classes, std::size_t min_leaf) {
  const MemoryDataSet<double, L> one_feature = Testing::one_feature_data(node.values, node.labels, classes);
  Splitter<Task, MemoryDataSet<double, L>> splitter(one_feature);
  for (std::size_t i = 0; i < node.values.size(); ++i) splitter.get_sample().add_index(i);
  typename Task::template Summary<L> summary;
  task.summarize(splitter.node_labels(0, node.values.size()), summary);
  XorShiftRNG rng(XorShiftState{1, 2, 3, 4});
  return splitter.find_split(task, 0, node.values.size(), summary, 0, rng, min_leaf, true);
}

struct ScanCase {
  const char* criterion;
  int classes;  // 0: regression
  std::size_t min_leaf;
  double missing_share;
};

std::ostream& operator<<(std::ostream& out, const ScanCase& c) {
  return out << c.criterion << ", " << c.classes << " classes, smallest leaf " << c.min_leaf << ", missing share "
             << c.missing_share;
}

class MissingAsideScan : public ::testing::TestWithParam<ScanCase> {};

// The cut chosen scores, from scratch, as well as the best admissible cut
// of brute force (exactly for class counts, to rounding for variances).
template <class Task, class L>
void check_against_brute_force(const Task& task, const ScanCase& c) {
  XorShiftRNG gen(XorShiftState{7, 7, static_cast<std::int64_t>(c.min_leaf), c.classes});
  for (int trial = 0; trial < 300; ++trial) {
    const Node<L> node = random_node<L>(gen, 2 + gen.next_int(25), c.missing_share, c.classes);
    const NodeResult<double> chosen = split_of(task, node, c.classes, c.min_leaf);
    const double best = brute_force_best(task, node, c.classes, c.min_leaf);
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    if (chosen.feature_index < 0 || std::isnan(best)) {
      EXPECT_TRUE(chosen.feature_index < 0 && std::isnan(best) ? true : chosen.best_improvement <= 0.0);
      continue;
    }
    const double got =
        score_from_scratch(task, node, c.classes, left_of_cut(node, chosen.threshold, chosen.missing_left));
    std::vector<char> all(node.values.size(), 1);
    const double no_cut = task.criterion.get_initial_score(
        task.criterion.get_initial(summary_of(task, node, c.classes, all)));
    if (best <= no_cut) continue;  // no cut improves: the scan keeps its no-cut candidate
    if (c.classes > 0) {
      EXPECT_EQ(got, best);

    } else {
      EXPECT_NEAR(got, best, 1e-9 * (1 + std::fabs(best)));
    }
  }
}

TEST_P(MissingAsideScan, ChoosesACutAsGoodAsBruteForce) {
  const ScanCase c = GetParam();
  const std::string criterion = c.criterion;
  if (criterion == "gini") check_against_brute_force<ClassificationTask<TwoSplitGiniImpurity>, int>({}, c);
  if (criterion == "infogain") check_against_brute_force<ClassificationTask<TwoSplitInfoGain>, int>({}, c);
  if (criterion == "variance") check_against_brute_force<RegressionTask, double>({}, c);
}

INSTANTIATE_TEST_SUITE_P(Nodes, MissingAsideScan,
                         ::testing::Values(ScanCase{"gini", 2, 1, 0.2}, ScanCase{"gini", 3, 2, 0.3},
                                           ScanCase{"gini", 2, 3, 0.5}, ScanCase{"infogain", 2, 1, 0.2},
                                           ScanCase{"infogain", 3, 2, 0.4}, ScanCase{"variance", 0, 1, 0.2},
                                           ScanCase{"variance", 0, 3, 0.4}));

TEST(MissingAsideScan, SendsEveryPresentValueLeftWhenMissingnessIsTheSignal) {
  // One present value: only the cut of present against missing separates.
  const Node<int> node{{1, 1, 1, missing, missing, missing}, {0, 0, 0, 1, 1, 1}};
  const NodeResult<double> chosen = split_of(ClassificationTask<TwoSplitGiniImpurity>(), node, 2, 1);
  EXPECT_EQ(chosen.threshold, std::numeric_limits<double>::infinity());
  EXPECT_FALSE(chosen.missing_left);
  EXPECT_TRUE(chosen.missing_seen);
}

TEST(MissingAsideScan, CountsMissingEntriesOnTheirSideForTheSmallestLeaf) {
  // Cutting 1 | 2 2 2 leaves one present entry left: admissible with a
  // smallest leaf of 3 only when both missing entries join it.
  const Node<int> node{{1, 2, 2, 2, missing, missing}, {0, 1, 1, 1, 0, 0}};
  const NodeResult<double> chosen = split_of(ClassificationTask<TwoSplitGiniImpurity>(), node, 2, 3);
  EXPECT_EQ(chosen.threshold, 1.5);
  EXPECT_TRUE(chosen.missing_left);
}

// A data set whose class is whether feature 0 is missing, feature 1 noise.
MemoryDataSet<double, int> missing_is_the_class(int n) {
  MemoryDataSet<double, int> data;
  data.set_num_features(2);
  data.set_labeling(2, DiscreteZeroOnward);
  XorShiftRNG gen(XorShiftState{9, 9, 9, 9});
  for (int i = 0; i < n; ++i) {
    const bool absent = gen.next_int(3) == 0;
    const double row[] = {absent ? missing : Testing::unit_draw(gen), Testing::unit_draw(gen)};
    data.add_instance(absent ? 1 : 0, row, row + 2);
  }
  return data;
}

template <class DataSet>
Tree<typename DataSet::label_type> grown(const DataSet& data, TreeLimits limits) {
  IndexedDataSet<DataSet> sample(&data);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) sample.add_index(i);
  XorShiftRNG rng(XorShiftState{4, 4, 4, 4});
  return Testing::learn_tree(ClassificationTask<TwoSplitGiniImpurity>(), sample, limits, rng);
}

class GrownWithMissingSides : public ::testing::TestWithParam<int> {};  // max_leaf_nodes

TEST_P(GrownWithMissingSides, TreeAndFlatWalksReachTheLeavesTheTrainingRowsFormed) {
  const MemoryDataSet<double, int> data = missing_is_the_class(300);
  TreeLimits limits;
  limits.learn_missing_sides = true;
  limits.max_leaf_nodes = GetParam();
  const Tree<int> tree = grown(data, limits);
  EXPECT_TRUE(tree.missing_learned);
  EXPECT_EQ(tree.size(), 3u);  // one split separates the classes
  const FlatForest<int> flat(Forest<int>{tree});
  const auto columns = column_pointers(data);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    EXPECT_EQ(tree.predict(data, i), data.labels[i]) << i;
    EXPECT_EQ(flat.leaf_of(0, columns.data(), i), tree.leaf_of(data, i)) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(BreadthAndBestFirst, GrownWithMissingSides, ::testing::Values(0, 4));

TEST(GrownWithMissingSides, MedianFilledDataCannotSeparateWhatMissingnessDecides) {
  MemoryDataSet<double, int> data = missing_is_the_class(300);
  data.impute();
  TreeLimits limits;
  limits.max_depth = 1;
  const Tree<int> tree = grown(data, limits);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) wrong += tree.predict(data, i) != data.labels[i];
  EXPECT_GT(wrong, 10u);
}

TEST(GrownWithMissingSides, NodesWithoutMissingValuesSendThemToTheLargerChild) {
  const MemoryDataSet<float, int> data = Testing::three_classes(400);
  TreeLimits limits;
  limits.learn_missing_sides = true;
  const Tree<int> tree = grown(data, limits);
  std::vector<std::size_t> reached(tree.size(), 0);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    for (std::size_t k = 0;; k = static_cast<std::size_t>(tree.goes_left(k, data.features[tree.feature[k]][i])
                                                               ? tree.left[k]
                                                               : tree.right[k])) {
      ++reached[k];
      if (tree.is_leaf(k)) break;
    }
  }
  for (std::size_t k = 0; k < tree.size(); ++k) {
    if (tree.is_leaf(k)) continue;
    const std::size_t l = static_cast<std::size_t>(tree.left[k]), r = static_cast<std::size_t>(tree.right[k]);
    EXPECT_EQ(tree.missing_left[k] != 0, reached[l] > reached[r]) << "node " << k;
  }
  // The same tree otherwise as without missing sides.
  limits.learn_missing_sides = false;
  Tree<int> plain = grown(data, limits);
  plain.missing_left = tree.missing_left;
  plain.missing_learned = true;
  EXPECT_EQ(plain, tree);
}

}  // namespace
}  // namespace Sylvor
