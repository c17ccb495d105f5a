// Fuzz target: the reader of the leaf samples written beside a regression
// model, for a model of a stump and a tree of one split, then the
// quantiles of a few rows from whatever records it accepted.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/io/leaf_samples_io.hpp"
#include "Sylvor/predict/quantiles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Sylvor::Tree<double> stump;
  stump.add_node();
  Sylvor::Tree<double> split;
  split.add_node();
  split.add_children(0);
  split.feature[0] = 0;
  split.threshold[0] = 0.5;
  const Sylvor::Forest<double> trees{stump, split};
  const Sylvor::FileFingerprint print{0x0123456789abcdefULL, 77};
  std::istringstream in(std::string(reinterpret_cast<const char*>(bytes), size));
  Sylvor::LeafSamples samples;
  try {
    samples = Sylvor::read_leaf_samples_text(in, "fuzz.leaves", print, trees);
  } catch (const Sylvor::Exception&) {
    return 0;
  }
  Sylvor::MemoryDataSet<double, double> data;
  data.set_num_features(1);
  data.set_labeling(1, Sylvor::Regression);
  for (const double x : {0.0, 0.5, 1.0, -1e300}) data.add_instance(0.0, &x, &x + 1);
  const Sylvor::FlatForest<double> flat(trees);
  double sum = 0.0;
  Sylvor::predict_quantiles(flat, samples, Sylvor::rank_targets(samples.targets), data, {0.0, 0.3, 1.0}, 1,
                            [&](std::size_t, std::size_t, double v) { sum += v == v ? 1.0 : 0.0; });
  return sum < 0.0;
}
