// The read-only form through which every predictor walks a forest: all the
// trees' nodes packed end to end, 16 bytes a node (threshold or leaf value,
// tested feature or -1, left child or class label), built once from the
// stored trees. A node keeps its number in the stored tree, and a node's
// right child, numbered just after its left one, lies just after it, so one
// cache line serves a decision and both candidates for the next step.
//
// A flat forest owns its packed copy and never changes it after it is made,
// so any number of threads may walk one at once. Walks follow Tree::leaf_of
// exactly (left when the threshold is greater than the value widened to
// double, else right).
#ifndef SYLVOR_MODEL_FLAT_FOREST_HPP
#define SYLVOR_MODEL_FLAT_FOREST_HPP

#include <algorithm>
#include <cstddef>
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

template <class L>
class FlatForest {
public:
  // Instances walked side by side by leaves_of_lanes.
  static constexpr std::size_t lanes = 16;

  FlatForest() = default;

  // Packs the trees of `forest`; throws Exception for a tree whose right
  // children do not follow their left ones (not numbered breadth first).
  explicit FlatForest(const Forest<L>& forest) {
    std::size_t total = 0;
    for (const Tree<L>& tree : forest) total += tree.size();
    nodes.reserve(total);
    for (std::size_t t = 0; t < forest.size(); ++t) {
      const Tree<L>& tree = forest[t];
      roots.push_back(nodes.size());
      TestedFeatures tested;
      for (std::size_t k = 0; k < tree.size(); ++k) {
        FlatNode node;
        if (tree.is_leaf(k)) {
          node.feature = -1;
          if constexpr (std::is_integral<L>::value) {
            node.child_or_label = static_cast<int>(tree.value[k]);
          } else {
            node.threshold_or_value = static_cast<double>(tree.value[k]);
          }
        } else {
          if (tree.right[k] != tree.left[k] + 1) {
            throw Exception("tree " + std::to_string(t) + " is not numbered breadth first");
          }
          node.feature = tree.feature[k];
          node.threshold_or_value = tree.threshold[k];
          node.child_or_label = tree.left[k];
          tested.lowest = std::min(tested.lowest, node.feature);
          tested.highest = std::max(tested.highest, node.feature);
        }
        nodes.push_back(node);
      }
      features.push_back(tested);
    }
  }

  std::size_t size() const { return roots.size(); }
  bool empty() const { return roots.empty(); }

  // Throws Exception when an inner node tests a feature outside
  // 0 .. num_features - 1 (a model learned on other data).
  // Must be called before any walk: an inner node with a negative feature
  // would be taken for a leaf.
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
    const FlatNode* base = nodes.data() + roots[k];
    const FlatNode* node = base + from;
    while (!node->is_leaf()) {
      const double x = static_cast<double>(value_of(static_cast<std::size_t>(node->feature)));
      node = base + node->child_or_label + (node->threshold_or_value > x ? 0 : 1);
    }
    return static_cast<std::size_t>(node - base);
  }

  template <class F>
  std::size_t leaf_of(std::size_t k, const F* const* columns, std::size_t i) const {
    return leaf_from(k, 0, [&](std::size_t f) { return columns[f][i]; });
  }

  // Walks instances first .. first + n - 1 (n <= lanes) through tree k side
  // by side, so that their memory accesses overlap, and stores the values
  // of the leaves they reach in values[0 .. n - 1].
  template <class F>
  void values_of_lanes(std::size_t k, const F* const* columns, std::size_t first, std::size_t n, L* values) const {
    const FlatNode* base = nodes.data() + roots[k];
    const FlatNode* at[lanes];
    for (std::size_t j = 0; j < n; ++j) at[j] = base;
    for (bool moved = true; moved;) {
      moved = false;
      for (std::size_t j = 0; j < n; ++j) {
        const FlatNode* node = at[j];
        if (node->is_leaf()) continue;
        const double x = static_cast<double>(columns[node->feature][first + j]);
        at[j] = base + node->child_or_label + (node->threshold_or_value > x ? 0 : 1);
        moved = true;
      }
    }
    for (std::size_t j = 0; j < n; ++j) values[j] = at[j]->value();
  }

  // The value of node `leaf` of tree k.
  L value(std::size_t k, std::size_t leaf) const { return nodes[roots[k] + leaf].value(); }

private:
  struct FlatNode {
    double threshold_or_value = 0.0;  // inner: threshold; leaf of a real-valued forest: its value
    int feature = -1;                 // -1 for a leaf
    int child_or_label = 0;           // inner: left child (right = left + 1); leaf: class label

    bool is_leaf() const { return feature < 0; }
    L value() const {
      if constexpr (std::is_integral<L>::value) {
        return static_cast<L>(child_or_label);
      } else {
        return static_cast<L>(threshold_or_value);
      }
    }
  };

  // The lowest and highest feature that a tree's inner nodes test.
  struct TestedFeatures {
    int lowest = std::numeric_limits<int>::max();
    int highest = -1;
  };

  std::vector<FlatNode> nodes;
  std::vector<std::size_t> roots;        // per tree, the position of its node 0
  std::vector<TestedFeatures> features;  // per tree
};

}  // namespace Sylvor

#endif
