// The view a tree is grown on. IndexedDataSet is a bootstrap sample: a list
// of instance indices (with repetitions, in the order drawn) into a shared,
// read-only data set.
//
// An IndexedDataSet owns its index list, never the data set. It belongs to
// the one thread that grows the tree; the data set may be read by other
// threads at the same time.
#ifndef SYLVOR_DATASET_INDEX_DATASET_HPP
#define SYLVOR_DATASET_INDEX_DATASET_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/random.hpp"

namespace Sylvor {

template <class DataSet>
class IndexedDataSet {
public:
  typedef DataSet dataset_type;
  typedef typename DataSet::feature_type feature_type;
  typedef typename DataSet::label_type label_type;

  explicit IndexedDataSet(const DataSet* dataset = nullptr) : dataset(dataset) {}

  const DataSet* get_dataset() const { return dataset; }
  std::size_t get_num_instances() const { return indices.size(); }
  std::size_t get_num_features() const { return dataset->get_num_features(); }
  std::size_t get_num_classes() const { return dataset->get_num_classes(); }
  LabelingType get_labeling() const { return dataset->get_labeling(); }

  // Instance index and label at position p of the index list.
  std::size_t get_index(std::size_t p) const { return indices[p]; }
  const label_type& get_label(std::size_t p) const { return dataset->get_label(indices[p]); }

  void add_index(std::size_t i) { indices.push_back(i); }

  const DataSet* dataset;
  std::vector<std::size_t> indices;
};

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

}  // namespace Sylvor

#endif
