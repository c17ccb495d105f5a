#include "Sylvor/learn/forest.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <thread>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/predict/predictor.hpp"
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
  try {
    learn(three_classes(150), settings(3, 0, 0.001), ClassificationTask<TwoSplitGiniImpurity>());
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(),
              "a bootstrap fraction of 0.001 of 150 instances gives empty samples (at least 1/150 is needed)");
  }
}

TEST(LearnForest, OneInstanceGivesLeavesOfItsLabel) {
  init_pool("", 3);
  const auto classes = Testing::make_data<float>({{1, 2}}, {1});
  for (const auto& tree : learn(classes, settings(4, 0, 0.632), ClassificationTask<TwoSplitGiniImpurity>()).trees) {
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.value[0], 1);
  }
  const auto targets = Testing::make_data<double, double>({{1, 2}}, {151.5}, 1, Regression);
  for (const auto& tree : learn(targets, settings(4, 0, 0.632), RegressionTask()).trees) {
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.value[0], 151.5);
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
    const double row[] = {Testing::unit_draw(gen), Testing::unit_draw(gen)};
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

namespace Sylvor {
namespace {

// Learns with the given generators (copied, so that the caller's stay fresh).
template <class DataSet, class Task>
LearnedForest<typename DataSet::label_type> learn_with(const DataSet& data, ForestSettings settings, const Task& task,
                                                       ForestGenerators generators, int threads,
                                                       const WorkControl& control = WorkControl()) {
  settings.num_threads = threads;
  return learn_forest(data, settings, task, generators, control);
}

class PerTreeSeeding : public ::testing::TestWithParam<int> {};

TEST_P(PerTreeSeeding, GivesTheSameForestForEveryThreadCount) {
  const auto data = three_classes(300);
  auto wanted = settings(9, 2);
  wanted.feature_importances = true;
  wanted.out_of_bag = true;
  const ClassificationTask<TwoSplitGiniImpurity> task;
  const auto one = learn_with(data, wanted, task, ForestGenerators::per_tree(42), 1);
  const auto many = learn_with(data, wanted, task, ForestGenerators::per_tree(42), GetParam());
  EXPECT_EQ(many.trees, one.trees);
  EXPECT_EQ(many.in_bag, one.in_bag);
  EXPECT_EQ(many.feature_importances, one.feature_importances);  // bit for bit: summed in tree order
  EXPECT_FALSE(learn_with(data, wanted, task, ForestGenerators::per_tree(43), 1).trees == one.trees);

  const auto regression_data = Testing::one_informative_regression(200);
  auto regression = settings(6, 0, 0.632, 5);
  regression.feature_importances = true;
  const auto r1 = learn_with(regression_data, regression, RegressionTask(), ForestGenerators::per_tree(7), 1);
  const auto rn = learn_with(regression_data, regression, RegressionTask(), ForestGenerators::per_tree(7), GetParam());
  EXPECT_EQ(rn.trees, r1.trees);
  EXPECT_EQ(rn.feature_importances, r1.feature_importances);
}

INSTANTIATE_TEST_SUITE_P(Teams, PerTreeSeeding, ::testing::Values(2, 3, 8));

// Rows whose first feature is zero a third of the time, of either sign as
// `signed_zeros` says, else one of 400 values (too many for the counting
// scan: the feature is sorted), and whose labels are mixed on every value:
// nodes large enough for the radix sort hold long runs of equal values with
// labels in every order.
MemoryDataSet<double, int> tied_zeros(bool signed_zeros) {
  MemoryDataSet<double, int> data;
  data.set_num_features(2);
  data.set_labeling(3, DiscreteZeroOnward);
  XorShiftRNG gen(XorShiftState{2, 7, 1, 8});
  for (int i = 0; i < 1500; ++i) {
    const int pick = static_cast<int>(gen.next_int(9));
    const double zero = signed_zeros && i % 2 == 0 ? -0.0 : 0.0;
    const double value = pick < 3 ? zero : 1.0 + static_cast<double>(gen.next_int(400));
    const double row[] = {value, static_cast<double>(gen.next_int(4))};
    data.add_instance(static_cast<int>((pick + gen.next_int(2)) % 3), row, row + 2);
  }
  return data;
}

TEST(EqualValues, NegativeZeroLearnsExactlyAsZero) {
  const ClassificationTask<TwoSplitGiniImpurity> task;
  const auto wanted = settings(8);
  const auto signed_forest = learn_with(tied_zeros(true), wanted, task, ForestGenerators::per_tree(5), 2);
  const auto plain_forest = learn_with(tied_zeros(false), wanted, task, ForestGenerators::per_tree(5), 2);
  ASSERT_EQ(signed_forest.trees.size(), plain_forest.trees.size());
  for (std::size_t t = 0; t < plain_forest.trees.size(); ++t) {
    EXPECT_EQ(signed_forest.trees[t].feature, plain_forest.trees[t].feature) << t;
    EXPECT_EQ(signed_forest.trees[t].left, plain_forest.trees[t].left) << t;
    EXPECT_EQ(signed_forest.trees[t].value, plain_forest.trees[t].value) << t;
    for (std::size_t k = 0; k < plain_forest.trees[t].size(); ++k) {
      const double a = signed_forest.trees[t].threshold[k], b = plain_forest.trees[t].threshold[k];
      EXPECT_TRUE((std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b))) << t << " " << k;
    }
  }
}

// How each tree's sample is made: the in-bag record shows it.
TEST(TreeSamples, SizeWithoutBootstrapAndEqualWeights) {
  const auto data = three_classes(200);
  const ClassificationTask<TwoSplitGiniImpurity> task;
  auto plain = settings(5, 1);
  plain.out_of_bag = true;
  const auto reference = learn_with(data, plain, task, ForestGenerators::per_tree(9), 2);

  // Equal weights, whatever their value, draw exactly as no weights.
  auto equal = plain;
  equal.draw_weights.assign(200, 0.25);
  const auto weighted = learn_with(data, equal, task, ForestGenerators::per_tree(9), 2);
  EXPECT_EQ(weighted.trees, reference.trees);
  EXPECT_EQ(weighted.in_bag, reference.in_bag);

  // An explicit sample size replaces the fraction.
  auto sized = plain;
  sized.sample_size = 7;
  for (const auto& mask : learn_with(data, sized, task, ForestGenerators::per_tree(9), 2).in_bag) {
    const auto held = std::count(mask.begin(), mask.end(), true);
    EXPECT_GE(held, 1);
    EXPECT_LE(held, 7);
  }

  // Without bootstrap every tree holds every instance, and trees differ
  // only by their feature draws.
  auto whole = plain;
  whole.bootstrap = false;
  whole.bootstrap_fraction = 0.0;  // unused
  whole.limits.features_per_split = 0;
  const auto all = learn_with(data, whole, task, ForestGenerators::per_tree(9), 2);
  for (const auto& mask : all.in_bag) EXPECT_EQ(std::count(mask.begin(), mask.end(), true), 200);
  for (const auto& tree : all.trees) EXPECT_EQ(tree, all.trees[0]);
}

TEST(TreeSamples, WeightsDecideTheDraws) {
  const auto data = three_classes(300);
  auto wanted = settings(40, 1);
  wanted.out_of_bag = true;
  // Instances 0..99 weigh nothing, 100..199 one, 200..299 three.
  wanted.draw_weights.assign(300, 0.0);
  for (std::size_t i = 100; i < 300; ++i) wanted.draw_weights[i] = i < 200 ? 1.0 : 3.0;
  const auto forest = learn_with(data, wanted, ClassificationTask<TwoSplitGiniImpurity>(),
                                 ForestGenerators::per_tree(3), 2);
  std::size_t light = 0, heavy = 0;
  for (const auto& mask : forest.in_bag) {
    for (std::size_t i = 0; i < 100; ++i) EXPECT_FALSE(mask[i]) << i;
    for (std::size_t i = 100; i < 200; ++i) light += mask[i];
    for (std::size_t i = 200; i < 300; ++i) heavy += mask[i];
  }
  // 300 draws a tree from a total weight of 400: a light instance is held
  // with probability 1 - (1 - 1/400)^300 = 0.528, a heavy one
  // 1 - (1 - 3/400)^300 = 0.895.
  EXPECT_NEAR(static_cast<double>(light) / 4000.0, 0.528, 0.025);
  EXPECT_NEAR(static_cast<double>(heavy) / 4000.0, 0.895, 0.025);
}

TEST(TreeSamples, AreDrawnAgainFromTheTreesGenerators) {
  const auto data = three_classes(150);
  const ClassificationTask<TwoSplitGiniImpurity> task;
  std::vector<ForestSettings> cases(3, settings(6, 1, 0.7));
  cases[1].sample_size = 40;
  cases[2].draw_weights.assign(150, 1.0);
  for (std::size_t i = 0; i < 50; ++i) cases[2].draw_weights[i] = 0.2;
  for (ForestSettings& wanted : cases) {
    wanted.out_of_bag = true;
    const auto forest = learn_with(data, wanted, task, ForestGenerators::per_tree(8, 3), 2);
    EXPECT_EQ(redraw_in_bag(data, wanted, ForestGenerators::per_tree(8, 3), 6), forest.in_bag);
    EXPECT_NE(redraw_in_bag(data, wanted, ForestGenerators::per_tree(8, 4), 6), forest.in_bag);
  }
  EXPECT_THROW(redraw_in_bag(data, cases[0], ForestGenerators::per_thread(*get_pool("", 4, 0, false)), 6),
               Exception);
}

TEST(TreeSamples, UnusableWeightsAreRefused) {
  const auto data = three_classes(20);
  const ClassificationTask<TwoSplitGiniImpurity> task;
  for (const std::vector<double>& weights :
       {std::vector<double>(19, 1.0), std::vector<double>(20, 0.0), std::vector<double>(20, -1.0),
        std::vector<double>(20, std::nan("")), std::vector<double>(20, HUGE_VAL)}) {
    auto wanted = settings(2);
    wanted.draw_weights = weights;
    wanted.draw_weights[0] = weights.size() == 20 && weights[1] == 0.0 ? 0.0 : weights[0];
    EXPECT_THROW(learn_with(data, wanted, task, ForestGenerators::per_tree(3), 1), Exception);
  }
}

TEST(PerTreeSeeding, AForestLearnedInPartsIsTheWholeForest) {
  const auto data = three_classes(200);
  const ClassificationTask<TwoSplitInfoGain> task;
  const auto whole = learn_with(data, settings(7, 1), task, ForestGenerators::per_tree(5), 2);
  const auto first = learn_with(data, settings(3, 1), task, ForestGenerators::per_tree(5, 0), 1);
  const auto rest = learn_with(data, settings(4, 1), task, ForestGenerators::per_tree(5, 3), 2);
  Forest<int> joined = first.trees;
  joined.insert(joined.end(), rest.trees.begin(), rest.trees.end());
  EXPECT_EQ(joined, whole.trees);
  EXPECT_EQ(ForestGenerators::per_tree(5, 3).shuffle_key(), ForestGenerators::per_tree(5).shuffle_key());
}

TEST(PerThreadSeeding, TheCallersStreamsAdvanceSoALaterLearnContinuesThem) {
  const auto data = three_classes(150);
  get_pool("", 32, 11, true);
  ForestGenerators generators = ForestGenerators::per_thread(*get_pool("", 32, 0, false));
  const ForestGenerators fresh = generators;
  const ClassificationTask<TwoSplitGiniImpurity> task;
  auto two = settings(4);
  two.num_threads = 2;
  const auto first = learn_forest(data, two, task, generators);
  EXPECT_NE(generators.get_streams()[0].get_state(), fresh.get_streams()[0].get_state());
  EXPECT_EQ(generators.get_streams()[2].get_state(), fresh.get_streams()[2].get_state());  // no third thread
  EXPECT_EQ(generators.shuffle_key(), fresh.shuffle_key());
  const auto second = learn_forest(data, two, task, generators);
  EXPECT_FALSE(second.trees == first.trees);
  ForestGenerators again = fresh;
  EXPECT_EQ(learn_forest(data, two, task, again).trees, first.trees);
}

TEST(LearnForest, ConcurrentCallsWithTheirOwnGeneratorsGiveTheResultsOfCallsAlone) {
  // Four callers, each learning five forests (per tree, and per thread from a
  // copy of one pool) and predicting with one predictor shared by all.
  const auto data = three_classes(300);
  const ClassificationTask<TwoSplitGainRatio> task;
  get_pool("", 32, 21, true);
  const ForestGenerators pool = ForestGenerators::per_thread(*get_pool("", 32, 0, false));
  std::vector<LearnedForest<int>> alone, alone_per_thread;
  for (int seed = 1; seed <= 4; ++seed) {
    alone.push_back(learn_with(data, settings(6, 2), task, ForestGenerators::per_tree(seed), 2));
    alone_per_thread.push_back(learn_with(data, settings(6, 2), task, pool, seed % 2 + 1));
  }
  BaseForestClassifier shared(3);
  shared.use_forest(alone[0].trees);
  std::vector<int> expected;
  shared.predict(data, expected);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (int seed = 1; seed <= 4; ++seed) {
    callers.emplace_back([&, seed] {
      const std::size_t k = static_cast<std::size_t>(seed - 1);
      for (int round = 0; round < 5; ++round) {
        if (!(learn_with(data, settings(6, 2), task, ForestGenerators::per_tree(seed), 2).trees == alone[k].trees)) {
          ++mismatches;
        }
        if (!(learn_with(data, settings(6, 2), task, pool, seed % 2 + 1).trees == alone_per_thread[k].trees)) {
          ++mismatches;
        }
        std::vector<int> predicted;
        shared.predict(data, predicted);
        if (predicted != expected) ++mismatches;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(LearnForest, AStopRequestEndsLearningWithInterruptedException) {
  const auto data = three_classes(400);
  std::atomic<bool> stop{true};
  WorkControl control;
  control.stop = &stop;
  try {
    learn_with(data, settings(5), ClassificationTask<TwoSplitGiniImpurity>(), ForestGenerators::per_tree(1), 2,
               control);
    FAIL();
  } catch (const InterruptedException& e) {
    EXPECT_EQ(e.get_message(), "interrupted");
  }
  stop = false;
  EXPECT_EQ(learn_with(data, settings(5), ClassificationTask<TwoSplitGiniImpurity>(), ForestGenerators::per_tree(1), 2,
                       control)
                .trees.size(),
            5u);
}

TEST(TeamLoop, WorkOfOneChunkRunsOnTheCallingThread) {
  std::vector<int> in_team;
  for_each_chunk(100, 512, 4, [] { return 0; },
                 [&](int&, std::size_t, std::size_t) { in_team.push_back(omp_in_parallel() ? 1 : 0); });
  EXPECT_EQ(in_team, std::vector<int>{0});
  std::atomic<int> parallel_chunks{0};
  for_each_chunk(2000, 100, 2, [] { return 0; },
                 [&](int&, std::size_t, std::size_t) { parallel_chunks += omp_in_parallel() ? 1 : 0; });
  EXPECT_EQ(parallel_chunks.load(), 20);
}

}  // namespace
}  // namespace Sylvor
