#include "cli/info.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/stats/summary.hpp"

namespace Sylvor {

namespace {

// min / median (the upper one for an even count) / max of the values.
std::string spread(std::vector<long> values) {
  if (values.empty()) return "none";
  std::sort(values.begin(), values.end());
  return "min " + std::to_string(values.front()) + " / median " + std::to_string(values[values.size() / 2]) +
         " / max " + std::to_string(values.back());
}

long total(const std::vector<long>& values) {
  long sum = 0;
  for (const long v : values) sum += v;
  return sum;
}

// "name (value)" for a whole value that the description names, else the value.
void print_leaf_value(std::ostream& out, const DataSetDescription& desc, double value) {
  const bool whole = std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 2147483648.0;
  std::string name;
  if (whole) {
    try {
      name = desc.get_string_label(static_cast<int>(value));
    } catch (const NoSuchLabelException&) {
    }
  }
  if (!name.empty()) {
    out << name << " (" << exact(value) << ")";
  } else {
    out << exact(value);
  }
}

}  // namespace

void cli_info(const RandomForestOptions& options, std::ostream& out) {
  if (!std::ifstream(options.model_file)) {
    throw Exception("could not open model file: `" + options.model_file + "'");
  }
  const DataSetDescription desc = read_sylvor_description(options.desc_file);
  Forest<double> forest;
  read_forest(options.model_file, forest);
  const ModelSummary summary = summarize_model(forest);

  out << "Model: " << options.model_file << std::endl;
  out << "Trees: " << forest.size() << std::endl;
  out << "Nodes: total " << total(summary.nodes) << ", per tree " << spread(summary.nodes) << std::endl;
  out << "Leaves: total " << total(summary.leaves) << ", per tree " << spread(summary.leaves) << std::endl;
  out << "Depth: " << spread(summary.depths) << std::endl;
  out << "Feature splits (feature: splits):" << std::endl;
  for (const auto& [feature, count] : summary.feature_splits) out << "  " << feature << ": " << count << std::endl;
  out << "Leaf labels (label: leaves):" << std::endl;
  for (const auto& [value, count] : summary.leaf_values) {
    out << "  ";
    print_leaf_value(out, desc, value);
    out << ": " << count << std::endl;
  }
}

}  // namespace Sylvor
