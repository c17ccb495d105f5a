#include "cli/info.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <vector>

#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/tree_io.hpp"

namespace Sylvor {

namespace {

struct TreeShape {
  long nodes = 0;
  long leaves = 0;
  long depth = 0;
};

// min / median (the upper one for an even count) / max of the values.
std::string spread(std::vector<long> values) {
  if (values.empty()) return "none";
  std::sort(values.begin(), values.end());
  return "min " + std::to_string(values.front()) + " / median " + std::to_string(values[values.size() / 2]) +
         " / max " + std::to_string(values.back());
}

}  // namespace

void cli_info(const RandomForestOptions& options, std::ostream& out) {
  if (!std::ifstream(options.model_file)) {
    throw Exception("could not open model file: `" + options.model_file + "'");
  }
  const DataSetDescription desc = read_sylvor_description(options.desc_file);
  OwnedForest<double> owned;
  read_forest(options.model_file, owned.roots);
  const std::vector<Node<double>*>& forest = owned.roots;

  std::vector<long> nodes, leaves, depths;
  std::map<int, long> feature_splits;
  std::map<double, long> leaf_labels;
  for (const Node<double>* root : forest) {
    TreeShape shape;
    std::vector<std::pair<const Node<double>*, long>> pending{{root, 0}};
    while (!pending.empty()) {
      const auto [node, depth] = pending.back();
      pending.pop_back();
      ++shape.nodes;
      shape.depth = std::max(shape.depth, depth);
      if (node->is_leaf()) {
        ++shape.leaves;
        ++leaf_labels[node->get_label()];
      } else {
        ++feature_splits[node->get_feature_index()];
        pending.push_back({node->get_right(), depth + 1});
        pending.push_back({node->get_left(), depth + 1});
      }
    }
    nodes.push_back(shape.nodes);
    leaves.push_back(shape.leaves);
    depths.push_back(shape.depth);
  }
  auto total = [](const std::vector<long>& values) {
    long sum = 0;
    for (const long v : values) sum += v;
    return sum;
  };
  out << "Model: " << options.model_file << std::endl;
  out << "Trees: " << forest.size() << std::endl;
  out << "Nodes: total " << total(nodes) << ", per tree " << spread(nodes) << std::endl;
  out << "Leaves: total " << total(leaves) << ", per tree " << spread(leaves) << std::endl;
  out << "Depth: " << spread(depths) << std::endl;
  out << "Feature splits (feature: splits):" << std::endl;
  for (const auto& [feature, count] : feature_splits) out << "  " << feature << ": " << count << std::endl;
  out << "Leaf labels (label: leaves):" << std::endl;
  for (const auto& [label, count] : leaf_labels) {
    out << "  ";
    const bool whole = std::isfinite(label) && label == std::trunc(label) && std::fabs(label) < 2147483648.0;
    std::string name;
    if (whole) {
      try {
        name = desc.get_string_label(static_cast<int>(label));
      } catch (const NoSuchLabelException&) {
      }
    }
    if (!name.empty()) out << name << " (" << label << ")"; else out << label;
    out << ": " << count << std::endl;
  }
}

}  // namespace Sylvor
