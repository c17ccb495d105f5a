// A tree as a Graphviz drawing: the DOT text of one stored tree, each split
// node labelled with its feature's name and threshold ("petal_length <
// 2.45", the instances below the threshold going left, to the edge marked
// "yes"), each leaf with its class name or value; a node testing levels
// shows the levels it sends left ("colour ∈ {amber, red}", at most 12 of
// them named, then "..."). In a tree that learned
// where missing values go, the edge they take is labelled "missing". Below
// a depth limit the subtrees are elided: each one is drawn as a single
// "(...)" node.
//
// Thresholds and values are written with six significant digits, for
// reading (the model file keeps them exactly); names are quoted and escaped
// for DOT. A pure function of its arguments, safe from any thread.
#ifndef SYLVOR_IO_TREE_DOT_HPP
#define SYLVOR_IO_TREE_DOT_HPP

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Sylvor/model/tree.hpp"

namespace Sylvor {

// The names a drawing shows, looked up as the drawing meets each feature
// and class (so a tree's largest index costs nothing of its own).
struct DotNames {
  // By feature index; an empty name (or no lookup) is written "feature K".
  std::function<std::string(int)> feature;
  // By class number: a leaf whose value is a class number with a name shows
  // the name, any other leaf its value.
  std::function<std::string(int)> class_name;
  // By feature and level number: a level's name (an empty name, or no
  // lookup, shows the number).
  std::function<std::string(int, std::uint32_t)> level;

  // Names from lists indexed by feature and by class number.
  static DotNames from_lists(std::vector<std::string> features, std::vector<std::string> classes);
};

// The DOT text ("digraph Tree { ... }") of `tree`; nodes deeper than
// max_depth (the root has depth 0) are elided when max_depth >= 0.
std::string tree_to_dot(const Tree<double>& tree, const DotNames& names, int max_depth = -1);

}  // namespace Sylvor

#endif
