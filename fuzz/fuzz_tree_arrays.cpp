// Fuzz target: tree arrays as the Python module reads them. The input is
// read as five rows of doubles (or floats when the first byte is odd),
// viewed through strided views, converted to a tree (with its validation)
// and used for prediction.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "python/PySylvor/contiguous_array_2d.hpp"
#include "Sylvor/predict/predictor.hpp"
#include "Sylvor/model/tree.hpp"

namespace {

template <class T>
void convert(const std::uint8_t* bytes, std::size_t size) {
  const std::size_t columns = size / (5 * sizeof(T));
  if (columns == 0) return;
  std::vector<char> buffer(bytes, bytes + 5 * columns * sizeof(T));
  const Sylvor::Array2D<T> array(buffer.data(), 5, static_cast<std::ptrdiff_t>(columns),
                                 static_cast<std::ptrdiff_t>(columns * sizeof(T)), sizeof(T));
  Sylvor::Forest<int> forest;
  try {
    forest.push_back(Sylvor::tree_from_arrays<int>(columns, array.get_row(0), array.get_row(1), array.get_row(2),
                                                   array.get_row(3), array.get_row(4)));
  } catch (const Sylvor::Exception&) {
    return;
  }
  Sylvor::MemoryDataSet<double, int> data;
  data.set_num_features(2);
  data.set_labeling(4, Sylvor::DiscreteZeroOnward);
  const double row[2] = {0.5, -3};
  data.add_instance(0, row, row + 2);
  try {
    Sylvor::BaseForestClassifier predictor(4);
    predictor.use_forest(forest);
    std::vector<int> labels;
    predictor.predict(data, labels);
  } catch (const Sylvor::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 1) return 0;
  if (bytes[0] % 2) {
    convert<float>(bytes + 1, size - 1);
  } else {
    convert<double>(bytes + 1, size - 1);
  }
  return 0;
}
