#include "Sylvor/stats/score.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "Sylvor/dataset/dataset.hpp"

namespace Sylvor {
namespace {

MemoryDataSet<float, int> labelled(const std::vector<int>& labels, int nc, LabelingType type = DiscreteZeroOnward) {
  MemoryDataSet<float, int> data;
  data.set_num_features(1);
  data.set_labeling(nc, type);
  const double v = 0;
  for (const int label : labels) data.add_instance(label, &v, &v + 1);
  return data;
}

DataSetDescription names(const std::vector<std::string>& labels) {
  DataSetDescription desc;
  for (std::size_t i = 0; i < labels.size(); ++i) desc.add_label_pair(labels[i], static_cast<int>(i));
  return desc;
}

std::string matrix(const ClassifierStats& stats, const DataSetDescription& desc, bool percentage) {
  std::ostringstream out;
  stats.output_confusion_matrix_with_string_labels(out, desc, percentage);
  return out.str();
}

TEST(ClassifierStats, YesNoMatricesByteForByte) {
  // Labels: yes = 0, no = 1. Actual yes x3 (predicted yes, yes, no), no x1 (predicted no).
  ClassifierStats stats;
  stats.score(labelled({0, 0, 0, 1}, 2), std::vector<int>{0, 0, 1, 1}, true);
  const auto desc = names({"yes", "no"});
  EXPECT_EQ(matrix(stats, desc, false),
            "     \tyes  \tno   \t\n"
            "yes  \t2\t1\n"
            "no   \t0\t1\n");
  EXPECT_EQ(matrix(stats, desc, true),
            "     \tyes  \tno   \t\n"
            "yes  \t0.666667\t0.333333\n"
            "no   \t0\t1\n");
  EXPECT_EQ(stats.get_classification_rate(), 0.75);
  EXPECT_EQ(stats(0, 1), 1);
  EXPECT_EQ(stats.get_actual_label_count(0), 3);
}

TEST(ClassifierStats, LongNameWidensEveryCell) {
  ClassifierStats stats;
  stats.score(labelled({0, 1, 2}, 3), std::vector<int>{0, 1, 1}, true);
  EXPECT_EQ(matrix(stats, names({"a", "elephant", "c"}), false),
            "        \ta       \telephant\tc       \t\n"
            "a       \t1\t0\t0\n"
            "elephant\t0\t1\t0\n"
            "c       \t0\t1\t0\n");
  // Class c never predicted right; a class absent as actual gives zeros.
  ClassifierStats absent;
  absent.score(labelled({0, 0}, 2), std::vector<int>{0, 1}, true);
  EXPECT_EQ(matrix(absent, names({"x", "y"}), true), "     \tx    \ty    \t\nx    \t0.5\t0.5\ny    \t0\t0\n");
}

TEST(ClassifierStats, PlusOneMinusOneLayout) {
  ClassifierStats stats;
  stats.score(labelled({-1, -1, 1, 1, 1}, 2, PlusOneMinusOne), std::vector<int>{-1, 1, 1, 1, -1}, true);
  EXPECT_EQ(matrix(stats, names({"zero", "one"}), false), "\t-1\t+1\n-1\t1\t1\n+1\t1\t2\n");
}

TEST(ClassifierStats, UnlabelledInstancesCountNowhere) {
  ClassifierStats stats;
  stats.score(labelled({-2, -2}, 2), std::vector<int>{0, 1}, true);
  EXPECT_EQ(stats.get_num_valid_labels(), 0);
  EXPECT_TRUE(std::isnan(stats.get_classification_rate()));
}

TEST(ClassifierStats, RegressionCountsEveryInstance) {
  MemoryDataSet<double, double> data;
  data.set_num_features(1);
  data.set_labeling(1, Regression);
  const double v = 0;
  for (const double y : {1.0, -2.0, 3.0}) data.add_instance(y, &v, &v + 1);
  ClassifierStats stats;
  stats.score(data, std::vector<double>{1.5, -2.0, 1.0}, true);
  EXPECT_EQ(stats.get_num_valid_labels(), 3);
  EXPECT_EQ(stats.get_mean_squared_error(), (0.25 + 0.0 + 4.0) / 3.0);
  EXPECT_EQ(matrix(stats, names({"value"}), false), "");
}

TEST(ClassifierStats, MismatchAndOutOfRangeAreErrors) {
  ClassifierStats stats;
  try {
    stats.score(labelled({0, 1}, 2), std::vector<int>{0}, true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "data set, prediction set mismatch");
  }
  try {
    stats.score(labelled({0, 1}, 2), std::vector<int>{0, 5}, true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "prediction 5 of instance 1 has no cell in the confusion matrix of the classes 0 to 1");
  }
  try {
    stats.score(labelled({0, 7}, 2), std::vector<int>{0, 1}, true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "label 7 of instance 1 has no cell in the confusion matrix of the classes 0 to 1");
  }
  // Every labelled instance counts: a label without a printed cell (-1 of
  // zero-onward classes, 0 of plus-one-minus-one ones) is no exception.
  EXPECT_THROW(stats.score(labelled({0, -1}, 2), std::vector<int>{0, 1}, true), Exception);
  EXPECT_EQ(stats.get_num_valid_labels(), 0);
}

TEST(ClassifierStats, MissingLabelNameWhilePrinting) {
  ClassifierStats stats;
  stats.score(labelled({0, 1}, 2), std::vector<int>{0, 1}, true);
  try {
    matrix(stats, names({"only"}), false);
    FAIL();
  } catch (const NoSuchLabelException& e) {
    EXPECT_EQ(e.get_message(), "label unknown: 1");
  }
}

}  // namespace
}  // namespace Sylvor

namespace Sylvor {
namespace {

// 100,000 classes would make a dense matrix of 40 GB: scoring keeps only
// the cells it counts, and the matrix is not printed at that size.
TEST(ClassifierStats, ManyClassesCostOnlyTheCellsCounted) {
  const int classes = 100000;
  MemoryDataSet<float, int> data;
  data.set_num_features(1);
  data.set_labeling(classes, DiscreteZeroOnward);
  const double v = 0;
  for (const int label : {0, 99999, 50000, 7}) data.add_instance(label, &v, &v + 1);
  ClassifierStats stats;
  stats.score(data, std::vector<int>{0, 99999, 7, 7}, true);
  EXPECT_EQ(stats.get_classification_rate(), 0.75);
  EXPECT_EQ(stats(50000, 7), 1);
  EXPECT_EQ(stats(50000, 50000), 0);
  EXPECT_EQ(stats.get_actual_label_count(99999), 1);
  std::ostringstream out;
  EXPECT_THROW(stats.output_confusion_matrix_with_string_labels(out, DataSetDescription(), false), Exception);
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace Sylvor
