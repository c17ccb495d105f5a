// The samples trees grow on, all drawn here: bootstrap samples of a size
// (a fraction of the instances or a count) drawn uniformly with
// replacement, samples drawn by instance weights, every instance once, and
// the sample of one tree of a forest as its settings say. Each draw takes
// one step of the generator given, so a sample depends only on the
// generator's state and the data's size (and weights).
//
// Functions of their arguments; a sample and its generator belong to the
// calling thread.
#ifndef SYLVOR_LEARN_SAMPLING_HPP
#define SYLVOR_LEARN_SAMPLING_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Sylvor/dataset/index_dataset.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/settings.hpp"

namespace Sylvor {

// The size of a bootstrap sample of fraction x n instances: the product
// truncated toward zero (0 for a negative or NaN fraction), except that a
// single instance with a positive fraction gives a sample of itself.
inline std::size_t bootstrap_sample_size(double fraction, std::size_t n) {
  if (n == 1 && fraction > 0.0) return 1;
  const double wanted = fraction * static_cast<double>(n);
  return !(wanted >= 1.0) ? 0
         : wanted >= 1.8e19 ? static_cast<std::size_t>(-1)  // reserve fails
                            : static_cast<std::size_t>(wanted);
}

// Refills `sample` (keeping its storage) with `count` instances of its data
// set, drawn independently with replacement by next_int(N) from the given
// generator.
template <class DataSet>
void draw_uniform_sample(IndexedDataSet<DataSet>& sample, std::size_t count, XorShiftRNG& random_generator) {
  sample.indices.clear();
  const std::size_t n = sample.dataset->get_num_instances();
  if (count == 0 || n == 0) return;
  sample.indices.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    sample.indices.push_back(static_cast<std::size_t>(random_generator.next_int(static_cast<std::int64_t>(n))));
  }
}

// Refills `sample` with a bootstrap sample of
// bootstrap_sample_size(fraction_of_parent, N) instances (see
// draw_uniform_sample).
template <class DataSet>
void draw_bootstrap_sample(IndexedDataSet<DataSet>& sample, double fraction_of_parent, XorShiftRNG& random_generator) {
  draw_uniform_sample(sample, bootstrap_sample_size(fraction_of_parent, sample.dataset->get_num_instances()),
                      random_generator);
}

// Refills `sample` with `count` instances drawn independently with
// replacement, instance i with probability proportional to its weight, from
// `cumulative` (the running sums of the weights, the last one positive).
// Each draw is one step of the generator: a 53-bit fraction u of the total,
// and the first instance whose running sum exceeds it, so an instance of
// weight 0 is never drawn.
template <class DataSet>
void draw_weighted_sample(IndexedDataSet<DataSet>& sample, std::size_t count, const std::vector<double>& cumulative,
                          XorShiftRNG& random_generator) {
  sample.indices.clear();
  if (count == 0 || cumulative.empty()) return;
  const double total = cumulative.back();
  // The last instance of positive weight, taken when u rounds up to the total.
  std::size_t last = cumulative.size() - 1;
  while (last > 0 && cumulative[last - 1] == total) --last;
  sample.indices.reserve(count);
  constexpr std::int64_t two_53 = std::int64_t(1) << 53;
  for (std::size_t k = 0; k < count; ++k) {
    const double u = static_cast<double>(random_generator.next_int(two_53)) * (1.0 / two_53) * total;
    const auto at = std::upper_bound(cumulative.begin(), cumulative.end(), u);
    sample.indices.push_back(at == cumulative.end() ? last : static_cast<std::size_t>(at - cumulative.begin()));
  }
}

// Refills `sample` with every instance of its data set once, in order.
template <class DataSet>
void take_every_instance(IndexedDataSet<DataSet>& sample) {
  const std::size_t n = sample.dataset->get_num_instances();
  sample.indices.resize(n);
  for (std::size_t i = 0; i < n; ++i) sample.indices[i] = i;
}

// A new bootstrap sample of `dataset` (see draw_bootstrap_sample).
template <class DataSet>
IndexedDataSet<DataSet> random_subset_iid(const DataSet* dataset, double fraction_of_parent,
                                          XorShiftRNG& random_generator) {
  IndexedDataSet<DataSet> sample(dataset);
  draw_bootstrap_sample(sample, fraction_of_parent, random_generator);
  return sample;
}

// The number of instances in each tree's sample.
inline std::size_t tree_sample_size(const ForestSettings& settings, std::size_t n) {
  if (!settings.bootstrap) return n;
  return settings.sample_size > 0 ? settings.sample_size : bootstrap_sample_size(settings.bootstrap_fraction, n);
}

// The running sums of the draw weights (empty without weights, or when they
// are all equal: equal weights are drawn as no weights, with the same draws).
inline std::vector<double> cumulative_draw_weights(const ForestSettings& settings, std::size_t n) {
  const std::vector<double>& weights = settings.draw_weights;
  if (weights.empty() || !settings.bootstrap) return {};
  if (weights.size() != n) {
    throw Exception("there are " + std::to_string(weights.size()) + " draw weights for " + std::to_string(n) +
                    " instances");
  }
  std::vector<double> cumulative(n);
  double sum = 0.0;
  bool equal = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(weights[i] >= 0.0) || weights[i] == HUGE_VAL) {
      throw Exception("the draw weight of instance " + std::to_string(i) + " is not a finite non-negative number");
    }
    equal = equal && weights[i] == weights[0];
    sum += weights[i];
    cumulative[i] = sum;
  }
  if (!(sum > 0.0) || sum == HUGE_VAL) throw Exception("the draw weights must have a positive, finite sum");
  if (equal) return {};
  return cumulative;
}

// Fills `sample` with the tree's instances: every instance once without
// bootstrap; else drawn with the generator, by weight when `cumulative`
// holds the weights' running sums.
template <class DataSet>
void draw_tree_sample(IndexedDataSet<DataSet>& sample, const ForestSettings& settings,
                      const std::vector<double>& cumulative, XorShiftRNG& rng) {
  const std::size_t n = sample.dataset->get_num_instances();
  if (!settings.bootstrap) {
    take_every_instance(sample);
  } else if (!cumulative.empty()) {
    draw_weighted_sample(sample, tree_sample_size(settings, n), cumulative, rng);
  } else {
    draw_uniform_sample(sample, tree_sample_size(settings, n), rng);
  }
}

}  // namespace Sylvor

#endif
