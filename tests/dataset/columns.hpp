// Small data sets built from columns, shared by the tests of the data sets
// and of the trees.
#ifndef SYLVOR_TESTS_DATASET_COLUMNS_HPP
#define SYLVOR_TESTS_DATASET_COLUMNS_HPP

#include <vector>

#include "Sylvor/dataset/dataset.hpp"

namespace Sylvor {
namespace Testing {

// One feature of the given values (NaN for a missing one), every label 0.
template <class F>
MemoryDataSet<F, int> one_column(const std::vector<double>& values) {
  MemoryDataSet<F, int> data;
  data.set_num_features(1);
  for (const double v : values) data.add_instance(0, &v, &v + 1);
  return data;
}

}  // namespace Testing
}  // namespace Sylvor

#endif
