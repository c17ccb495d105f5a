// The view a tree is grown on. IndexedDataSet is a bootstrap sample: a list
// of instance indices (with repetitions, in the order drawn) into a shared,
// read-only data set.
//
// An IndexedDataSet owns its index list, never the data set. It belongs to
// the one thread that grows the tree; the data set may be read by other
// threads at the same time.
#ifndef SYLVOR_DATASET_INDEX_DATASET_HPP
#define SYLVOR_DATASET_INDEX_DATASET_HPP

#include <cstddef>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"

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

}  // namespace Sylvor

#endif
