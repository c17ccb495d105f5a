// The views a tree is grown on. IndexedDataSet is a bootstrap sample: a list
// of instance indices (with repetitions, in the order drawn) into a shared,
// read-only data set, plus one (feature value, label) buffer that serves
// every feature of every node, and the sort scratch. RangeDataSet is the
// slice [begin_i, end_i) of a sample's index list that belongs to one node.
//
// An IndexedDataSet owns its index list, buffer and scratch, never the data
// set; copying it copies them. The buffer is meaningful only for the range
// most recently buffered. Both views belong to the one thread that grows the
// tree; the data set may be read by other threads at the same time.
#ifndef SYLVOR_DATASET_INDEX_DATASET_HPP
#define SYLVOR_DATASET_INDEX_DATASET_HPP

#include <cstddef>
#include <utility>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/defs/sort.hpp"

namespace Sylvor {

template <class DataSet>
class IndexedDataSet {
public:
  typedef typename DataSet::feature_type feature_type;
  typedef typename DataSet::label_type label_type;
  typedef std::pair<feature_type, label_type> entry_type;

  explicit IndexedDataSet(const DataSet* dataset = nullptr) : dataset(dataset) {}

  const DataSet* get_dataset() const { return dataset; }
  std::size_t get_num_instances() const { return indices.size(); }
  std::size_t get_num_features() const { return dataset->get_num_features(); }
  std::size_t get_num_classes() const { return dataset->get_num_classes(); }
  LabelingType get_labeling() const { return dataset->get_labeling(); }

  // Instance index and label at position p of the index list.
  std::size_t get_index(std::size_t p) const { return indices[p]; }
  const label_type& get_label(std::size_t p) const { return dataset->get_label(indices[p]); }
  const entry_type& get_buffered_feature_label(std::size_t p) const {
    return feature_label_buffer[p];
  }

  // Appends an instance to the sample (its buffer entry is a placeholder).
  void add_index(std::size_t i) {
    indices.push_back(i);
    feature_label_buffer.emplace_back(feature_type(), dataset->get_label(i));
  }

  // Fills the buffer at positions [begin, end) with feature f of each
  // position's instance and its label.
  void buffer_feature(std::size_t f, std::size_t begin, std::size_t end) {
    if (feature_label_buffer.size() != indices.size()) feature_label_buffer.resize(indices.size());
    buffered_feature_index = f;
    const feature_type* column = dataset->features[f].data();
    const auto& labels = dataset->labels;
    for (std::size_t p = begin; p < end; ++p) {
      const std::size_t i = indices[p];
      feature_label_buffer[p] = entry_type(column[i], labels[i]);
    }
  }

  // Sorts the buffer at [begin, end) by value; the buffer must hold feature f.
  void sort_buffered_feature(std::size_t f, std::size_t begin, std::size_t end) {
    if (f != buffered_feature_index) throw Exception("feature not in buffer");
    if (end <= begin) return;
    flexi_sort.sort(feature_label_buffer.data() + begin, feature_label_buffer.data() + end);
  }

  // Reorders the indices at [begin, end) so that those whose value of
  // feature f is below `threshold` come first; returns the first position of
  // the others (values at or above the threshold, and NaN).
  std::size_t partition(std::size_t f, double threshold, std::size_t begin, std::size_t end) {
    const feature_type* column = dataset->features[f].data();
    const auto first = indices.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto split = argpartition(column, first, indices.begin() + static_cast<std::ptrdiff_t>(end),
                                    [threshold](feature_type v) { return static_cast<double>(v) < threshold; });
    return begin + static_cast<std::size_t>(split - first);
  }

  const DataSet* dataset;
  std::vector<std::size_t> indices;
  std::vector<entry_type> feature_label_buffer;
  std::size_t buffered_feature_index = static_cast<std::size_t>(-1);
  FlexiSort<feature_type, label_type> flexi_sort;
};

template <class Indexed>
class RangeDataSet {
public:
  typedef typename Indexed::feature_type feature_type;
  typedef typename Indexed::label_type label_type;
  typedef typename Indexed::entry_type entry_type;

  RangeDataSet(Indexed* dataset, std::size_t begin_i, std::size_t end_i)
      : dataset(dataset), begin_i(begin_i), end_i(end_i) {}

  void set_range(std::size_t begin, std::size_t end) {
    begin_i = begin;
    end_i = end;
  }
  std::size_t get_begin() const { return begin_i; }
  std::size_t get_end() const { return end_i; }

  std::size_t get_num_instances() const { return end_i - begin_i; }
  std::size_t get_num_features() const { return dataset->get_num_features(); }
  std::size_t get_num_classes() const { return dataset->get_num_classes(); }
  LabelingType get_labeling() const { return dataset->get_labeling(); }

  // Instance index and label of the k-th instance of the range.
  std::size_t get_index(std::size_t k) const { return dataset->get_index(begin_i + k); }
  const label_type& get_label(std::size_t k) const { return dataset->get_label(begin_i + k); }

  void buffer_feature(std::size_t f) { dataset->buffer_feature(f, begin_i, end_i); }
  void sort_buffered_feature(std::size_t f) { dataset->sort_buffered_feature(f, begin_i, end_i); }

  // The range's buffer entries, as last buffered (and sorted).
  const entry_type* buffer_begin() const { return dataset->feature_label_buffer.data() + begin_i; }
  const entry_type* buffer_end() const { return dataset->feature_label_buffer.data() + end_i; }

  // See IndexedDataSet::partition; returns an absolute position.
  std::size_t partition(std::size_t f, double threshold) {
    return dataset->partition(f, threshold, begin_i, end_i);
  }

  Indexed* dataset;
  std::size_t begin_i;
  std::size_t end_i;
};

// A bootstrap sample of fraction_of_parent x N instances (truncated), drawn
// independently with replacement by next_int(N) from the given generator.
template <class DataSet>
IndexedDataSet<DataSet> random_subset_iid(const DataSet* dataset, double fraction_of_parent,
                                          XorShiftRNG& random_generator) {
  IndexedDataSet<DataSet> sample(dataset);
  const std::size_t n = dataset->get_num_instances();
  const double wanted = fraction_of_parent * static_cast<double>(n);
  // Truncation toward zero; a negative or NaN fraction gives an empty sample.
  const std::size_t count = !(wanted >= 1.0) ? 0
                            : wanted >= 1.8e19 ? static_cast<std::size_t>(-1)  // reserve fails
                                               : static_cast<std::size_t>(wanted);
  if (count == 0 || n == 0) return sample;
  sample.indices.reserve(count);
  sample.feature_label_buffer.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    sample.add_index(static_cast<std::size_t>(random_generator.next_int(static_cast<std::int64_t>(n))));
  }
  return sample;
}

}  // namespace Sylvor

#endif
