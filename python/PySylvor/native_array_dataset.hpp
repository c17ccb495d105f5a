// A read-only view of a data set whose arrays are owned elsewhere (numpy
// arrays in the Python module): one byte pointer per feature to its first
// value, byte strides, and the labels. MemoryDataSet::copy_from reads it.
//
// The view owns only its pointer and label vectors, never the values they
// point to; the arrays must outlive it. Counts and strides are trusted.
// Not synchronised.
#ifndef PYSYLVOR_NATIVE_ARRAY_DATASET_HPP
#define PYSYLVOR_NATIVE_ARRAY_DATASET_HPP

#include <cstddef>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"

namespace Sylvor {

template <class F, class L>
struct DisNativeArrayDataSet {
  typedef F feature_type;
  typedef L label_type;

  std::size_t ni = 0;  // instances
  std::size_t nf = 0;  // features
  std::size_t nc = 0;  // classes
  std::ptrdiff_t stride_j = 0;  // bytes between consecutive instances of one feature
  LabelingType ltype = DiscreteZeroOnward;
  std::vector<const char*> features;  // per feature, the address of its first value
  std::vector<L> labels;              // one per instance
};

}  // namespace Sylvor

#endif
