#include "Sylvor/predict/predictor.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <memory>

#include "Sylvor/dataset/dataset.hpp"

namespace Sylvor {
namespace {

// A tree that is one leaf of value `label`.
template <class L>
Tree<L> leaf(L label) {
  Tree<L> tree;
  tree.add_node();
  tree.value[0] = label;
  return tree;
}

// A tree that answers `below` for feature 0 < threshold, else `above`.
template <class L>
Tree<L> stump(L below, L above, double threshold = 0.5) {
  Tree<L> tree;
  tree.add_node();
  tree.add_children(0);
  tree.feature[0] = 0;
  tree.threshold[0] = threshold;
  tree.value[1] = below;
  tree.value[2] = above;
  return tree;
}

template <class L = int>
MemoryDataSet<double, L> one_feature(const std::vector<double>& values, int nc = 3,
                                     LabelingType type = DiscreteZeroOnward) {
  MemoryDataSet<double, L> data;
  data.set_num_features(1);
  data.set_labeling(nc, type);
  for (const double v : values) data.add_instance(static_cast<L>(0), &v, &v + 1);
  return data;
}

TEST(Classifier, TiesGoToTheSmallerLabel) {
  Forest<int> forest{{leaf(1), leaf(0), leaf(0), leaf(1)}};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest);
  EXPECT_EQ(classifier.predict(one_feature({0.1}, 2), 0), 0);
}

TEST(Classifier, CountsLabelsAtLabelPlusOne) {
  Forest<int> forest{{leaf(2)}};
  BaseForestClassifier classifier(3);
  classifier.use_forest(forest);
  EXPECT_EQ(classifier.predict(one_feature({0.1}), 0), 2);
  ClassVotes votes(3, 1);
  votes.clear(1);
  votes.add(0, 2);
  EXPECT_EQ(std::vector<int>(votes.counts(0), votes.counts(0) + votes.num_slots()), (std::vector<int>{0, 0, 0, 1, 0}));
  EXPECT_EQ(votes.result(0), 2);
}

TEST(Classifier, EmptyForest) {
  BaseForestClassifier classifier(2);
  std::vector<int> labels{7};
  classifier.predict(one_feature({}, 2), labels);  // no instance: no error
  EXPECT_TRUE(labels.empty());
  try {
    classifier.predict(one_feature({0.3}, 2), labels);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "forest is empty: cannot predict");
  }
}

TEST(Classifier, LeafLabelBeyondTheClassesIsAnErrorNotAWrite) {
  Forest<int> forest{{leaf(0), leaf(5)}};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest);
  std::vector<int> labels;
  try {
    classifier.predict(one_feature({0.1, 0.2}, 2), labels);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(),
              "the forest votes for label 5 but the data have 2 classes (labels -1 to 2): was the "
              "model learned with more classes?");
  }
  EXPECT_THROW(classifier.predict(one_feature({0.1}, 2), 0), Exception);
}

TEST(Classifier, FeatureBeyondTheDataIsAnError) {
  Tree<int> root = stump(0, 1);
  root.feature[0] = 3;
  Forest<int> forest{root};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest);
  try {
    classifier.predict(one_feature({0.1}, 2), 0);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(),
              "tree 0 tests feature 3 but the data have 1 features: was the model learned on other data?");
  }
  root.feature[0] = -1;  // an inner node without a feature is no leaf
  Forest<int> negative{root};
  classifier.use_forest(negative);
  EXPECT_THROW(classifier.predict(one_feature({0.1}, 2), 0), Exception);
}

TEST(Classifier, ProbabilitiesAreVoteShares) {
  Forest<int> forest{{leaf(0), leaf(2), leaf(2), leaf(2)}};
  BaseForestClassifier classifier(3);
  classifier.use_forest(forest);
  std::vector<std::vector<double>> rows(2, std::vector<double>(3, -1.0));
  struct View {
    std::vector<std::vector<double>>& rows;
    double& operator()(std::size_t i, std::size_t c) { return rows[i][c]; }
  } view{rows};
  classifier.compute_probabilities(one_feature({0.1, 0.9}), view);
  EXPECT_EQ(rows[0], (std::vector<double>{0.25, 0.0, 0.75}));
  EXPECT_EQ(rows[1], (std::vector<double>{0.25, 0.0, 0.75}));
}

TEST(Classifier, PlusMinusOneProbabilitiesAndRegressionRefusal) {
  Forest<int> forest{{leaf(-1), leaf(1), leaf(1), leaf(0)}};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest);
  std::vector<std::vector<float>> rows(1, std::vector<float>(2, -1.0f));
  struct View {
    std::vector<std::vector<float>>& rows;
    float& operator()(std::size_t i, std::size_t c) { return rows[i][c]; }
  } view{rows};
  classifier.compute_probabilities(one_feature({0.1}, 2, PlusOneMinusOne), view);
  EXPECT_EQ(rows[0], (std::vector<float>{0.25f, 0.5f}));
  try {
    classifier.compute_probabilities(one_feature({0.1}, 1, Regression), view);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "cannot compute probabilities for regression");
  }
}

TEST(FlatForest, RefusesTreesNotNumberedBreadthFirst) {
  Tree<int> swapped = stump(0, 1);
  std::swap(swapped.left[0], swapped.right[0]);
  try {
    FlatForest<int> flat(Forest<int>{leaf(0), swapped});
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "tree 1 is not numbered breadth first");
  }
}

TEST(FlatForest, LeavesKeepTheirNumbersInTheStoredTree) {
  Tree<int> tree = stump(5, 6);
  tree.add_children(2);  // node 2 tests feature 0 at 0.75: leaves 3 and 4
  tree.feature[2] = 0;
  tree.threshold[2] = 0.75;
  tree.value[3] = 7;
  tree.value[4] = 8;
  const FlatForest<int> flat(Forest<int>{tree});
  const auto data = one_feature({0.1, 0.6, 0.9});
  const auto columns = column_pointers(data);
  EXPECT_EQ(flat.leaf_of(0, columns.data(), 0), 1u);
  EXPECT_EQ(flat.leaf_of(0, columns.data(), 1), 3u);
  EXPECT_EQ(flat.leaf_of(0, columns.data(), 2), 4u);
  EXPECT_EQ(flat.value(0, 4), 8);
  int values[FlatForest<int>::lanes];
  flat.values_of_lanes(0, columns.data(), 0, 3, values);
  EXPECT_EQ(std::vector<int>(values, values + 3), (std::vector<int>{5, 7, 8}));
}

// A two-level tree on feature 0 whose inner nodes send missing values to
// the sides given by the bits of `sides` (bit 0: the root, bit 1: node 2).
Tree<int> tree_with_missing_sides(unsigned sides) {
  Tree<int> tree = stump(1, 2);
  tree.add_children(2);
  tree.feature[2] = 0;
  tree.threshold[2] = 0.75;
  tree.value[3] = 3;
  tree.value[4] = 4;
  tree.missing_left[0] = sides & 1;
  tree.missing_left[2] = (sides >> 1) & 1;
  tree.missing_learned = true;
  return tree;
}

class MissingSides : public ::testing::TestWithParam<unsigned> {};

// Whole data sets are walked in chunks; a chunk without missing values takes
// a shorter walk, which must agree with the tree's own everywhere.
TEST_P(MissingSides, FlatWalksFollowTheTreeInChunksWithAndWithoutMissingValues) {
  const Tree<int> tree = tree_with_missing_sides(GetParam());
  std::vector<double> values;
  for (std::size_t i = 0; i < 3000; ++i) {
    const bool missing = i >= 1200 && i % 7 == 0;  // the first chunks hold none
    values.push_back(missing ? std::nan("") : static_cast<double>(i % 10) / 10);
  }
  const auto data = one_feature(values, 5);
  BaseForestClassifier classifier(5);
  classifier.use_forest(Forest<int>{tree});
  std::vector<int> predicted;
  classifier.predict(data, predicted);
  const FlatForest<int> flat(Forest<int>{tree});
  const auto columns = column_pointers(data);
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(predicted[i], tree.predict(data, i)) << i;
    ASSERT_EQ(flat.leaf_of(0, columns.data(), i), tree.leaf_of(data, i)) << i;
  }
  EXPECT_EQ(tree.predict(data, 1204), (GetParam() & 1) == 0 ? ((GetParam() & 2) != 0 ? 3 : 4) : 1);
}

INSTANTIATE_TEST_SUITE_P(EverySide, MissingSides, ::testing::Values(0u, 1u, 2u, 3u));

TEST(Regressor, RunningMeanInTreeOrder) {
  Forest<double> forest{{leaf(1.0), leaf(2.0), leaf(4.0)}};
  BaseForestRegressor regressor;
  regressor.use_forest(forest);
  const auto data = one_feature<double>({0.1}, 1, Regression);
  const double expected = 1.5 + (4.0 - 1.5) / 3;  // 1, then 1.5, then 7/3
  EXPECT_EQ(regressor.predict(data, 0), expected);
  std::vector<double> predictions;
  regressor.predict(data, predictions);
  EXPECT_EQ(predictions, std::vector<double>{expected});
}

class ThreadCounts : public ::testing::TestWithParam<int> {};

TEST_P(ThreadCounts, ResultsDoNotDependOnTheTeamSize) {
  // Seven stumps with different cut points and labels over 200 instances.
  Forest<int> forest;
  Forest<double> regression;
  for (int k = 0; k < 7; ++k) {
    forest.push_back(stump(k % 3, (k + 1) % 3, 0.1 * (k + 1)));
    regression.push_back(stump(0.1 * k, 1.0 / (k + 1), 0.1 * (k + 1)));
  }
  std::vector<double> values;
  for (int i = 0; i < 200; ++i) values.push_back(i / 200.0);
  const auto data = one_feature(values);
  const auto rdata = one_feature<double>(values, 1, Regression);

  auto run = [&](int threads, std::vector<int>& labels, std::vector<double>& means, std::vector<int>& singles) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    BaseForestClassifier classifier(3);
    classifier.use_forest(forest);
    classifier.predict(data, labels);
    singles.clear();
    for (std::size_t i = 0; i < values.size(); i += 13) singles.push_back(classifier.predict(data, i));
    BaseForestRegressor regressor;
    regressor.use_forest(regression);
    regressor.predict(rdata, means);
    omp_set_num_threads(saved);
  };
  std::vector<int> one_labels, many_labels, one_singles, many_singles;
  std::vector<double> one_means, many_means;
  run(1, one_labels, one_means, one_singles);
  run(GetParam(), many_labels, many_means, many_singles);
  EXPECT_EQ(one_labels, many_labels);
  EXPECT_EQ(one_means, many_means);
  EXPECT_EQ(one_singles, many_singles);
  for (std::size_t k = 0; k < one_singles.size(); ++k) EXPECT_EQ(one_singles[k], one_labels[k * 13]);
}

TEST_P(ThreadCounts, ProgressCountsEveryInstanceOnce) {
  Forest<int> forest;
  Forest<double> regression;
  for (int k = 0; k < 3; ++k) {
    forest.push_back(stump(k % 3, 2));
    regression.push_back(stump(0.5, 1.5));
  }
  // Several chunks per member, the last one short.
  std::vector<double> values;
  for (int i = 0; i < 5 * static_cast<int>(prediction_chunk) + 7; ++i) values.push_back((i % 100) / 100.0);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(GetParam());
  ProgressCounter classified(values.size()), regressed(values.size());
  BaseForestClassifier classifier(3);
  classifier.use_forest(forest);
  std::vector<int> labels;
  classifier.predict(one_feature(values), labels, &classified);
  BaseForestRegressor regressor;
  regressor.use_forest(regression);
  std::vector<double> means;
  regressor.predict(one_feature<double>(values, 1, Regression), means, &regressed);
  omp_set_num_threads(saved);
  EXPECT_EQ(classified.get_done(), values.size());
  EXPECT_EQ(regressed.get_done(), values.size());
}

INSTANTIATE_TEST_SUITE_P(Teams, ThreadCounts, ::testing::Values(2, 3, 8));

}  // namespace
}  // namespace Sylvor

namespace Sylvor {
namespace {

class VotesOfManyClasses : public ::testing::TestWithParam<std::size_t> {};

// Whether the winner is scanned for or kept as the votes come (many
// classes), it is the label with the most votes, the smallest among ties,
// and a cleared block counts nothing.
TEST_P(VotesOfManyClasses, ChooseAsTheScanAndClearWhatTheyCounted) {
  const std::size_t classes = GetParam(), block = 40;
  ClassVotes votes(classes, block);
  std::uint64_t state = 12345;
  auto next = [&state](std::size_t bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>((state >> 33) % bound);
  };
  for (int round = 0; round < 3; ++round) {
    votes.clear(block);
    for (std::size_t j = 0; j < block; ++j) {
      // Votes from a few labels (ties likely), up to 70 of them (more than
      // the room first kept for an instance's labels).
      const std::size_t labels = 1 + next(5), count = next(71);
      std::vector<std::size_t> pool(labels);
      for (auto& label : pool) label = next(classes);
      for (std::size_t v = 0; v < count; ++v) votes.add(j, static_cast<int>(pool[next(labels)]));
    }
    for (std::size_t j = 0; j < block; ++j) {
      EXPECT_EQ(votes.result(j), vote_winner(votes.counts(j), votes.num_slots())) << "instance " << j;
    }
  }
  votes.clear(block);
  for (std::size_t j = 0; j < block; ++j) {
    EXPECT_EQ(votes.result(j), -2);
    EXPECT_EQ(std::count(votes.counts(j), votes.counts(j) + votes.num_slots(), 0),
              static_cast<long>(votes.num_slots()));
  }
}

INSTANTIATE_TEST_SUITE_P(Classes, VotesOfManyClasses, ::testing::Values(3, 254, 255, 300, 20000));

}  // namespace
}  // namespace Sylvor
