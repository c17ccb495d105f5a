#include "Sylvor/learn/forest.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <numeric>

#include "Sylvor/dataset/dataset.hpp"
#include "tests/learn/data.hpp"

namespace Sylvor {
namespace {

using Testing::learn;
using Testing::settings;
using Testing::three_classes;

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
  const auto first = learn(data, settings(7, 2), ClassificationTask<TwoSplitGainRatio>());
  use_threads(3);
  const auto second = learn(data, settings(7, 2), ClassificationTask<TwoSplitGainRatio>());
  ASSERT_EQ(first.trees.size(), 7u);
  EXPECT_EQ(first.trees, second.trees);
  // Trees of one forest differ from each other (their samples differ).
  EXPECT_FALSE(first.trees[0] == first.trees[1]);
}

TEST_F(ThreadCount, SettingsThreadCountSizesTheTeam) {
  // Two threads asked for in the settings grow the forest that two threads
  // of the process-wide setting grow.
  const auto data = three_classes(300);
  use_threads(2);
  const auto by_default = learn(data, settings(5), ClassificationTask<TwoSplitGiniImpurity>());
  use_threads(1);
  init_pool("", 17);
  auto two = settings(5);
  two.num_threads = 2;
  EXPECT_EQ(learn(data, two, ClassificationTask<TwoSplitGiniImpurity>()).trees, by_default.trees);
}

TEST_F(ThreadCount, FewerTreesThanThreads) {
  const auto data = three_classes(100);
  use_threads(4);
  const auto forest = learn(data, settings(2), ClassificationTask<TwoSplitGiniImpurity>());
  ASSERT_EQ(forest.trees.size(), 2u);
  EXPECT_FALSE(forest.trees[0].empty());
  EXPECT_FALSE(forest.trees[1].empty());
}

TEST_F(ThreadCount, FirstTreeOfEachThreadUsesThatThreadsGenerator) {
  // Thread t's first tree is grown from slot t's fresh generator, so with
  // two threads tree 0 equals tree 0 of a one-thread forest.
  const auto data = three_classes(200);
  use_threads(1);
  const auto single = learn(data, settings(1), ClassificationTask<TwoSplitGiniImpurity>());
  use_threads(2);
  const auto pair = learn(data, settings(4), ClassificationTask<TwoSplitGiniImpurity>());
  EXPECT_TRUE(single.trees[0] == pair.trees[0]);
}

TEST_F(ThreadCount, ImportancesSumToOne) {
  const auto data = three_classes(500);
  use_threads(2);
  auto wanted = settings(6);
  wanted.feature_importances = true;
  const auto forest = learn(data, wanted, ClassificationTask<TwoSplitGiniImpurity>());
  const auto& imp = forest.feature_importances;
  ASSERT_EQ(imp.size(), 4u);
  EXPECT_NEAR(std::accumulate(imp.begin(), imp.end(), 0.0), 1.0, 1e-12);
  EXPECT_GT(imp[0], imp[2]);  // informative beats noise
  EXPECT_GT(imp[1], imp[3]);
}

TEST_F(ThreadCount, ImportancesOnlyWhenAskedAndZeroForPureTreesOrNoTrees) {
  MemoryDataSet<float, int> data;
  data.set_num_features(2);
  const double row[] = {1, 2};
  for (int i = 0; i < 10; ++i) data.add_instance(1, row, row + 2);
  use_threads(2);
  EXPECT_TRUE(learn(data, settings(3), ClassificationTask<TwoSplitGiniImpurity>()).feature_importances.empty());
  auto wanted = settings(3);
  wanted.feature_importances = true;
  EXPECT_EQ(learn(data, wanted, ClassificationTask<TwoSplitGiniImpurity>()).feature_importances,
            std::vector<double>(2, 0.0));
  wanted.num_trees = 0;
  const auto none = learn(data, wanted, ClassificationTask<TwoSplitGiniImpurity>());
  EXPECT_TRUE(none.trees.empty());
  EXPECT_EQ(none.feature_importances, std::vector<double>(2, 0.0));
}

TEST(LearnForest, RejectsUnusableInput) {
  init_pool("", 3);
  MemoryDataSet<float, int> empty;
  try {
    learn(empty, settings(3), ClassificationTask<TwoSplitGiniImpurity>());
    FAIL();
  } catch (const IncompatibleDataException& e) {
    EXPECT_EQ(e.get_message(), "data set is empty");
  }
  try {
    learn(three_classes(10), settings(-1), ClassificationTask<TwoSplitGiniImpurity>());
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "number of trees must not be negative: -1");
  }
}

TEST(LearnForest, LabelsOutsideTheClassesAreRejected) {
  init_pool("", 3);
  MemoryDataSet<float, int> data;
  data.set_num_features(1);
  data.set_labeling(2, DiscreteZeroOnward);
  const double v = 1;
  for (const int label : {0, 1, 2, 3}) data.add_instance(label, &v, &v + 1);
  try {
    learn(data, settings(3), ClassificationTask<TwoSplitGiniImpurity>());
    FAIL();
  } catch (const IncompatibleDataException& e) {
    EXPECT_EQ(e.get_message(), "label 3 of instance 3 is not a class of the data set (classes -1 to 2 for 2 "
                               "classes; declare the classes with 'label' lines in the description)");
  }
  MemoryDataSet<float, int> unlabelled;
  unlabelled.set_num_features(1);
  unlabelled.add_instance(-2, &v, &v + 1);
  EXPECT_THROW(learn(unlabelled, settings(1), ClassificationTask<TwoSplitGiniImpurity>()), IncompatibleDataException);
}

TEST_F(ThreadCount, ErrorInsideTheTeamIsRethrownOnTheCaller) {
  const auto data = three_classes(50);
  omp_set_num_threads(3);
  get_pool("", 2, 9, true);  // no generator for thread 2
  try {
    learn(data, settings(6), ClassificationTask<TwoSplitGiniImpurity>());
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
  auto wanted = settings(4, 0, 0.632, 5);
  wanted.feature_importances = true;
  const auto forest = learn(data, wanted, RegressionTask());
  for (std::size_t i = 0; i < 300; i += 37) {
    const double expected = data.features[0][i] < 0.5 ? 1.0 : 9.0;
    for (const auto& tree : forest.trees) EXPECT_NEAR(tree.predict(data, i), expected, 0.05) << i;
  }
  EXPECT_GT(forest.feature_importances[0], 0.9);
}

TEST_F(ThreadCount, InBagRecordAndProgressChangeNoDraw) {
  const auto data = three_classes(200);
  ProgressCounter progress(11);
  use_threads(2);
  auto recorded = settings(11, 2);
  recorded.out_of_bag = true;
  const auto counted = learn(data, recorded, ClassificationTask<TwoSplitGiniImpurity>(), &progress);
  EXPECT_EQ(progress.get_done(), 11u);
  ASSERT_EQ(counted.in_bag.size(), 11u);
  for (const auto& mask : counted.in_bag) EXPECT_EQ(mask.size(), 200u);
  use_threads(2);
  const auto plain = learn(data, settings(11, 2), ClassificationTask<TwoSplitGiniImpurity>());
  EXPECT_TRUE(plain.in_bag.empty());
  EXPECT_EQ(counted.trees, plain.trees);
}

}  // namespace
}  // namespace Sylvor
