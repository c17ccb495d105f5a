#include "Sylvor/defs/sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "Sylvor/defs/random.hpp"

namespace Sylvor {
namespace {

template <class F>
std::vector<std::pair<F, int>> random_entries(std::size_t n, double scale) {
  XorShiftRNG gen(XorShiftState{9, 8, 7, 6});
  std::vector<std::pair<F, int>> entries;
  for (std::size_t i = 0; i < n; ++i) {
    // Few distinct values, so that many entries tie.
    const double v = (static_cast<double>(gen.next_int(41)) - 20.0) * scale;
    entries.emplace_back(static_cast<F>(v), static_cast<int>(i));
  }
  return entries;
}

template <class F>
class LargeRangeSort : public ::testing::Test {};

typedef ::testing::Types<float, double, short> RadixTypes;
TYPED_TEST_SUITE(LargeRangeSort, RadixTypes);

TYPED_TEST(LargeRangeSort, OrdersValuesAndKeepsInputOrderAmongEqualValues) {
  typedef TypeParam F;
  for (const std::size_t n : {std::size_t{10}, std::size_t{300}, std::size_t{5000}}) {
    auto entries = random_entries<F>(n, std::is_floating_point<F>::value ? 0.37 : 1000.0);
    RadixFlexiSort<F, int> sorter;
    auto expected = entries;
    std::stable_sort(expected.begin(), expected.end(), FeatureLabelLessThan<std::pair<F, int>>());
    sorter.sort(entries.data(), entries.data() + n);
    if (n >= RadixFlexiSort<F, int>::radix_from) {
      EXPECT_EQ(entries, expected) << n;  // stable
    } else {
      EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), FeatureLabelLessThan<std::pair<F, int>>()));
    }
  }
}

TEST(RadixSort, ExtremeFloatingValues) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<std::pair<double, int>> entries;
  const double values[] = {inf, -inf, 1e-310, -1e-310, 1e308, -1e308, 2.5, -2.5, 0.0};
  for (int i = 0; i < 300; ++i) entries.emplace_back(values[i % 9], i);
  RadixFlexiSort<double, int> sorter;
  sorter.sort(entries.data(), entries.data() + entries.size());
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), FeatureLabelLessThan<std::pair<double, int>>()));
  EXPECT_EQ(entries.front().first, -inf);
  EXPECT_EQ(entries.back().first, inf);
}

}  // namespace
}  // namespace Sylvor
