#include "cli/info.hpp"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/tree_dot.hpp"
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

// The names a description gives the features and classes, looked up as
// the drawing meets them.
DotNames names_of(const DataSetDescription& desc, const FeatureLevels& levels) {
  DotNames names;
  names.level = [&levels](int f, std::uint32_t level) {
    const std::size_t at = static_cast<std::size_t>(f);
    return levels.is_categorical(at) && level < levels.names[at].size() ? levels.names[at][level] : std::string();
  };
  names.feature = [&desc](int f) { return desc.get_feature_name(f); };
  names.class_name = [&desc](int c) {
    try {
      return desc.get_string_label(c);
    } catch (const NoSuchLabelException&) {
      return std::string();
    }
  };
  return names;
}

// Writes `text` to the --out file (whole or not at all) or to `out`.
void write_result(const RandomForestOptions& options, const std::string& text, std::ostream& out) {
  if (options.out.empty()) {
    out << text;
    return;
  }
  OutputFile file(options.out, "output");
  file.stream() << text;
  file.commit();
}

}  // namespace

void cli_info(const RandomForestOptions& options, std::ostream& out) {
  const DataSetDescription desc = read_sylvor_description(options.desc_file);
  Forest<double> forest;
  FeatureLevels levels;
  read_forest(options.model_file, forest, nullptr, &levels);
  if (forest.empty()) throw Exception("model file `" + options.model_file + "' holds no trees");
  if (options.dot) {
    if (options.tree < 0 || static_cast<std::size_t>(options.tree) >= forest.size()) {
      throw Exception("the model has " + std::to_string(forest.size()) + " trees: --tree must be from 0 to " +
                      std::to_string(static_cast<long>(forest.size()) - 1) + ", not " + std::to_string(options.tree));
    }
    const int max_depth = options.max_depth > 0 ? options.max_depth : -1;
    const Tree<double>& tree = forest[static_cast<std::size_t>(options.tree)];
    write_result(options, tree_to_dot(tree, names_of(desc, levels), max_depth), out);
    return;
  }
  const ModelSummary summary = summarize_model(forest);
  std::ostringstream text;
  text << "Model: " << options.model_file << std::endl;
  text << "Trees: " << forest.size() << std::endl;
  text << "Nodes: total " << total(summary.nodes) << ", per tree " << spread(summary.nodes) << std::endl;
  text << "Leaves: total " << total(summary.leaves) << ", per tree " << spread(summary.leaves) << std::endl;
  text << "Depth: " << spread(summary.depths) << std::endl;
  if (model_version(forest) > 1) {
    text << "Missing values: learned in the splits, sent left at " << summary.missing_left << " of "
         << summary.inner_nodes << " inner nodes" << std::endl;
  }
  for (std::size_t f = 0; f < levels.names.size(); ++f) {
    if (levels.is_categorical(f)) {
      text << "Categorical feature " << f << ": " << levels.names[f].size() << " levels" << std::endl;
    }
  }
  text << "Feature splits (feature: splits):" << std::endl;
  for (const auto& [feature, count] : summary.feature_splits) text << "  " << feature << ": " << count << std::endl;
  text << "Leaf labels (label: leaves):" << std::endl;
  for (const auto& [value, count] : summary.leaf_values) {
    text << "  ";
    print_leaf_value(text, desc, value);
    text << ": " << count << std::endl;
  }
  write_result(options, text.str(), out);
}

}  // namespace Sylvor
