#include "Sylvor/learn/learn_forest.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <numeric>

#include "Sylvor/dataset/dataset.hpp"

namespace Sylvor {
namespace {

// Three classes decided by the first two of four features, the others noise.
MemoryDataSet<float, int> three_classes(int n) {
  MemoryDataSet<float, int> data;
  data.set_num_features(4);
  data.set_labeling(3, DiscreteZeroOnward);
  XorShiftRNG gen(XorShiftState{3, 1, 4, 1});
  for (int i = 0; i < n; ++i) {
    const double row[] = {gen.next_double(), gen.next_double(), gen.next_double(),
                          static_cast<double>(gen.next_int(5))};
    const int label = row[0] < 0.3 ? 0 : (row[1] < 0.5 ? 1 : 2);
    data.add_instance(label, row, row + 4);
  }
  return data;
}

struct Forest {
  std::vector<Node<int>*> roots;
  ~Forest() {
    for (auto* r : roots) delete r;
  }
  std::vector<VectorizedTree<int>> arrays() const {
    std::vector<VectorizedTree<int>> trees(roots.size());
    for (std::size_t k = 0; k < roots.size(); ++k) trees[k].root_to_vector(roots[k]);
    return trees;
  }
};

bool same_trees(const VectorizedTree<int>& a, const VectorizedTree<int>& b) {
  if (a.left != b.left || a.right != b.right || a.feature_index != b.feature_index || a.label != b.label) {
    return false;
  }
  for (std::size_t k = 0; k < a.threshold.size(); ++k) {
    if (!(a.threshold[k] == b.threshold[k] || (std::isnan(a.threshold[k]) && std::isnan(b.threshold[k])))) {
      return false;
    }
  }
  return true;
}

class ThreadCount : public ::testing::Test {
protected:
  void TearDown() override { omp_set_num_threads(saved); }
  void use_threads(int n) {
    omp_set_num_threads(n);
    init_pool("", 17);
  }
  int saved = omp_get_max_threads();
};

TEST(TreeBlocks, ContiguousBlocksOfTheCeiling) {
  std::vector<long> sizes;
  for (long t = 0; t < 4; ++t) {
    const auto [b, e] = block_range(10, 4, t);
    sizes.push_back(e - b);
  }
  EXPECT_EQ(sizes, (std::vector<long>{3, 3, 3, 1}));
  EXPECT_EQ(block_range(10, 4, 3), (std::pair<long, long>{9, 10}));
  EXPECT_EQ(block_range(2, 4, 1), (std::pair<long, long>{1, 2}));
  EXPECT_EQ(block_range(2, 4, 3), (std::pair<long, long>{2, 2}));
}

TEST_F(ThreadCount, SameSeedAndThreadsGiveTheSameForest) {
  const auto data = three_classes(400);
  use_threads(3);
  std::vector<double> imp(4);
  Forest first{learn_forest(data, 7, 1.0, 2, 0, 1, TwoSplitGainRatio(), true, imp)};
  use_threads(3);
  Forest second{learn_forest(data, 7, 1.0, 2, 0, 1, TwoSplitGainRatio(), true, imp)};
  const auto a = first.arrays(), b = second.arrays();
  ASSERT_EQ(a.size(), 7u);
  for (std::size_t k = 0; k < 7; ++k) EXPECT_TRUE(same_trees(a[k], b[k])) << k;
  // Trees of one forest differ from each other (their samples differ).
  EXPECT_FALSE(same_trees(a[0], a[1]));
}

TEST_F(ThreadCount, FewerTreesThanThreads) {
  const auto data = three_classes(100);
  use_threads(4);
  std::vector<double> imp;
  Forest forest{learn_forest(data, 2, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp)};
  ASSERT_EQ(forest.roots.size(), 2u);
  EXPECT_NE(forest.roots[0], nullptr);
  EXPECT_NE(forest.roots[1], nullptr);
}

TEST_F(ThreadCount, FirstTreeOfEachThreadUsesThatThreadsGenerator) {
  // Thread t's first tree is grown from slot t's fresh generator, so with
  // two threads tree 0 equals tree 0 of a one-thread forest, and tree
  // ceil(n / 2) equals the first tree grown from generator 1.
  const auto data = three_classes(200);
  use_threads(1);
  std::vector<double> imp;
  Forest single{learn_forest(data, 1, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp)};
  use_threads(2);
  Forest pair{learn_forest(data, 4, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp)};
  EXPECT_TRUE(same_trees(single.arrays()[0], pair.arrays()[0]));
}

TEST_F(ThreadCount, ImportancesSumToOne) {
  const auto data = three_classes(500);
  use_threads(2);
  std::vector<double> imp(4, 123.0);
  Forest forest{learn_forest(data, 6, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), true, imp)};
  EXPECT_NEAR(std::accumulate(imp.begin(), imp.end(), 0.0), 1.0, 1e-12);
  EXPECT_GT(imp[0], imp[2]);  // informative beats noise
  EXPECT_GT(imp[1], imp[3]);
}

TEST_F(ThreadCount, ImportancesAreResetEvenWhenNotRequested) {
  const auto data = three_classes(50);
  use_threads(2);
  std::vector<double> imp(4, 5.0);
  Forest forest{learn_forest(data, 2, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp)};
  EXPECT_EQ(imp, std::vector<double>(4, 0.0));
}

TEST_F(ThreadCount, PureTreesAndEmptyForestsLeaveZeroImportances) {
  MemoryDataSet<float, int> data;
  data.set_num_features(2);
  const double row[] = {1, 2};
  for (int i = 0; i < 10; ++i) data.add_instance(1, row, row + 2);
  use_threads(2);
  std::vector<double> imp(2, 9.0);
  Forest pure{learn_forest(data, 3, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), true, imp)};
  EXPECT_EQ(imp, std::vector<double>(2, 0.0));
  Forest none{learn_forest(data, 0, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), true, imp)};
  EXPECT_TRUE(none.roots.empty());
  EXPECT_EQ(imp, std::vector<double>(2, 0.0));
}

TEST(LearnForest, RejectsUnusableInput) {
  init_pool("", 3);
  std::vector<double> imp;
  MemoryDataSet<float, int> empty;
  try {
    learn_forest(empty, 3, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp);
    FAIL();
  } catch (const IncompatibleDataException& e) {
    EXPECT_EQ(e.get_message(), "data set is empty");
  }
  const auto data = three_classes(10);
  try {
    learn_forest(data, -1, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "number of trees must not be negative: -1");
  }
}

TEST(LearnForest, LabelsOutsideTheClassesAreRejected) {
  init_pool("", 3);
  std::vector<double> imp;
  MemoryDataSet<float, int> data;
  data.set_num_features(1);
  data.set_labeling(2, DiscreteZeroOnward);
  const double v = 1;
  for (const int label : {0, 1, 2, 3}) data.add_instance(label, &v, &v + 1);
  try {
    learn_forest(data, 3, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp);
    FAIL();
  } catch (const IncompatibleDataException& e) {
    EXPECT_EQ(e.get_message(), "label 3 of instance 3 is not a class of the data set (classes -1 to 2 for 2 "
                           "classes; declare the classes with 'label' lines in the description)");
  }
  MemoryDataSet<float, int> unlabelled;
  unlabelled.set_num_features(1);
  unlabelled.add_instance(-2, &v, &v + 1);
  EXPECT_THROW(learn_forest(unlabelled, 1, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp),
               IncompatibleDataException);
}

TEST_F(ThreadCount, ErrorInsideTheTeamIsRethrownOnTheCaller) {
  const auto data = three_classes(50);
  omp_set_num_threads(3);
  get_pool("", 2, 9, true);  // no generator for thread 2
  std::vector<double> imp;
  try {
    learn_forest(data, 6, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_NE(e.get_message().find("no random number generator for thread 2"), std::string::npos);
  }
}

TEST_F(ThreadCount, RegressionForest) {
  MemoryDataSet<double, double> data;
  data.set_num_features(2);
  data.set_labeling(1, Regression);
  XorShiftRNG gen(XorShiftState{2, 7, 1, 8});
  for (int i = 0; i < 300; ++i) {
    const double row[] = {gen.next_double(), gen.next_double()};
    data.add_instance(row[0] < 0.5 ? 1.0 + row[1] * 0.001 : 9.0, row, row + 2);
  }
  use_threads(2);
  std::vector<double> imp(2);
  std::vector<Node<double>*> forest = learn_forest(data, 4, 0.632, 0, 0, 5, TwoSplitVariance(), true, imp);
  for (std::size_t i = 0; i < 300; i += 37) {
    const double expected = data.features[0][i] < 0.5 ? 1.0 : 9.0;
    for (auto* root : forest) EXPECT_NEAR(root->predict(data, i), expected, 0.05) << i;
  }
  EXPECT_GT(imp[0], 0.9);
  for (auto* root : forest) delete root;
}

}  // namespace
}  // namespace Sylvor

#include "Sylvor/learn/forest_classifier.hpp"
#include "Sylvor/learn/out_of_bag.hpp"

namespace Sylvor {
namespace {

TEST_F(ThreadCount, OutOfBagErrorMatchesVotesOfTheTreesThatLeftEachInstanceOut) {
  const auto data = three_classes(300);
  use_threads(2);
  std::vector<double> imp;
  std::vector<std::vector<bool>> in_bag;
  Forest forest{learn_forest(data, 9, 1.0, 2, 0, 1, TwoSplitGiniImpurity(), false, imp, &in_bag)};
  ASSERT_EQ(in_bag.size(), 9u);
  const OutOfBagEstimate estimate = out_of_bag_estimate(data, forest.roots, in_bag);

  // Brute force: a predictor of just the out-of-bag trees, instance by instance.
  std::size_t wrong = 0, evaluated = 0;
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    std::vector<Node<int>*> out_of_bag;
    for (std::size_t k = 0; k < forest.roots.size(); ++k) {
      if (!in_bag[k][i]) out_of_bag.push_back(forest.roots[k]);
    }
    if (out_of_bag.empty()) continue;
    BaseForestClassifier predictor(3);
    predictor.use_forest(out_of_bag);
    ++evaluated;
    wrong += predictor.predict(data, i) != data.get_label(i);
  }
  EXPECT_EQ(estimate.evaluated, evaluated);
  EXPECT_EQ(estimate.without, data.get_num_instances() - evaluated);
  EXPECT_EQ(estimate.error, static_cast<double>(wrong) / static_cast<double>(evaluated));
  EXPECT_LT(estimate.error, 0.2);

  // Recording the samples changes no draw: the same forest without it.
  use_threads(2);
  Forest plain{learn_forest(data, 9, 1.0, 2, 0, 1, TwoSplitGiniImpurity(), false, imp)};
  const auto a = forest.arrays(), b = plain.arrays();
  for (std::size_t k = 0; k < a.size(); ++k) EXPECT_TRUE(same_trees(a[k], b[k])) << k;
}

// Regression on three features: the target follows feature 0, feature 1 is
// noise and feature 2 is constant (never tested by any split).
MemoryDataSet<double, double> one_informative_regression(int n) {
  MemoryDataSet<double, double> data;
  data.set_num_features(3);
  data.set_labeling(1, Regression);
  XorShiftRNG gen(XorShiftState{5, 3, 5, 8});
  for (int i = 0; i < n; ++i) {
    const double row[] = {gen.next_double(), gen.next_double(), 4.0};
    data.add_instance(10.0 * row[0] + 0.1 * gen.next_double(), row, row + 3);
  }
  return data;
}

template <class DataSet, class Criterion>
std::vector<double> learned_permutation_importances(const DataSet& data, int trees, double sample_prop,
                                                    int min_leaf, const Criterion& criterion) {
  typedef typename DataSet::label_type L;
  std::vector<double> imp;
  std::vector<std::vector<bool>> in_bag;
  OwnedForest<L> forest;
  forest.roots = learn_forest(data, trees, sample_prop, 0, 0, min_leaf, criterion, false, imp, &in_bag);
  return permutation_importances(data, forest.roots, in_bag, 99);
}

TEST_F(ThreadCount, PermutationImportanceRanksTheInformativeFeaturesAboveNoise) {
  use_threads(2);
  const auto classes = learned_permutation_importances(three_classes(600), 20, 1.0, 1, TwoSplitGiniImpurity());
  ASSERT_EQ(classes.size(), 4u);
  // Features 0 and 1 decide the class; 2 and 3 are noise.
  for (const std::size_t informative : {0u, 1u}) {
    for (const std::size_t noise : {2u, 3u}) EXPECT_GT(classes[informative], classes[noise] + 0.1);
  }
  for (const std::size_t noise : {2u, 3u}) EXPECT_LT(std::abs(classes[noise]), 0.03) << noise;

  use_threads(2);
  const auto values = learned_permutation_importances(one_informative_regression(400), 10, 0.632, 5,
                                                      TwoSplitVariance());
  ASSERT_EQ(values.size(), 3u);
  // Shuffling feature 0 costs about twice the target's variance (8.3).
  EXPECT_GT(values[0], 5.0);
  EXPECT_LT(std::abs(values[1]), 0.5);
  EXPECT_EQ(values[2], 0.0);
}

// Brute force: for each tree and feature, a copy of the data whose column
// is shuffled among the tree's out-of-bag instances, predicted by the tree
// as it stands; the loss increases averaged over the trees.
template <class DataSet>
std::vector<double> shuffled_copy_importances(const DataSet& data,
                                              const std::vector<Node<typename DataSet::label_type>*>& forest,
                                              const std::vector<std::vector<bool>>& in_bag, std::uint64_t key) {
  const std::size_t nf = data.get_num_features();
  auto loss = [&](const DataSet& values, std::size_t k, std::size_t i) {
    const double residual = static_cast<double>(forest[k]->predict(values, i)) - data.get_label(i);
    return std::is_floating_point<typename DataSet::label_type>::value ? residual * residual
                                                                       : (residual != 0.0 ? 1.0 : 0.0);
  };
  std::vector<double> expected(nf, 0.0);
  for (std::size_t k = 0; k < forest.size(); ++k) {
    std::vector<std::size_t> out_of_bag;
    for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
      if (!in_bag[k][i]) out_of_bag.push_back(i);
    }
    EXPECT_FALSE(out_of_bag.empty());
    for (std::size_t f = 0; f < nf; ++f) {
      XorShiftRNG rng = derived_rng(key, k, f);
      std::vector<std::size_t> source = out_of_bag;
      for (std::size_t j = source.size() - 1; j > 0; --j) {
        std::swap(source[j], source[static_cast<std::size_t>(rng.next_int(static_cast<std::int64_t>(j) + 1))]);
      }
      DataSet shuffled = data;
      for (std::size_t j = 0; j < out_of_bag.size(); ++j) {
        shuffled.features[f][out_of_bag[j]] = data.features[f][source[j]];
      }
      double before = 0.0, after = 0.0;
      for (const std::size_t i : out_of_bag) {
        before += loss(data, k, i);
        after += loss(shuffled, k, i);
      }
      expected[f] += (after - before) / static_cast<double>(out_of_bag.size());
    }
  }
  for (double& value : expected) value /= static_cast<double>(forest.size());
  return expected;
}

TEST_F(ThreadCount, PermutationImportanceIsTheMeanLossIncreaseOfShufflingEachTreesOutOfBagColumn) {
  const std::uint64_t key = 1234;
  {
    const auto data = three_classes(200);
    use_threads(2);
    std::vector<double> imp;
    std::vector<std::vector<bool>> in_bag;
    Forest forest{learn_forest(data, 3, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp, &in_bag)};
    const auto expected = shuffled_copy_importances(data, forest.roots, in_bag, key);
    const auto importances = permutation_importances(data, forest.roots, in_bag, key);
    for (std::size_t f = 0; f < 4; ++f) EXPECT_DOUBLE_EQ(importances[f], expected[f]) << f;
    EXPECT_GT(expected[0], 0.05);
  }
  {
    const auto data = one_informative_regression(300);
    use_threads(2);
    std::vector<double> imp;
    std::vector<std::vector<bool>> in_bag;
    OwnedForest<double> forest;
    forest.roots = learn_forest(data, 4, 0.632, 0, 0, 2, TwoSplitVariance(), false, imp, &in_bag);
    const auto expected = shuffled_copy_importances(data, forest.roots, in_bag, key);
    const auto importances = permutation_importances(data, forest.roots, in_bag, key);
    for (std::size_t f = 0; f < 3; ++f) EXPECT_NEAR(importances[f], expected[f], 1e-9 * (1.0 + expected[0])) << f;
    EXPECT_GT(expected[0], 1.0);
  }
}

TEST_F(ThreadCount, PermutationImportanceNeitherDependsOnTheThreadsNorDrawsFromThePool) {
  const auto data = three_classes(300);
  use_threads(2);
  std::vector<double> imp;
  std::vector<std::vector<bool>> in_bag;
  Forest forest{learn_forest(data, 7, 1.0, 2, 0, 1, TwoSplitGiniImpurity(), false, imp, &in_bag)};
  const XorShiftState before = get_rng()->get_state();
  const auto two = permutation_importances(data, forest.roots, in_bag, 5);
  omp_set_num_threads(1);
  const auto one = permutation_importances(data, forest.roots, in_bag, 5);
  EXPECT_EQ(one, two);
  EXPECT_EQ(get_rng()->get_state(), before);
  EXPECT_NE(permutation_importances(data, forest.roots, in_bag, 6), one);
}

TEST_F(ThreadCount, ProgressCountsEveryTreeAndChangesNoDraw) {
  const auto data = three_classes(200);
  std::vector<double> imp;
  ProgressCounter progress(11);
  use_threads(2);
  Forest counted{learn_forest(data, 11, 1.0, 2, 0, 1, TwoSplitGiniImpurity(), false, imp, nullptr, &progress)};
  EXPECT_EQ(progress.get_done(), 11u);
  use_threads(2);
  Forest plain{learn_forest(data, 11, 1.0, 2, 0, 1, TwoSplitGiniImpurity(), false, imp)};
  const auto a = counted.arrays(), b = plain.arrays();
  for (std::size_t k = 0; k < a.size(); ++k) EXPECT_TRUE(same_trees(a[k], b[k])) << k;
}

TEST_F(ThreadCount, OutOfBagWorkRejectsAnInBagRecordOfAnotherForestOrData) {
  const auto data = three_classes(50);
  use_threads(1);
  std::vector<double> imp;
  std::vector<std::vector<bool>> in_bag;
  Forest forest{learn_forest(data, 3, 1.0, 0, 0, 1, TwoSplitGiniImpurity(), false, imp, &in_bag)};
  auto fewer_trees = in_bag;
  fewer_trees.pop_back();
  auto fewer_instances = in_bag;
  fewer_instances[1].pop_back();
  for (const auto& record : {fewer_trees, fewer_instances}) {
    EXPECT_THROW(out_of_bag_estimate(data, forest.roots, record), Exception);
    EXPECT_THROW(permutation_importances(data, forest.roots, record, 1), Exception);
  }
}

}  // namespace
}  // namespace Sylvor
