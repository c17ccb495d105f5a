#include "Sylvor/dataset/dataset.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "python/PySylvor/native_array_dataset.hpp"
#include "tests/dataset/columns.hpp"

namespace Sylvor {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

using Testing::one_column;

struct ImputeCase {
  std::vector<double> column;
  std::vector<double> imputed;
};

class ImputeDouble : public ::testing::TestWithParam<ImputeCase> {};

TEST_P(ImputeDouble, ReplacesMissingByTheUpperMedian) {
  auto data = one_column<double>(GetParam().column);
  data.impute();
  EXPECT_EQ(data.features[0], GetParam().imputed);
}

INSTANTIATE_TEST_SUITE_P(Columns, ImputeDouble,
                         ::testing::Values(ImputeCase{{1, nan, 3, 4}, {1, 3, 3, 4}},
                                           ImputeCase{{nan, nan}, {0, 0}},
                                           ImputeCase{{2, 1}, {2, 1}},  // order kept
                                           ImputeCase{{4, 3, 2, 1, nan}, {4, 3, 2, 1, 3}},
                                           ImputeCase{{nan, -7}, {-7, -7}}));

TEST(Impute, FloatColumnUsesPositionHalfOfTheSortedValues) {
  auto data = one_column<float>({5, nan, 1, 2, 3});
  data.impute();
  EXPECT_EQ(data.features[0], (std::vector<float>{5, 3, 1, 2, 3}));
}

TEST(Impute, EachColumnHasItsOwnMedian) {
  MemoryDataSet<double, int> data;
  data.set_num_features(2);
  const double rows[][2] = {{1, nan}, {nan, 10}, {3, 20}, {5, 30}};
  for (const auto& row : rows) data.add_instance(1, row, row + 2);
  data.impute();
  EXPECT_EQ(data.features[0], (std::vector<double>{1, 3, 3, 5}));
  EXPECT_EQ(data.features[1], (std::vector<double>{20, 10, 20, 30}));
}

TEST(Impute, IntegerDataIsUnchanged) {
  auto data = one_column<int>({3, 1, 2});
  data.impute();
  EXPECT_EQ(data.features[0], (std::vector<int>{3, 1, 2}));
}

TEST(Medians, ColumnMediansAreWhatImputeFillsIn) {
  MemoryDataSet<float, int> data;
  data.set_num_features(3);
  const double rows[][3] = {{1, nan, 0.1}, {nan, nan, 0.3}, {3, nan, 0.2}, {5, nan, nan}};
  for (const auto& row : rows) data.add_instance(0, row, row + 3);
  const std::vector<double> medians = data.column_medians();
  EXPECT_EQ(medians, (std::vector<double>{3, 0, static_cast<double>(0.2f)}));
  auto imputed = data;
  imputed.impute();
  data.fill_missing(medians);
  EXPECT_EQ(data.features, imputed.features);
  EXPECT_FALSE(data.has_missing());
}

TEST(Medians, RecordedMediansFillTheColumnsTheyCover) {
  MemoryDataSet<double, int> data;
  data.set_num_features(2);
  const double rows[][2] = {{nan, nan}, {4, 7}};
  for (const auto& row : rows) data.add_instance(0, row, row + 2);
  EXPECT_TRUE(data.has_missing());
  data.fill_missing({-2.5});
  EXPECT_EQ(data.features[0], (std::vector<double>{-2.5, 4}));
  EXPECT_TRUE(std::isnan(data.features[1][0]));  // beyond the recorded medians
  EXPECT_EQ(one_column<int>({3, 1, 2}).column_medians(), std::vector<double>{2});
}

TEST(MemoryDataSet, NewDataSetHasTwoClassesAndNoInstances) {
  const MemoryDataSet<float, int> data;
  EXPECT_EQ(data.get_num_instances(), 0u);
  EXPECT_EQ(data.get_num_classes(), 2u);
  EXPECT_EQ(data.get_labeling(), DiscreteZeroOnward);
}

TEST(MemoryDataSet, GrowingTheFeatureCountKeepsFilledColumns) {
  MemoryDataSet<double, int> data;
  data.set_num_features(2);
  const double row[] = {1.5, 2.5};
  data.add_instance(4, row, row + 2);
  data.set_num_features(3);
  EXPECT_EQ(data.features[0], std::vector<double>{1.5});
  EXPECT_EQ(data.features[1], std::vector<double>{2.5});
  EXPECT_TRUE(data.features[2].empty());
  EXPECT_EQ(data.get_label(0), 4);
}

TEST(MemoryDataSet, ConversionTruncatesTowardZeroForIntegers) {
  MemoryDataSet<short, int> data;
  data.set_num_features(3);
  const double row[] = {2.9, -2.9, 7};
  data.add_instance(0, row, row + 3);
  EXPECT_EQ(data(0, 0), 2);
  EXPECT_EQ(data(0, 1), -2);
  EXPECT_EQ(data(0, 2), 7);
}

TEST(CopyFrom, ReadsEachFeatureThroughTheInstanceStride) {
  // A row-major 3 x 2 array of floats: instance i, feature f at [i][f]; the
  // view reaches feature f from &array[0][f] in steps of one row.
  const float array[3][2] = {{1, 10}, {2, 20}, {3, 30}};
  DisNativeArrayDataSet<float, int> view;
  view.ni = 3;
  view.nf = 2;
  view.nc = 4;
  view.stride_j = sizeof array[0];
  view.ltype = PlusOneMinusOne;
  view.features = {reinterpret_cast<const char*>(&array[0][0]),
                   reinterpret_cast<const char*>(&array[0][1])};
  view.labels = {-1, 1, -1};

  MemoryDataSet<float, int> data;
  data.set_num_features(5);  // replaced, not appended to
  data.copy_from(view);
  EXPECT_EQ(data.get_num_features(), 2u);
  EXPECT_EQ(data.get_num_classes(), 4u);
  EXPECT_EQ(data.get_labeling(), PlusOneMinusOne);
  EXPECT_EQ(data.features[0], (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(data.features[1], (std::vector<float>{10, 20, 30}));
  EXPECT_EQ(data.labels, (std::vector<int>{-1, 1, -1}));
}

}  // namespace
}  // namespace Sylvor
