#include "Sylvor/learn/out_of_bag.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>

#include "Sylvor/predict/predictor.hpp"
#include "tests/learn/data.hpp"

namespace Sylvor {
namespace {

using Testing::learn;
using Testing::one_informative_regression;
using Testing::settings;
using Testing::three_classes;

class OutOfBag : public ::testing::Test {
protected:
  void TearDown() override { omp_set_num_threads(saved); }
  // Learns with the in-bag record on two threads from a fixed seed.
  template <class DataSet, class Task>
  LearnedForest<typename DataSet::label_type> learn_recorded(const DataSet& data, ForestSettings wanted,
                                                             const Task& task) {
    omp_set_num_threads(2);
    init_pool("", 17);
    wanted.out_of_bag = true;
    return learn(data, wanted, task);
  }
  int saved = omp_get_max_threads();
};

TEST_F(OutOfBag, ErrorIsTheVoteOfTheTreesThatLeftEachInstanceOut) {
  const auto data = three_classes(300);
  const ClassificationTask<TwoSplitGiniImpurity> task;
  const auto forest = learn_recorded(data, settings(9, 2), task);
  const OutOfBagEstimate estimate = out_of_bag_estimate(task, data, forest.trees, forest.in_bag);

  // Brute force: a predictor of just the out-of-bag trees, instance by instance.
  std::size_t wrong = 0, evaluated = 0;
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    Forest<int> out_of_bag;
    for (std::size_t k = 0; k < forest.trees.size(); ++k) {
      if (!forest.in_bag[k][i]) out_of_bag.push_back(forest.trees[k]);
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
}

// Each point of the curve is the estimate of the forest of the first trees,
// bit for bit, whatever the thread count.
template <class Task, class DataSet>
void expect_curve_of_the_first_trees(const Task& task, const DataSet& data,
                                     const LearnedForest<typename DataSet::label_type>& forest) {
  const std::vector<OutOfBagEstimate> curve = out_of_bag_curve(task, data, forest.trees, forest.in_bag, 2);
  ASSERT_EQ(curve.size(), forest.trees.size());
  for (std::size_t t = 1; t <= forest.trees.size(); ++t) {
    const Forest<typename DataSet::label_type> first(forest.trees.begin(), forest.trees.begin() + t);
    const InBagRecord bags(forest.in_bag.begin(), forest.in_bag.begin() + t);
    const OutOfBagEstimate estimate = out_of_bag_estimate(task, data, first, bags, 1);
    EXPECT_EQ(curve[t - 1].evaluated, estimate.evaluated) << t;
    EXPECT_EQ(curve[t - 1].without, estimate.without) << t;
    EXPECT_EQ(curve[t - 1].error, estimate.error) << t;
  }
  const auto one_thread = out_of_bag_curve(task, data, forest.trees, forest.in_bag, 1);
  for (std::size_t k = 0; k < curve.size(); ++k) EXPECT_EQ(one_thread[k].error, curve[k].error) << k;
}

TEST_F(OutOfBag, CurvePointsAreTheEstimatesOfTheFirstTrees) {
  const auto classes = three_classes(300);
  const ClassificationTask<TwoSplitGiniImpurity> task;
  expect_curve_of_the_first_trees(task, classes, learn_recorded(classes, settings(12, 1, 0.4), task));
  const auto regression = one_informative_regression(250);
  expect_curve_of_the_first_trees(RegressionTask(), regression,
                                  learn_recorded(regression, settings(9, 0, 0.632, 5), RegressionTask()));
}

TEST_F(OutOfBag, RegressionErrorIsTheMeanSquaredErrorOfTheRunningMeans) {
  const auto data = one_informative_regression(200);
  const auto forest = learn_recorded(data, settings(6, 0, 0.632, 5), RegressionTask());
  const OutOfBagEstimate estimate = out_of_bag_estimate(RegressionTask(), data, forest.trees, forest.in_bag);
  double sum = 0.0;
  std::size_t evaluated = 0;
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    double mean = 0.0;
    int trees = 0;
    for (std::size_t k = 0; k < forest.trees.size(); ++k) {
      if (forest.in_bag[k][i]) continue;
      mean += (forest.trees[k].predict(data, i) - mean) / ++trees;
    }
    if (trees == 0) continue;
    ++evaluated;
    sum += (mean - data.get_label(i)) * (mean - data.get_label(i));
  }
  EXPECT_EQ(estimate.evaluated, evaluated);
  EXPECT_EQ(estimate.error, sum / static_cast<double>(evaluated));
  EXPECT_LT(estimate.error, 1.0);
}

TEST_F(OutOfBag, PermutationImportanceRanksTheInformativeFeaturesAboveNoise) {
  const ClassificationTask<TwoSplitGiniImpurity> gini;
  const auto classes_data = three_classes(600);
  const auto classes = learn_recorded(classes_data, settings(20), gini);
  const auto importances = permutation_importances(gini, classes_data, classes.trees, classes.in_bag, 99);
  ASSERT_EQ(importances.size(), 4u);
  // Features 0 and 1 decide the class; 2 and 3 are noise.
  for (const std::size_t informative : {0u, 1u}) {
    for (const std::size_t noise : {2u, 3u}) EXPECT_GT(importances[informative], importances[noise] + 0.1);
  }
  for (const std::size_t noise : {2u, 3u}) EXPECT_LT(std::abs(importances[noise]), 0.03) << noise;

  const auto regression_data = one_informative_regression(400);
  const auto regression = learn_recorded(regression_data, settings(10, 0, 0.632, 5), RegressionTask());
  const auto values =
      permutation_importances(RegressionTask(), regression_data, regression.trees, regression.in_bag, 99);
  ASSERT_EQ(values.size(), 3u);
  // Shuffling feature 0 costs about twice the target's variance (8.3).
  EXPECT_GT(values[0], 5.0);
  EXPECT_LT(std::abs(values[1]), 0.5);
  EXPECT_EQ(values[2], 0.0);
}

// Brute force: for each tree and feature, a copy of the data whose column
// is shuffled among the tree's out-of-bag instances, predicted by the tree
// as it stands; the loss increases averaged over the trees.
template <class Task, class DataSet>
std::vector<double> shuffled_copy_importances(const Task& task, const DataSet& data,
                                              const LearnedForest<typename DataSet::label_type>& forest,
                                              std::uint64_t key) {
  const std::size_t nf = data.get_num_features();
  std::vector<double> expected(nf, 0.0);
  for (std::size_t k = 0; k < forest.trees.size(); ++k) {
    std::vector<std::size_t> out_of_bag;
    for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
      if (!forest.in_bag[k][i]) out_of_bag.push_back(i);
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
        before += task.loss(forest.trees[k].predict(data, i), data.get_label(i));
        after += task.loss(forest.trees[k].predict(shuffled, i), data.get_label(i));
      }
      expected[f] += (after - before) / static_cast<double>(out_of_bag.size());
    }
  }
  for (double& value : expected) value /= static_cast<double>(forest.trees.size());
  return expected;
}

TEST_F(OutOfBag, PermutationImportanceIsTheMeanLossIncreaseOfShufflingEachTreesOutOfBagColumn) {
  const std::uint64_t key = 1234;
  {
    const ClassificationTask<TwoSplitGiniImpurity> task;
    const auto data = three_classes(200);
    const auto forest = learn_recorded(data, settings(3), task);
    const auto expected = shuffled_copy_importances(task, data, forest, key);
    const auto importances = permutation_importances(task, data, forest.trees, forest.in_bag, key);
    for (std::size_t f = 0; f < 4; ++f) EXPECT_DOUBLE_EQ(importances[f], expected[f]) << f;
    EXPECT_GT(expected[0], 0.05);
  }
  {
    const auto data = one_informative_regression(300);
    const auto forest = learn_recorded(data, settings(4, 0, 0.632, 2), RegressionTask());
    const auto expected = shuffled_copy_importances(RegressionTask(), data, forest, key);
    const auto importances = permutation_importances(RegressionTask(), data, forest.trees, forest.in_bag, key);
    for (std::size_t f = 0; f < 3; ++f) EXPECT_NEAR(importances[f], expected[f], 1e-9 * (1.0 + expected[0])) << f;
    EXPECT_GT(expected[0], 1.0);
  }
}

TEST_F(OutOfBag, PermutationImportanceNeitherDependsOnTheThreadsNorDrawsFromThePool) {
  const ClassificationTask<TwoSplitGiniImpurity> task;
  const auto data = three_classes(300);
  const auto forest = learn_recorded(data, settings(7, 2), task);
  const XorShiftRNGPool& pool = *get_pool("", default_pool_size(), 0, false);
  const XorShiftState before = pool.get_generator(0)->get_state();
  const auto two = permutation_importances(task, data, forest.trees, forest.in_bag, 5);
  omp_set_num_threads(1);
  const auto one = permutation_importances(task, data, forest.trees, forest.in_bag, 5);
  EXPECT_EQ(one, two);
  EXPECT_EQ(pool.get_generator(0)->get_state(), before);
  EXPECT_NE(permutation_importances(task, data, forest.trees, forest.in_bag, 6), one);
}

TEST_F(OutOfBag, WorkRejectsAnInBagRecordOfAnotherForestOrData) {
  const ClassificationTask<TwoSplitGiniImpurity> task;
  const auto data = three_classes(50);
  const auto forest = learn_recorded(data, settings(3), task);
  auto fewer_trees = forest.in_bag;
  fewer_trees.pop_back();
  auto fewer_instances = forest.in_bag;
  fewer_instances[1].pop_back();
  for (const auto& record : {fewer_trees, fewer_instances}) {
    EXPECT_THROW(out_of_bag_estimate(task, data, forest.trees, record), Exception);
    EXPECT_THROW(permutation_importances(task, data, forest.trees, record, 1), Exception);
  }
}

}  // namespace
}  // namespace Sylvor
