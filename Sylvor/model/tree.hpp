// The stored form of a decision tree: five parallel arrays indexed by node
// number (left child, right child, tested feature, threshold, value) and a
// sixth, the side each inner node sends missing values (NaN) to. Growth
// writes it, model files and tree arrays are made of it, and every predictor
// walks it; a forest is a vector of trees.
//
// Nodes are numbered breadth first: node 0 is the root, the levels follow one
// another, each read left to right, and a node's left child comes before its
// right one, so a child is always numbered after its parent. A node is a leaf
// when it has no children (left and right -1); an inner node has both. The
// arrays hold each node's fields verbatim: growth leaves -1 as a leaf's
// feature and the last threshold it computed, and -2 as an inner node's
// value. Arrays from outside (model files, numpy arrays) are checked by
// check_tree_arrays and renumbered breadth first by tree_from_arrays before
// anything walks them.
//
// A tree learned with missing values in its split search (missing_learned)
// sends a missing value to the side its node recorded; callers give it
// missing values as they are. Other trees send NaN right (it is not below
// any threshold), and their callers fill missing values in before they ask.
//
// A node may test a categorical feature, whose values are level numbers
// 0, 1, ...: it sends left the levels of its set (kept as bits in
// level_words) and every other level right. Trees without such a node keep
// level_set empty.
//
// A tree owns its arrays; it is built on one thread and afterwards read by any
// number of threads at once.
#ifndef SYLVOR_MODEL_TREE_HPP
#define SYLVOR_MODEL_TREE_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

// Whether level x (widened to double) is in the level set that starts at
// `header` (see Tree::level_set); values that are no level are not.
inline bool level_in_set(const std::uint64_t* header, double x) {
  const double first = static_cast<double>((*header >> 32) * 64);
  const double bits = static_cast<double>((*header & 0xffffffffu) * 64);
  if (!(x >= first && x < first + bits)) return false;
  const std::uint64_t at = static_cast<std::uint64_t>(x - first);
  return (header[1 + at / 64] >> (at % 64) & 1u) != 0;
}

template <class L>
struct Tree {
  typedef L label_type;

  std::vector<int> left;        // left child, -1 for none
  std::vector<int> right;       // right child, -1 for none
  std::vector<int> feature;     // tested feature (-1 at the leaves growth makes)
  std::vector<double> threshold;
  std::vector<L> value;         // leaf value: class number or regression value
  std::vector<std::uint8_t> missing_left;  // 1: missing values go left (inner nodes only)
  bool missing_learned = false;  // learned with missing values left in the data
  // Per node, -1 or (a node testing levels) the position in level_words of
  // its set: a word holding the set's first word number (times 64, the
  // first level it covers) in its upper half and its word count in the
  // lower, then the words, bit b of word w standing for level 64 (first +
  // w) + b. Empty when no node tests levels.
  std::vector<std::int32_t> level_set;
  std::vector<std::uint64_t> level_words;

  std::size_t size() const { return left.size(); }
  bool empty() const { return left.empty(); }
  bool is_leaf(std::size_t k) const { return left[k] < 0; }

  // Appends a fresh node (no children, feature -1, threshold NaN, value -2)
  // and returns its number.
  std::size_t add_node() {
    left.push_back(-1);
    right.push_back(-1);
    feature.push_back(-1);
    threshold.push_back(std::numeric_limits<double>::quiet_NaN());
    value.push_back(static_cast<L>(-2));
    missing_left.push_back(0);
    if (!level_set.empty()) level_set.push_back(-1);
    return left.size() - 1;
  }

  // Makes node k an inner node whose children are the two nodes appended
  // now; returns the left one's number (the right one follows it).
  std::size_t add_children(std::size_t k) {
    const std::size_t l = add_node();
    add_node();
    left[k] = static_cast<int>(l);
    right[k] = static_cast<int>(l + 1);
    return l;
  }

  void clear() {
    left.clear();
    right.clear();
    feature.clear();
    threshold.clear();
    value.clear();
    missing_left.clear();
    missing_learned = false;
    level_set.clear();
    level_words.clear();
  }

  // Gives back the spare capacity that growing by appending leaves.
  void shrink_to_fit() {
    left.shrink_to_fit();
    right.shrink_to_fit();
    feature.shrink_to_fit();
    threshold.shrink_to_fit();
    value.shrink_to_fit();
    missing_left.shrink_to_fit();
    level_set.shrink_to_fit();
    level_words.shrink_to_fit();
  }

  // Whether node k tests the levels of a categorical feature.
  bool tests_levels(std::size_t k) const { return !level_set.empty() && level_set[k] >= 0; }

  // Whether level x (a whole number, widened to double) is in the set of
  // node k, which tests levels.
  bool level_goes_left(std::size_t k, double x) const {
    return level_in_set(level_words.data() + level_set[k], x);
  }

  // Makes node k test levels, sending left those of `levels` (ascending,
  // each below 2^32).
  void set_left_levels(std::size_t k, const std::vector<std::uint32_t>& levels) {
    if (level_set.empty()) level_set.assign(size(), -1);
    level_set[k] = static_cast<std::int32_t>(level_words.size());
    const std::uint64_t first = levels.empty() ? 0 : levels.front() / 64;
    const std::uint64_t count = levels.empty() ? 0 : levels.back() / 64 - first + 1;
    level_words.push_back(first << 32 | count);
    const std::size_t at = level_words.size();
    level_words.resize(at + count, 0);
    for (const std::uint32_t level : levels) level_words[at + level / 64 - first] |= std::uint64_t(1) << (level % 64);
  }

  // The levels node k sends left, ascending (none for a numeric test).
  std::vector<std::uint32_t> left_levels(std::size_t k) const {
    std::vector<std::uint32_t> levels;
    if (!tests_levels(k)) return levels;
    const std::uint64_t* header = level_words.data() + level_set[k];
    const std::uint64_t first = *header >> 32, count = *header & 0xffffffffu;
    for (std::uint64_t w = 0; w < count; ++w) {
      for (unsigned b = 0; b < 64; ++b) {
        if (header[1 + w] >> b & 1u) levels.push_back(static_cast<std::uint32_t>((first + w) * 64 + b));
      }
    }
    return levels;
  }

  // Whether a value (widened to double) goes left at inner node k: when it
  // is missing, as the node sends missing values; at a node testing levels,
  // when its set holds the value; else when the threshold is greater (equal
  // values go right).
  bool goes_left(std::size_t k, double x) const {
    if (x != x) return missing_left[k] != 0;
    return tests_levels(k) ? level_goes_left(k, x) : threshold[k] > x;
  }

  // The leaf that instance i of `data` reaches.
  template <class DataSet>
  std::size_t leaf_of(const DataSet& data, std::size_t i) const {
    std::size_t k = 0;
    while (left[k] >= 0) {
      const double x = static_cast<double>(data.features[static_cast<std::size_t>(feature[k])][i]);
      k = static_cast<std::size_t>(goes_left(k, x) ? left[k] : right[k]);
    }
    return k;
  }

  template <class DataSet>
  L predict(const DataSet& data, std::size_t i) const {
    return value[leaf_of(data, i)];
  }

  bool operator==(const Tree& other) const;
};

// Trees are equal when their arrays are, NaN thresholds matching NaN.
template <class L>
bool Tree<L>::operator==(const Tree& other) const {
  if (left != other.left || right != other.right || feature != other.feature || value != other.value ||
      missing_left != other.missing_left || missing_learned != other.missing_learned ||
      level_set != other.level_set || level_words != other.level_words) {
    return false;
  }
  for (std::size_t k = 0; k < threshold.size(); ++k) {
    const double a = threshold[k], b = other.threshold[k];
    if (!(a == b || (a != a && b != b))) return false;
  }
  return true;
}

template <class L>
using Forest = std::vector<Tree<L>>;

namespace detail {

template <class Source, class = void>
struct has_size : std::false_type {};
template <class Source>
struct has_size<Source, std::void_t<decltype(std::declval<const Source&>().size())>> : std::true_type {};

// Entry i of a numeric source as a node number: -1 (absent) for negative
// values and NaN, else truncated toward zero.
template <class T>
long long child_number(T value) {
  if constexpr (std::is_floating_point<T>::value) {
    if (!(value >= 0)) return -1;
    if (value >= 9.2e18) return std::numeric_limits<long long>::max();
    return static_cast<long long>(value);
  } else {
    return value < 0 ? -1 : static_cast<long long>(value);
  }
}

template <class Target, class T>
Target truncate_to(T value) {
  if constexpr (std::is_integral<Target>::value && std::is_floating_point<T>::value) {
    // Out-of-range and NaN values have no integer; they become the type's
    // lowest value instead of an undefined conversion.
    if (!(value > static_cast<T>(std::numeric_limits<Target>::min()) - 1 &&
          value < static_cast<T>(std::numeric_limits<Target>::max()) + 1)) {
      return std::numeric_limits<Target>::min();
    }
  }
  return static_cast<Target>(value);
}

// A leaf's value from outside (a model file, a numpy array) as L. A class
// number (integer L) must be a whole number within L's range, or the value
// would be another class than the one written: anything else calls
// fail(message), which throws.
template <class L, class T, class Fail>
L leaf_value(T value, Fail fail) {
  if constexpr (std::is_integral<L>::value && std::is_floating_point<T>::value) {
    const double v = static_cast<double>(value);
    if (!(std::trunc(v) == v && v >= static_cast<double>(std::numeric_limits<L>::min()) &&
          v <= static_cast<double>(std::numeric_limits<L>::max()))) {
      std::ostringstream text;
      text << v;
      fail("the leaf value " + text.str() + " is not a class number (a whole number)");
    }
  }
  return static_cast<L>(value);
}

}  // namespace detail

// Checks that child arrays describe one tree over nodes 0 .. num_nodes - 1
// rooted at node 0: every child number (negative or NaN means no child) lies
// in range and is greater than its parent's number, no node has two parents,
// every node but the root has a parent, and every node has both children or
// none. Throws FileFormatException naming the first fault found. Sources
// with a size() must hold at least num_nodes entries.
template <class ChildSource>
void check_tree_arrays(std::size_t num_nodes, const ChildSource& left, const ChildSource& right) {
  auto fail = [](const std::string& message) { throw FileFormatException("invalid tree: " + message); };
  if (num_nodes == 0) fail("a tree needs at least one node");
  if constexpr (detail::has_size<ChildSource>::value) {
    if (static_cast<std::size_t>(left.size()) < num_nodes || static_cast<std::size_t>(right.size()) < num_nodes) {
      fail("the child arrays hold fewer than " + std::to_string(num_nodes) + " entries");
    }
  }
  std::vector<char> has_parent(num_nodes, 0);
  for (std::size_t i = 0; i < num_nodes; ++i) {
    const long long children[2] = {detail::child_number(left[i]), detail::child_number(right[i])};
    if ((children[0] < 0) != (children[1] < 0)) fail("node " + std::to_string(i) + " has only one child");
    for (const long long child : children) {
      if (child < 0) continue;
      if (static_cast<unsigned long long>(child) >= num_nodes) {
        fail("node " + std::to_string(i) + " has child " + std::to_string(child) + " but the tree has " +
             std::to_string(num_nodes) + " nodes");
      }
      if (static_cast<std::size_t>(child) <= i) {
        fail("node " + std::to_string(i) + " has child " + std::to_string(child) + ", which is not numbered after it");
      }
      if (has_parent[static_cast<std::size_t>(child)]) {
        fail("node " + std::to_string(child) + " is the child of two nodes");
      }
      has_parent[static_cast<std::size_t>(child)] = 1;
    }
  }
  for (std::size_t i = 1; i < num_nodes; ++i) {
    if (!has_parent[i]) fail("node " + std::to_string(i) + " is not reachable from the root");
  }
}

// Copies the nodes reachable from source node 0 into `tree`, numbered breadth
// first. children(s) gives the source node numbers of node s's two children
// (both negative for a leaf); set(s, k) fills node k of `tree` from source
// node s. The source must be a tree (no node reachable twice).
template <class L, class Children, class Set>
void copy_breadth_first(Tree<L>& tree, Children children, Set set) {
  tree.clear();
  std::vector<long long> source{0};
  tree.add_node();
  for (std::size_t k = 0; k < source.size(); ++k) {
    const std::pair<long long, long long> pair = children(source[k]);
    if (pair.first >= 0) {
      tree.add_children(k);
      source.push_back(pair.first);
      source.push_back(pair.second);
    }
    set(source[k], k);
  }
}

// The missing sides of a tree without any: every node sends them right.
struct NoMissingSides {
  double operator[](std::size_t) const { return 0.0; }
};

// The tree that node arrays from outside describe (any indexable numeric
// sources, entry i standing for node i), after check_tree_arrays, renumbered
// breadth first. Feature indices and the values of inner nodes from
// floating sources are truncated toward zero; the value of a leaf must be
// exact (see leaf_value); thresholds are widened to double. With a source
// of missing sides (an inner node's entry 1 for left, 0 for right), the
// tree is one learned with missing values (missing_learned). finish(tree,
// s, k) is called once source node s has become node k.
template <class L, class ChildSource, class FeatureSource, class ThresholdSource, class ValueSource,
          class MissingSource = NoMissingSides, class Finish = void (*)(Tree<L>&, long long, std::size_t)>
Tree<L> tree_from_arrays(std::size_t num_nodes, const ChildSource& left, const ChildSource& right,
                         const FeatureSource& feature, const ThresholdSource& threshold, const ValueSource& value,
                         const MissingSource& missing = MissingSource(),
                         Finish finish = [](Tree<L>&, long long, std::size_t) {}) {
  constexpr bool with_sides = !std::is_same<MissingSource, NoMissingSides>::value;
  check_tree_arrays(num_nodes, left, right);
  if constexpr (detail::has_size<FeatureSource>::value && detail::has_size<ThresholdSource>::value &&
                detail::has_size<ValueSource>::value) {
    std::size_t missing_size = num_nodes;
    if constexpr (detail::has_size<MissingSource>::value) missing_size = static_cast<std::size_t>(missing.size());
    if (static_cast<std::size_t>(feature.size()) < num_nodes || static_cast<std::size_t>(threshold.size()) < num_nodes ||
        static_cast<std::size_t>(value.size()) < num_nodes || missing_size < num_nodes) {
      throw FileFormatException("invalid tree: the node arrays hold fewer than " + std::to_string(num_nodes) +
                                " entries");
    }
  }
  Tree<L> tree;
  copy_breadth_first(
      tree,
      [&](long long s) {
        const std::size_t at = static_cast<std::size_t>(s);
        return std::make_pair(detail::child_number(left[at]), detail::child_number(right[at]));
      },
      [&](long long s, std::size_t k) {
        const std::size_t at = static_cast<std::size_t>(s);
        tree.feature[k] = detail::truncate_to<int>(feature[at]);
        tree.threshold[k] = static_cast<double>(threshold[at]);
        if (detail::child_number(left[at]) < 0) {
          tree.value[k] = detail::leaf_value<L>(value[at], [](const std::string& message) {
            throw FileFormatException("invalid tree: " + message);
          });
        } else {
          tree.value[k] = detail::truncate_to<L>(value[at]);
          const double side = static_cast<double>(missing[at]);
          if (side != 0.0 && side != 1.0) {
            throw FileFormatException("invalid tree: the missing side of node " + std::to_string(s) +
                                      " must be 1 (left) or 0 (right)");
          }
          tree.missing_left[k] = side == 1.0;
        }
        finish(tree, s, k);
      });
  tree.missing_learned = with_sides;
  return tree;
}

// Throws Exception when a leaf of `forest` votes for something other than
// a class: -1 or +1 for plus-one-minus-one labels (`plus_minus`), else 0 ..
// num_classes - 1. The message names the tree and the label, so a model
// read against classes it was not learned with is refused before it
// predicts a class that does not exist.
template <class L>
void check_leaf_classes(const Forest<L>& forest, bool plus_minus, long num_classes) {
  for (std::size_t t = 0; t < forest.size(); ++t) {
    const Tree<L>& tree = forest[t];
    for (std::size_t k = 0; k < tree.size(); ++k) {
      if (!tree.is_leaf(k)) continue;
      const double v = static_cast<double>(tree.value[k]);
      const bool known = plus_minus ? (v == -1.0 || v == 1.0)
                                    : (v >= 0.0 && v < static_cast<double>(num_classes) && v == std::trunc(v));
      if (!known) {
        std::ostringstream value;
        value << v;
        throw Exception("tree " + std::to_string(t) + " has a leaf voting for class " + value.str() + ", but the classes are " +
                        (plus_minus ? std::string("-1 and +1")
                                    : num_classes > 0 ? "0 to " + std::to_string(num_classes - 1) : std::string("none")));
      }
    }
  }
}

}  // namespace Sylvor

#endif
