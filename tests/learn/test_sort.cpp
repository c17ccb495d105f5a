#include "Sylvor/learn/sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "Sylvor/defs/random.hpp"

namespace Sylvor {
namespace {

template <class F>
std::vector<std::pair<F, int>> random_entries(std::size_t n, double scale, std::int64_t distinct = 41) {
  XorShiftRNG gen(XorShiftState{9, 8, 7, 6});
  std::vector<std::pair<F, int>> entries;
  for (std::size_t i = 0; i < n; ++i) {
    // By default few distinct values, so that many entries tie.
    const double v = (static_cast<double>(gen.next_int(distinct)) - static_cast<double>(distinct / 2)) * scale;
    entries.emplace_back(static_cast<F>(v), static_cast<int>(i));
  }
  return entries;
}

template <class F>
class LargeRangeSort : public ::testing::Test {};

typedef ::testing::Types<float, double, short> RadixTypes;
TYPED_TEST_SUITE(LargeRangeSort, RadixTypes);

TYPED_TEST(LargeRangeSort, OrdersByValueThenLabelWhateverTheInputOrder) {
  typedef TypeParam F;
  // Up to sizes sorted by wide digits, with few and with many distinct
  // values; the same entries given reversed come out the same.
  for (const std::size_t n : {std::size_t{10}, std::size_t{300}, std::size_t{5000}, std::size_t{70000}})
  for (const std::int64_t distinct : {std::int64_t{41}, std::int64_t{60000}}) {
    const double scale = std::is_floating_point<F>::value ? 0.37 : distinct > 41 ? 1.0 : 1000.0;
    auto entries = random_entries<F>(n, scale, distinct);
    auto reversed = std::vector<std::pair<F, int>>(entries.rbegin(), entries.rend());
    RadixFlexiSort<F, int> sorter;
    auto expected = entries;
    std::sort(expected.begin(), expected.end(), FeatureThenLabelLessThan<std::pair<F, int>>());
    sorter.sort(entries.data(), entries.data() + n);
    sorter.sort(reversed.data(), reversed.data() + n);
    EXPECT_EQ(entries, expected) << n;
    EXPECT_EQ(reversed, expected) << n;
  }
}

template <class F>
class ByLabelSort : public ::testing::Test {};

typedef ::testing::Types<float, double, short, int, unsigned char> AllFeatureTypes;
TYPED_TEST_SUITE(ByLabelSort, AllFeatureTypes);

TYPED_TEST(ByLabelSort, EqualValuesComeOutByAscendingLabelAtEverySize) {
  typedef TypeParam F;
  for (const std::size_t n : {std::size_t{10}, std::size_t{255}, std::size_t{256}, std::size_t{5000},
                              std::size_t{70000}}) {
    // Few distinct values and labels 0..4 given in a scrambled order.
    XorShiftRNG gen(XorShiftState{1, 2, 3, static_cast<std::int64_t>(n)});
    std::vector<std::pair<F, int>> entries;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = static_cast<double>(gen.next_int(30)) * (std::is_floating_point<F>::value ? 0.37 : 1.0);
      entries.emplace_back(static_cast<F>(v), static_cast<int>(gen.next_int(5)));
    }
    auto expected = entries;
    std::sort(expected.begin(), expected.end(), FeatureThenLabelLessThan<std::pair<F, int>>());
    FlexiSort<F, int> sorter;
    sorter.sort(entries.data(), entries.data() + n);
    EXPECT_EQ(entries, expected) << n;
  }
}

TEST(ByLabelSort, RunsOfEqualValuesWithDescendingLabelsAreReordered) {
  // Two values that differ in their highest radix digit only, each in a
  // long run whose labels descend in input order.
  std::vector<std::pair<float, int>> entries;
  for (int i = 0; i < 600; ++i) {
    entries.emplace_back(i % 2 == 0 ? 1.0f : 256.0f, 5 - (i % 6));
  }
  RadixFlexiSort<float, int> sorter;
  sorter.sort(entries.data(), entries.data() + entries.size());
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), FeatureThenLabelLessThan<std::pair<float, int>>()));
}

TEST(ByLabelSort, NegativeZeroIsTakenAsZero) {
  EXPECT_FALSE(std::signbit(without_negative_zero(-0.0)));
  EXPECT_FALSE(std::signbit(without_negative_zero(-0.0f)));
  EXPECT_EQ(without_negative_zero(-2.5), -2.5);
  EXPECT_EQ(without_negative_zero(short{-3}), -3);
}

TEST(ByLabelSort, LabelsThatAreNoClassNumbersStillSortByLabel) {
  std::vector<std::pair<float, double>> entries;
  for (int i = 0; i < 700; ++i) entries.emplace_back(static_cast<float>(i % 7), 0.5 * ((i * 13) % 11));
  RadixFlexiSort<float, double> sorter;
  sorter.sort(entries.data(), entries.data() + entries.size());
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end()));
}

TEST(RadixSort, ExtremeFloatingValues) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<std::pair<double, int>> entries;
  const double values[] = {inf, -inf, 1e-310, -1e-310, 1e308, -1e308, 2.5, -2.5, 0.0};
  for (int i = 0; i < 300; ++i) entries.emplace_back(values[i % 9], i);
  RadixFlexiSort<double, int> sorter;
  sorter.sort(entries.data(), entries.data() + entries.size());
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), FeatureThenLabelLessThan<std::pair<double, int>>()));
  EXPECT_EQ(entries.front().first, -inf);
  EXPECT_EQ(entries.back().first, inf);
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
  std::vector<std::pair<F, int>> entries;
  for (std::size_t i = 0; i < values.size(); ++i) entries.emplace_back(static_cast<F>(values[i]), labels[i]);
  FlexiSort<F, int> sorter;
  sorter.sort(entries.data(), entries.data() + entries.size());
  if constexpr (std::is_same<F, int>::value || std::is_same<F, unsigned char>::value) {
    if (counting_cells) *counting_cells = sorter.counts.size();
  }
  return entries;
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
  EXPECT_TRUE(std::is_sorted(as_short.begin(), as_short.end()));
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
  std::vector<std::pair<int, double>> entries;
  for (int i = 0; i < 64; ++i) entries.emplace_back(i % 2, 0.5 + i);
  FlexiSort<int, double> sorter;
  sorter.sort(entries.data(), entries.data() + entries.size());
  std::vector<double> labels;
  for (const auto& entry : entries) labels.push_back(entry.second);
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

}  // namespace
}  // namespace Sylvor
