#include "Sylvor/io/tree_dot.hpp"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <utility>


namespace Sylvor {

namespace {

// A DOT string: quoted, with quotes and backslashes escaped and line ends
// written as \n.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c != '\r') {
      out += c;
    }
  }
  return out + "\"";
}

// A number for reading, not for reading back: six significant digits.
std::string number(double value) {
  std::ostringstream out;
  out << std::setprecision(6) << value;
  return out.str();
}

std::string feature_name(const DotNames& names, int feature) {
  const std::string name = names.feature && feature >= 0 ? names.feature(feature) : std::string();
  return name.empty() ? "feature " + std::to_string(feature) : name;
}

std::string leaf_name(const DotNames& names, double value) {
  if (names.class_name && std::isfinite(value) && value == std::trunc(value) && value >= 0.0 &&
      value < 2147483648.0) {
    const std::string name = names.class_name(static_cast<int>(value));
    if (!name.empty()) return name;
  }
  return number(value);
}

// "NAME ∈ {LEVEL, ...}": the levels node k sends left, at most 12 named.
std::string level_test(const DotNames& names, const Tree<double>& tree, std::size_t k) {
  const std::vector<std::uint32_t> levels = tree.left_levels(k);
  std::string text = feature_name(names, tree.feature[k]) + " \u2208 {";
  for (std::size_t j = 0; j < levels.size() && j < 12; ++j) {
    const std::string name = names.level ? names.level(tree.feature[k], levels[j]) : std::string();
    text += (j > 0 ? ", " : "") + (name.empty() ? std::to_string(levels[j]) : name);
  }
  return text + (levels.size() > 12 ? ", ...}" : "}");
}

// The entry of a list at `index`, or an empty name.
std::string entry(const std::vector<std::string>& list, int index) {
  return index >= 0 && static_cast<std::size_t>(index) < list.size() ? list[static_cast<std::size_t>(index)]
                                                                      : std::string();
}

}  // namespace

DotNames DotNames::from_lists(std::vector<std::string> features, std::vector<std::string> classes) {
  DotNames names;
  names.feature = [features = std::move(features)](int f) { return entry(features, f); };
  names.class_name = [classes = std::move(classes)](int c) { return entry(classes, c); };
  return names;
}

std::string tree_to_dot(const Tree<double>& tree, const DotNames& names, int max_depth) {
  std::ostringstream out;
  out << "digraph Tree {\n"
      << "node [shape=box, style=\"rounded\", fontname=\"helvetica\"] ;\n"
      << "edge [fontname=\"helvetica\"] ;\n";
  // Breadth-first numbering puts parents before children, so one pass in
  // node order knows each node's depth when it meets it.
  std::vector<int> depth(tree.size(), 0);
  std::size_t elided = tree.size();  // numbers for the "(...)" nodes, after the tree's own
  for (std::size_t k = 0; k < tree.size(); ++k) {
    if (!tree.is_leaf(k)) {
      depth[static_cast<std::size_t>(tree.left[k])] = depth[static_cast<std::size_t>(tree.right[k])] = depth[k] + 1;
    }
    if (max_depth >= 0 && depth[k] > max_depth) continue;
    if (tree.is_leaf(k)) {
      out << k << " [label=" << quoted(leaf_name(names, tree.value[k])) << ", shape=ellipse] ;\n";
      continue;
    }
    const std::string test = tree.tests_levels(k) ? level_test(names, tree, k)
                                                  : feature_name(names, tree.feature[k]) + " < " +
                                                        number(tree.threshold[k]);
    out << k << " [label=" << quoted(test) << "] ;\n";
    const std::size_t children[2] = {static_cast<std::size_t>(tree.left[k]), static_cast<std::size_t>(tree.right[k])};
    for (int side = 0; side < 2; ++side) {
      const std::size_t child = children[side];
      std::string to = std::to_string(child);
      if (max_depth >= 0 && depth[child] > max_depth) {
        to = std::to_string(elided++);
        out << to << " [label=\"(...)\", shape=plaintext] ;\n";
      }
      out << k << " -> " << to;
      std::string attributes;
      if (k == 0) {
        attributes = std::string("headlabel=") + (side == 0 ? "\"yes\", labelangle=45" : "\"no\", labelangle=-45") +
                     ", labeldistance=2.5";
      }
      // The edge missing values take, in a tree that learned where they go.
      if (tree.missing_learned && (tree.missing_left[k] != 0) == (side == 0)) {
        attributes += std::string(attributes.empty() ? "" : ", ") + "label=\"missing\"";
      }
      if (!attributes.empty()) out << " [" << attributes << "]";
      out << " ;\n";
    }
  }
  out << "}\n";
  return out.str();
}

}  // namespace Sylvor
