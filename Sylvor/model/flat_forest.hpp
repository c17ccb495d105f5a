// The read-only form through which every predictor walks a forest: all the
// trees' nodes packed end to end, 16 bytes a node (threshold, tested
// feature, left child), and beside them each node's value, built once from
// the stored trees. A node keeps its number in the stored tree, and a node's
// right child, numbered just after its left one, lies just after it, so one
// cache line serves a decision and both candidates for the next step. A
// leaf steps onto itself, so instances walked together take as many steps
// as the tree is deep, without a test for the leaves they reached.
//
// A flat forest owns its packed copy and never changes it after it is made,
// so any number of threads may walk one at once. Walks follow Tree::leaf_of
// exactly (left when the threshold is greater than the value widened to
// double, or when the value is missing and the node sends missing values
// left, or at a node testing levels when its set holds the value; else
// right). The level sets of all the trees are copied into one pool.
// The walk is chosen once per forest, not per step: a forest without learned
// missing sides or level tests is walked by the threshold test alone, one
// without level tests by the threshold and missing-side tests.
#ifndef SYLVOR_MODEL_FLAT_FOREST_HPP
#define SYLVOR_MODEL_FLAT_FOREST_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/model/tree.hpp"

namespace Sylvor {

// The column pointers of a data set, features[f].data().
template <class DataSet>
std::vector<const typename DataSet::feature_type*> column_pointers(const DataSet& data) {
  std::vector<const typename DataSet::feature_type*> columns;
  columns.reserve(data.features.size());
  for (const auto& column : data.features) columns.push_back(column.data());
  return columns;
}

// Whether no value of instances first .. first + count - 1 is missing
// (NaN); integer columns hold none.
template <class F>
bool none_missing(const std::vector<const F*>& columns, std::size_t first, std::size_t count) {
  if (!std::is_floating_point<F>::value) return true;
  for (const F* column : columns) {
    bool any = false;
    for (std::size_t i = first; i < first + count; ++i) any |= column[i] != column[i];
    if (any) return false;
  }
  return true;
}

template <class L>
class FlatForest {
public:
  // Instances walked side by side by values_of_lanes.
  static constexpr std::size_t lanes = 16;

  FlatForest() = default;

  // Packs the trees of `forest`; throws Exception for a tree whose right
  // children do not follow their left ones (not numbered breadth first).
  explicit FlatForest(const Forest<L>& forest) {
    std::size_t total = 0;
    for (const Tree<L>& tree : forest) total += tree.size();
    nodes.reserve(total);
    values.reserve(total);
    std::vector<std::size_t> depth;
    for (std::size_t t = 0; t < forest.size(); ++t) {
      const Tree<L>& tree = forest[t];
      roots.push_back(nodes.size());
      TestedFeatures tested;
      depth.assign(tree.size(), 0);
      std::size_t deepest = 0;
      for (std::size_t k = 0; k < tree.size(); ++k) {
        FlatNode node;
        deepest = std::max(deepest, depth[k]);
        if (tree.is_leaf(k)) {
          // A leaf leads to itself: every value goes right (nothing is below
          // minus infinity, NaN included), to left + 1, the leaf.
          node.threshold = -std::numeric_limits<double>::infinity();
          node.feature = 0;
          node.left = static_cast<int>(k) - 1;
        } else {
          if (tree.right[k] != tree.left[k] + 1) {
            throw Exception("tree " + std::to_string(t) + " is not numbered breadth first");
          }
          if (tree.feature[k] >= FlatNode::levels_bit) {
            throw Exception("tree " + std::to_string(t) + " tests feature " + std::to_string(tree.feature[k]) +
                            ", beyond the features a forest may have");
          }
          node.set_feature(tree.feature[k], tree.missing_left[k] != 0, tree.tests_levels(k));
          if (node.feature != tree.feature[k]) walk = std::max(walk, tree.tests_levels(k) ? Walk::levels : Walk::sides);
          node.threshold = tree.threshold[k];
          if (tree.tests_levels(k)) node.threshold = static_cast<double>(copy_level_set(tree, k));
          node.left = tree.left[k];
          depth[static_cast<std::size_t>(tree.left[k])] = depth[static_cast<std::size_t>(tree.right[k])] = depth[k] + 1;
          tested.lowest = std::min(tested.lowest, tree.feature[k]);
          tested.highest = std::max(tested.highest, tree.feature[k]);
        }
        nodes.push_back(node);
        values.push_back(tree.value[k]);
      }
      features.push_back(tested);
      depths.push_back(deepest);
    }
  }

  std::size_t size() const { return roots.size(); }
  bool empty() const { return roots.empty(); }

  // Throws Exception when an inner node tests a feature outside
  // 0 .. num_features - 1 (a model learned on other data).
  // Must be called before any walk.
  void check(std::size_t num_features) const {
    for (std::size_t t = 0; t < features.size(); ++t) {
      const TestedFeatures& tested = features[t];
      int bad;
      if (tested.lowest < 0) {
        bad = tested.lowest;
      } else if (tested.highest >= 0 && static_cast<std::size_t>(tested.highest) >= num_features) {
        bad = tested.highest;
      } else {
        continue;
      }
      throw Exception("tree " + std::to_string(t) + " tests feature " + std::to_string(bad) + " but the data have " +
                      std::to_string(num_features) + " features: was the model learned on other data?");
    }
  }

  // The leaf that instance i reaches in tree k, starting at node `from`;
  // value_of(feature) gives the instance's values (by default its columns).
  template <class ValueOf>
  std::size_t leaf_from(std::size_t k, std::size_t from, ValueOf value_of) const {
    switch (walk) {
      case Walk::plain: return leaf_from<Walk::plain>(k, from, value_of);
      case Walk::sides: return leaf_from<Walk::sides>(k, from, value_of);
      default: return leaf_from<Walk::levels>(k, from, value_of);
    }
  }

  template <class F>
  std::size_t leaf_of(std::size_t k, const F* const* columns, std::size_t i) const {
    return leaf_from(k, 0, [&](std::size_t f) { return columns[f][i]; });
  }

  // Walks instances first .. first + n - 1 (n <= lanes) through tree k side
  // by side, as many steps as the tree is deep (a leaf steps onto itself),
  // so the walks have no branch of their own and their memory accesses
  // overlap; stores the values of the leaves reached in values[0 .. n - 1].
  // `no_missing` promises that no value of these instances is missing: the
  // missing sides are then never consulted, and a forest without level
  // tests is walked by the threshold test alone.
  template <class F>
  void values_of_lanes(std::size_t k, const F* const* columns, std::size_t first, std::size_t n, L* out,
                       bool no_missing = false) const {
    switch (no_missing && walk == Walk::sides ? Walk::sides_no_missing : walk) {
      case Walk::plain: values_of_lanes<Walk::plain>(k, columns, first, n, out); break;
      case Walk::sides_no_missing: values_of_lanes<Walk::sides_no_missing>(k, columns, first, n, out); break;
      case Walk::sides: values_of_lanes<Walk::sides>(k, columns, first, n, out); break;
      default: values_of_lanes<Walk::levels>(k, columns, first, n, out);
    }
  }

  // As values_of_lanes, storing the numbers of the leaves reached.
  template <class F>
  void leaves_of_lanes(std::size_t k, const F* const* columns, std::size_t first, std::size_t n, std::size_t* out,
                       bool no_missing = false) const {
    switch (no_missing && walk == Walk::sides ? Walk::sides_no_missing : walk) {
      case Walk::plain: walk_lanes<Walk::plain>(k, columns, first, n, out); break;
      case Walk::sides_no_missing: walk_lanes<Walk::sides_no_missing>(k, columns, first, n, out); break;
      case Walk::sides: walk_lanes<Walk::sides>(k, columns, first, n, out); break;
      default: walk_lanes<Walk::levels>(k, columns, first, n, out);
    }
  }

  // Walks instances first .. first + count - 1 (any number) through tree k,
  // sixteen side by side, and stores the numbers of the leaves reached in
  // out[0 .. count - 1]; `no_missing` as for values_of_lanes.
  template <class F, class Leaf>
  void leaves_of_rows(std::size_t k, const F* const* columns, std::size_t first, std::size_t count, Leaf* out,
                      bool no_missing = false) const {
    std::size_t at[lanes];
    for (std::size_t j = 0; j < count; j += lanes) {
      const std::size_t n = std::min(lanes, count - j);
      leaves_of_lanes(k, columns, first + j, n, at, no_missing);
      for (std::size_t l = 0; l < n; ++l) out[j + l] = static_cast<Leaf>(at[l]);
    }
  }

  // The value of node `leaf` of tree k.
  L value(std::size_t k, std::size_t leaf) const { return values[roots[k] + leaf]; }

  // Whether walks gain by knowing that a block of instances has no missing
  // value (see values_of_lanes).
  bool gains_from_no_missing() const { return walk == Walk::sides; }

private:
  // What a forest's nodes may test, in order of the work a step takes; a
  // forest of sides walked with values known not to be missing reads the
  // tested features as sides but tests the thresholds alone.
  enum class Walk { plain, sides_no_missing, sides, levels };

  template <Walk How, class ValueOf>
  std::size_t leaf_from(std::size_t k, std::size_t from, ValueOf value_of) const {
    const FlatNode* base = nodes.data() + roots[k];
    std::size_t at = from;
    for (;;) {
      const FlatNode& node = base[at];
      if (node.left == static_cast<int>(at) - 1) return at;  // a leaf
      at = node.template next<How>(static_cast<double>(value_of(node.template column<How>())), level_words.data());
    }
  }

  template <Walk How, class F>
  void values_of_lanes(std::size_t k, const F* const* columns, std::size_t first, std::size_t n, L* out) const {
    std::size_t at[lanes];
    walk_lanes<How>(k, columns, first, n, at);
    const L* tree_values = values.data() + roots[k];
    for (std::size_t j = 0; j < n; ++j) out[j] = tree_values[at[j]];
  }

  // The leaves instances first .. first + n - 1 reach in tree k, in at[].
  template <Walk How, class F>
  void walk_lanes(std::size_t k, const F* const* columns, std::size_t first, std::size_t n, std::size_t* at) const {
    const FlatNode* base = nodes.data() + roots[k];
    const std::uint64_t* words = level_words.data();
    for (std::size_t j = 0; j < n; ++j) at[j] = 0;
    for (std::size_t step = 0; step < depths[k]; ++step) {
      for (std::size_t j = 0; j < n; ++j) {
        const FlatNode& node = base[at[j]];
        at[j] = node.template next<How>(static_cast<double>(columns[node.template column<How>()][first + j]), words);
      }
      // Every eighth step: stop once every instance is at its leaf.
      if (step % 8 == 7) {
        bool all_leaves = true;
        for (std::size_t j = 0; j < n; ++j) all_leaves &= base[at[j]].left == static_cast<int>(at[j]) - 1;
        if (all_leaves) break;
      }
    }
  }

  struct FlatNode {
    // Marks the feature of a node testing levels, whose threshold is then
    // the position of its set in level_words.
    static constexpr int levels_bit = 1 << 30;

    double threshold = 0.0;  // a leaf: minus infinity
    int feature = 0;         // the tested feature f (with levels_bit), or its ~ when missing values go left; a leaf: 0
    int left = 0;            // the left child (right = left + 1); a leaf: its own number - 1

    void set_feature(int f, bool missing_left, bool levels) {
      const int code = levels ? f | levels_bit : f;
      feature = missing_left ? ~code : code;
    }
    int code() const { return feature ^ (feature >> 31); }
    template <Walk How>
    std::size_t column() const {
      if (How == Walk::plain) return static_cast<std::size_t>(feature);
      if (How == Walk::sides || How == Walk::sides_no_missing) return static_cast<std::size_t>(code());
      return static_cast<std::size_t>(code() & (levels_bit - 1));
    }
    // The child a value x goes to; a numeric test takes no branch.
    template <Walk How>
    std::size_t next(double x, const std::uint64_t* words) const {
      if (How == Walk::plain || How == Walk::sides_no_missing) {
        return static_cast<std::size_t>(left + static_cast<int>(!(threshold > x)));
      }
      bool go_right;
      if (How == Walk::levels && __builtin_expect((code() & levels_bit) != 0, 0)) {
        go_right = x != x ? feature >= 0 : !level_in_set(words + static_cast<std::size_t>(threshold), x);
      } else {
        // The two tests differ only on NaN, which x >= t sends left and
        // !(t > x) right; computed both, so that no branch is taken.
        go_right = (x >= threshold) | ((feature >= 0) & !(threshold > x));
      }
      return static_cast<std::size_t>(left + static_cast<int>(go_right));
    }
  };

  // Appends the level set of node k of `tree` to level_words; returns its
  // position.
  std::size_t copy_level_set(const Tree<L>& tree, std::size_t k) {
    const std::uint64_t* header = tree.level_words.data() + tree.level_set[k];
    const std::size_t at = level_words.size();
    level_words.insert(level_words.end(), header, header + 1 + (*header & 0xffffffffu));
    return at;
  }

  // The lowest and highest feature that a tree's inner nodes test.
  struct TestedFeatures {
    int lowest = std::numeric_limits<int>::max();
    int highest = -1;
  };

  std::vector<FlatNode> nodes;
  Walk walk = Walk::plain;                 // the least walk every node can take
  std::vector<std::uint64_t> level_words;  // the level sets of the nodes testing levels
  std::vector<L> values;                 // per node: a leaf's class label or value
  std::vector<std::size_t> roots;        // per tree, the position of its node 0
  std::vector<std::size_t> depths;       // per tree, the depth of its deepest leaf
  std::vector<TestedFeatures> features;  // per tree
};

}  // namespace Sylvor

#endif
