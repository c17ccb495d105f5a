#include "Sylvor/dataset/index_dataset.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "Sylvor/dataset/dataset.hpp"

namespace Sylvor {
namespace {

template <class F, class L = int>
MemoryDataSet<F, L> column_data(const std::vector<double>& values, const std::vector<L>& labels) {
  MemoryDataSet<F, L> data;
  data.set_num_features(1);
  for (std::size_t i = 0; i < values.size(); ++i) data.add_instance(labels[i], &values[i], &values[i] + 1);
  return data;
}

const XorShiftState some_state{-5, 123456789, -987654321, 42};

TEST(Bootstrap, DrawsNextIntOfNInOrder) {
  const auto data = column_data<float>({1, 2, 3, 4, 5, 6, 7}, {0, 1, 0, 1, 0, 1, 0});
  XorShiftRNG rng(some_state), reference(some_state);
  const auto sample = random_subset_iid(&data, 1.0, rng);
  ASSERT_EQ(sample.get_num_instances(), 7u);
  for (std::size_t k = 0; k < 7; ++k) {
    const auto i = static_cast<std::size_t>(reference.next_int(7));
    EXPECT_EQ(sample.get_index(k), i);
    EXPECT_EQ(sample.get_label(k), data.labels[i]);
  }
  EXPECT_EQ(rng.get_state(), reference.get_state());  // nothing else was drawn
}

TEST(Bootstrap, SizeIsTheTruncatedFraction) {
  const auto data = column_data<float>(std::vector<double>(10, 1.0), std::vector<int>(10, 0));
  XorShiftRNG rng(some_state);
  EXPECT_EQ(random_subset_iid(&data, 0.632, rng).get_num_instances(), 6u);
  EXPECT_EQ(random_subset_iid(&data, 0.09, rng).get_num_instances(), 0u);
  EXPECT_EQ(random_subset_iid(&data, 2.5, rng).get_num_instances(), 25u);
  const XorShiftState before = rng.get_state();
  EXPECT_EQ(random_subset_iid(&data, 0.0, rng).get_num_instances(), 0u);
  EXPECT_EQ(rng.get_state(), before);
}

template <class F>
IndexedDataSet<MemoryDataSet<F, int>> all_of(const MemoryDataSet<F, int>& data) {
  IndexedDataSet<MemoryDataSet<F, int>> sample(&data);
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) sample.add_index(i);
  return sample;
}

TEST(BufferSort, SortsTheRangeOnlyByValue) {
  const auto data = column_data<double>({5, 3, 9, 1, 7}, {0, 1, 2, 3, 4});
  auto sample = all_of(data);
  RangeDataSet<decltype(sample)> range(&sample, 1, 4);
  range.buffer_feature(0);
  range.sort_buffered_feature(0);
  std::vector<std::pair<double, int>> got(range.buffer_begin(), range.buffer_end());
  EXPECT_EQ(got, (std::vector<std::pair<double, int>>{{1, 3}, {3, 1}, {9, 2}}));
}

TEST(BufferSort, OtherFeatureThanTheBufferedOneFails) {
  MemoryDataSet<float, int> data;
  data.set_num_features(5);
  const double row[] = {1, 2, 3, 4, 5};
  data.add_instance(0, row, row + 5);
  data.add_instance(1, row, row + 5);
  auto sample = all_of(data);
  RangeDataSet<decltype(sample)> range(&sample, 0, 2);
  range.buffer_feature(3);
  try {
    range.sort_buffered_feature(4);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "feature not in buffer");
  }
}

struct CountingRule {
  std::size_t n;
  std::int64_t cells;
  bool counting;
};

class CountingSortRule : public ::testing::TestWithParam<CountingRule> {};

TEST_P(CountingSortRule, CountsOnlyWhereItPays) {
  EXPECT_EQ((IntFlexiSort<int, int>::counting_pays(GetParam().n, GetParam().cells)),
            GetParam().counting);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CountingSortRule,
    ::testing::Values(CountingRule{1, 1, false},     // 0 < 2
                      CountingRule{16, 32, true},    // 64 >= 64
                      CountingRule{16, 33, false},   // 64 < 66
                      CountingRule{4, 1, true},      // 8 >= 8
                      CountingRule{3, 1, false},     // 4.75 < 6
                      CountingRule{200000000, 2147483647, true},
                      CountingRule{1000000000, std::int64_t{1} << 32, false}));  // cells overflow 32 bits

template <class F>
std::vector<std::pair<F, int>> sort_all(const std::vector<double>& values, const std::vector<int>& labels,
                                        std::size_t* counting_cells = nullptr) {
  const auto data = column_data<F>(values, labels);
  auto sample = all_of(data);
  RangeDataSet<decltype(sample)> range(&sample, 0, values.size());
  range.buffer_feature(0);
  range.sort_buffered_feature(0);
  if constexpr (std::is_same<F, int>::value || std::is_same<F, unsigned char>::value) {
    if (counting_cells) *counting_cells = sample.flexi_sort.counts.size();
  }
  return {range.buffer_begin(), range.buffer_end()};
}

TEST(CountingSort, EqualValuesComeOutByAscendingLabel) {
  // 64 entries, values 0..3, labels 0..2: 12 cells, counting pays.
  std::vector<double> values;
  std::vector<int> labels;
  for (int i = 0; i < 64; ++i) {
    values.push_back((i * 7) % 4);
    labels.push_back(2 - (i % 3));
  }
  std::size_t cells = 0;
  const auto sorted = sort_all<unsigned char>(values, labels, &cells);
  EXPECT_GE(cells, 12u);
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));  // by value, then label
  const auto as_int = sort_all<int>(values, labels, &cells);
  EXPECT_TRUE(std::is_sorted(as_int.begin(), as_int.end()));

  const auto as_short = sort_all<short>(values, labels);
  EXPECT_TRUE(std::is_sorted(as_short.begin(), as_short.end(),
                             FeatureLabelLessThan<std::pair<short, int>>()));
}

TEST(CountingSort, NegativeValuesAndLabels) {
  std::vector<double> values;
  std::vector<int> labels;
  for (int i = 0; i < 40; ++i) {
    values.push_back(-(i % 5));
    labels.push_back(i % 2 == 0 ? 1 : -1);
  }
  std::size_t cells = 0;
  const auto sorted = sort_all<int>(values, labels, &cells);
  EXPECT_GE(cells, 15u);
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
  EXPECT_EQ(sorted.front(), (std::pair<int, int>{-4, -1}));
  EXPECT_EQ(sorted.back(), (std::pair<int, int>{0, 1}));
}

TEST(CountingSort, WideValueRangeUsesTheComparisonSort) {
  const std::vector<double> values{2147483647, -2147483648.0, 0, 5, 5, 5, 5, 5};
  std::size_t cells = 0;
  const auto sorted = sort_all<int>(values, std::vector<int>(8, 0), &cells);
  EXPECT_EQ(cells, 0u);
  EXPECT_EQ(sorted.front().first, -2147483647 - 1);
  EXPECT_EQ(sorted.back().first, 2147483647);
}

TEST(CountingSort, RegressionTargetsAreNeverRewritten) {
  // Counting would pay on the values, but the labels are not class numbers.
  MemoryDataSet<int, double> data;
  data.set_num_features(1);
  for (int i = 0; i < 64; ++i) {
    const double v = i % 2;
    data.add_instance(0.5 + i, &v, &v + 1);
  }
  IndexedDataSet<MemoryDataSet<int, double>> sample(&data);
  for (std::size_t i = 0; i < 64; ++i) sample.add_index(i);
  RangeDataSet<decltype(sample)> range(&sample, 0, 64);
  range.buffer_feature(0);
  range.sort_buffered_feature(0);
  std::vector<double> labels;
  for (auto p = range.buffer_begin(); p != range.buffer_end(); ++p) labels.push_back(p->second);
  std::sort(labels.begin(), labels.end());
  for (int i = 0; i < 64; ++i) EXPECT_EQ(labels[static_cast<std::size_t>(i)], 0.5 + i);
}

struct ArgPartitionCase {
  std::string name;
  std::vector<float> values;
  float threshold;
  std::vector<std::size_t> indices_after;
  std::size_t split;
};

class ArgPartition : public ::testing::TestWithParam<ArgPartitionCase> {};

TEST_P(ArgPartition, PutsValuesBelowTheThresholdFirst) {
  const ArgPartitionCase& c = GetParam();
  std::vector<std::size_t> indices(c.values.size());
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
  const float t = c.threshold;
  const auto split = argpartition(c.values.data(), indices.begin(), indices.end(),
                                  [t](float v) { return v < t; });
  EXPECT_EQ(static_cast<std::size_t>(split - indices.begin()), c.split);
  EXPECT_EQ(indices, c.indices_after);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ArgPartition,
    ::testing::Values(ArgPartitionCase{"Mixed", {5, 1, 4, 2, 3}, 3, {3, 1, 2, 0, 4}, 2},
                      ArgPartitionCase{"AllBelow", {1, 2, 3}, 10, {0, 1, 2}, 3},
                      ArgPartitionCase{"NoneBelow", {4, 5, 6}, 1, {0, 1, 2}, 0},
                      ArgPartitionCase{"EqualAndNaNGoRight", {3, NAN, 1}, 3, {2, 1, 0}, 1},
                      ArgPartitionCase{"Empty", {}, 0, {}, 0}),
    [](const ::testing::TestParamInfo<ArgPartitionCase>& info) { return info.param.name; });

TEST(RangeDataSet, PartitionReordersOnlyTheRange) {
  const auto data = column_data<double>({9, 8, 1, 7, 2, 0}, {0, 0, 0, 0, 0, 0});
  auto sample = all_of(data);
  RangeDataSet<decltype(sample)> range(&sample, 1, 5);
  const std::size_t split = range.partition(0, 5.0);
  EXPECT_EQ(split, 3u);
  EXPECT_EQ(sample.indices, (std::vector<std::size_t>{0, 4, 2, 3, 1, 5}));
}

}  // namespace
}  // namespace Sylvor
