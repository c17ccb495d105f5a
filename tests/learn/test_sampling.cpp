#include "Sylvor/learn/sampling.hpp"

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

TEST(Bootstrap, OneInstanceWithAPositiveFractionIsItsOwnSample) {
  EXPECT_EQ(bootstrap_sample_size(0.632, 1), 1u);
  EXPECT_EQ(bootstrap_sample_size(1e-9, 1), 1u);
  EXPECT_EQ(bootstrap_sample_size(0.0, 1), 0u);
  EXPECT_EQ(bootstrap_sample_size(0.632, 2), 1u);
  EXPECT_EQ(bootstrap_sample_size(0.4, 2), 0u);
}

TEST(Bootstrap, RedrawingReusesTheSampleAndFollowsTheGenerator) {
  const auto data = column_data<float>({1, 2, 3, 4, 5}, {0, 1, 0, 1, 0});
  XorShiftRNG rng(some_state), reference(some_state);
  IndexedDataSet<MemoryDataSet<float, int>> sample(&data);
  draw_bootstrap_sample(sample, 2.0, rng);
  ASSERT_EQ(sample.get_num_instances(), 10u);
  draw_bootstrap_sample(sample, 0.6, rng);
  const auto expected_first = random_subset_iid(&data, 2.0, reference);
  const auto expected_second = random_subset_iid(&data, 0.6, reference);
  EXPECT_EQ(sample.indices, expected_second.indices);
  EXPECT_NE(expected_first.indices, expected_second.indices);
}

}  // namespace
}  // namespace Sylvor
