#include "Sylvor/learn/forest_classifier.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <memory>

#include "Sylvor/dataset/dataset.hpp"

namespace Sylvor {
namespace {

template <class L>
Node<L>* leaf(L label) {
  auto* n = new Node<L>();
  n->set_label(label);
  return n;
}

// A tree that answers `below` for feature 0 < 0.5, else `above`.
template <class L>
Node<L>* stump(L below, L above) {
  auto* n = new Node<L>();
  n->set_feature_index(0);
  n->set_threshold(0.5);
  n->set_left(leaf(below));
  n->set_right(leaf(above));
  return n;
}

template <class L>
struct OwnedForest {
  std::vector<Node<L>*> roots;
  ~OwnedForest() {
    for (auto* r : roots) delete r;
  }
};

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
  OwnedForest<int> forest{{leaf(1), leaf(0), leaf(0), leaf(1)}};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest.roots);
  EXPECT_EQ(classifier.predict(one_feature({0.1}, 2), 0), 0);
}

TEST(Classifier, CountsLabelsAtLabelPlusOne) {
  OwnedForest<int> forest{{leaf(2)}};
  BaseForestClassifier classifier(3);
  classifier.use_forest(forest.roots);
  EXPECT_EQ(classifier.predict(one_feature({0.1}), 0), 2);
  EXPECT_EQ(classifier.get_counts(), (std::vector<int>{0, 0, 0, 1, 0}));
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
  OwnedForest<int> forest{{leaf(0), leaf(5)}};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest.roots);
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
  auto* root = stump(0, 1);
  root->set_feature_index(3);
  OwnedForest<int> forest{{root}};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest.roots);
  try {
    classifier.predict(one_feature({0.1}, 2), 0);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(),
              "tree 0 tests feature 3 but the data have 1 features: was the model learned on other data?");
  }
}

TEST(Classifier, ProbabilitiesAreVoteShares) {
  OwnedForest<int> forest{{leaf(0), leaf(2), leaf(2), leaf(2)}};
  BaseForestClassifier classifier(3);
  classifier.use_forest(forest.roots);
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
  OwnedForest<int> forest{{leaf(-1), leaf(1), leaf(1), leaf(0)}};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest.roots);
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

TEST(Classifier, TextLabelsComeFromTheDescription) {
  OwnedForest<int> forest{{stump(0, 1)}};
  BaseForestClassifier classifier(2);
  classifier.use_forest(forest.roots);
  DataSetDescription desc;
  desc.add_label_pair("no", 0);
  desc.add_label_pair("yes", 1);
  std::vector<std::string> labels;
  classifier.predict(desc, one_feature({0.2, 0.7}, 2), labels);
  EXPECT_EQ(labels, (std::vector<std::string>{"no", "yes"}));
}

TEST(Regressor, RunningMeanInTreeOrder) {
  OwnedForest<double> forest{{leaf(1.0), leaf(2.0), leaf(4.0)}};
  BaseForestRegressor regressor;
  regressor.use_forest(forest.roots);
  const auto data = one_feature<double>({0.1}, 1, Regression);
  const double expected = 1.5 + (4.0 - 1.5) / 3;  // 1, then 1.5, then 7/3
  EXPECT_EQ(regressor.predict(data, 0), expected);
  std::vector<double> predictions;
  regressor.predict(data, predictions);
  EXPECT_EQ(predictions, std::vector<double>{expected});
}

TEST(Regressor, TextFormUsesSixSignificantDigits) {
  OwnedForest<double> forest{{stump(65.0, 0.1 + 0.2)}};
  BaseForestRegressor regressor;
  regressor.use_forest(forest.roots);
  std::vector<std::string> texts;
  regressor.predict(one_feature<double>({0.2, 0.7}, 1, Regression), texts);
  EXPECT_EQ(texts, (std::vector<std::string>{"65", "0.3"}));
}

class ThreadCounts : public ::testing::TestWithParam<int> {};

TEST_P(ThreadCounts, ResultsDoNotDependOnTheTeamSize) {
  // Seven stumps with different cut points and labels over 200 instances.
  OwnedForest<int> forest;
  OwnedForest<double> regression;
  for (int k = 0; k < 7; ++k) {
    auto* c = stump(k % 3, (k + 1) % 3);
    c->set_threshold(0.1 * (k + 1));
    forest.roots.push_back(c);
    auto* r = stump(0.1 * k, 1.0 / (k + 1));
    r->set_threshold(0.1 * (k + 1));
    regression.roots.push_back(r);
  }
  std::vector<double> values;
  for (int i = 0; i < 200; ++i) values.push_back(i / 200.0);
  const auto data = one_feature(values);
  const auto rdata = one_feature<double>(values, 1, Regression);

  auto run = [&](int threads, std::vector<int>& labels, std::vector<double>& means, std::vector<int>& singles) {
    const int saved = omp_get_max_threads();
    omp_set_num_threads(threads);
    BaseForestClassifier classifier(3);
    classifier.use_forest(forest.roots);
    classifier.predict(data, labels);
    singles.clear();
    for (std::size_t i = 0; i < values.size(); i += 13) singles.push_back(classifier.predict(data, i));
    BaseForestRegressor regressor;
    regressor.use_forest(regression.roots);
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
  OwnedForest<int> forest;
  OwnedForest<double> regression;
  for (int k = 0; k < 3; ++k) {
    forest.roots.push_back(stump(k % 3, 2));
    regression.roots.push_back(stump(0.5, 1.5));
  }
  // Several chunks per member, the last one short.
  std::vector<double> values;
  for (int i = 0; i < 5 * static_cast<int>(prediction_chunk) + 7; ++i) values.push_back((i % 100) / 100.0);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(GetParam());
  ProgressCounter classified(values.size()), regressed(values.size());
  BaseForestClassifier classifier(3);
  classifier.use_forest(forest.roots);
  classifier.report_progress_to(&classified);
  std::vector<int> labels;
  classifier.predict(one_feature(values), labels);
  BaseForestRegressor regressor;
  regressor.use_forest(regression.roots);
  regressor.report_progress_to(&regressed);
  std::vector<double> means;
  regressor.predict(one_feature<double>(values, 1, Regression), means);
  omp_set_num_threads(saved);
  EXPECT_EQ(classified.get_done(), values.size());
  EXPECT_EQ(regressed.get_done(), values.size());
}

INSTANTIATE_TEST_SUITE_P(Teams, ThreadCounts, ::testing::Values(2, 3, 8));

}  // namespace
}  // namespace Sylvor
