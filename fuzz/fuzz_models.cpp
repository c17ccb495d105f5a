// Fuzz target: the lisp and vectortxt model readers (first byte even: lisp,
// odd: vectortxt), then prediction with what was read, as the test command
// does it (3 features, 3 classes), and the DOT drawing of every tree read
// as the info command reads it (the depth limit from the first byte).
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/io/tree_dot.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/predict/predictor.hpp"

namespace {

// The forest the model text holds, as far as it could be read (lisp for
// an even format byte, vectortxt for an odd one).
template <class L>
Sylvor::Forest<L> read_model_text(const std::uint8_t* bytes, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(bytes) + 1, size - 1));
  Sylvor::Forest<L> forest;
  try {
    if (bytes[0] % 2 == 0) {
      Sylvor::read_forest_as_lisp(in, forest);
    } else {
      Sylvor::read_forest_as_vectorized_txt(in, forest);
    }
  } catch (const Sylvor::Exception&) {
  } catch (const std::string&) {
  }
  return forest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 1) return 0;
  const Sylvor::Forest<int> forest = read_model_text<int>(bytes, size);
  const Sylvor::Forest<double> drawn = read_model_text<double>(bytes, size);
  const Sylvor::DotNames names = Sylvor::DotNames::from_lists({"a", "b \"quoted\""}, {"no", "", "yes"});
  for (const auto& tree : drawn) Sylvor::tree_to_dot(tree, names, static_cast<int>(bytes[0] / 2) % 5 - 1);
  Sylvor::MemoryDataSet<float, int> data;
  data.set_num_features(3);
  data.set_labeling(3, Sylvor::DiscreteZeroOnward);
  const double rows[3][3] = {{0, 0, 0}, {1e30, -1, 0.5}, {-1e30, 2, 7}};
  for (const auto& row : rows) data.add_instance(0, row, row + 3);
  try {
    Sylvor::BaseForestClassifier predictor(3);
    predictor.use_forest(forest);
    std::vector<int> labels;
    predictor.predict(data, labels);
  } catch (const Sylvor::Exception&) {
  }
  return 0;
}
