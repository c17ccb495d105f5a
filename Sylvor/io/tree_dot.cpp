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
  const std::size_t f = static_cast<std::size_t>(feature);
  if (feature >= 0 && f < names.features.size() && !names.features[f].empty()) return names.features[f];
  return "feature " + std::to_string(feature);
}

std::string leaf_name(const DotNames& names, double value) {
  if (std::isfinite(value) && value == std::trunc(value) && value >= 0.0 &&
      value < static_cast<double>(names.classes.size())) {
    const std::string& name = names.classes[static_cast<std::size_t>(value)];
    if (!name.empty()) return name;
  }
  return number(value);
}

}  // namespace

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
    out << k << " [label=" << quoted(feature_name(names, tree.feature[k]) + " < " + number(tree.threshold[k]))
        << "] ;\n";
    const std::size_t children[2] = {static_cast<std::size_t>(tree.left[k]), static_cast<std::size_t>(tree.right[k])};
    for (int side = 0; side < 2; ++side) {
      const std::size_t child = children[side];
      std::string to = std::to_string(child);
      if (max_depth >= 0 && depth[child] > max_depth) {
        to = std::to_string(elided++);
        out << to << " [label=\"(...)\", shape=plaintext] ;\n";
      }
      out << k << " -> " << to;
      if (k == 0) out << " [headlabel=" << (side == 0 ? "\"yes\", labelangle=45" : "\"no\", labelangle=-45")
                      << ", labeldistance=2.5]";
      out << " ;\n";
    }
  }
  out << "}\n";
  return out.str();
}

}  // namespace Sylvor
