// Binary decision trees in their two forms: the linked form Node<L> that
// learning builds and prediction walks, and the array form VectorizedTree<L>
// (five parallel arrays indexed by node number, nodes numbered breadth first,
// left child before right) that model files and tree arrays are made of.
//
// A node owns its two subtrees: deleting a root frees the whole tree, each
// node exactly once, without recursion (deep trees cannot exhaust the stack).
// A node is a leaf when both children are null; an inner node has both. A
// VectorizedTree never owns the linked tree except through clear().
// check_tree_arrays validates child arrays from outside (model files, numpy
// arrays) before any node is built. Trees are built on one thread and then
// read by any number of threads.
#ifndef SYLVOR_LEARN_TREE_HPP
#define SYLVOR_LEARN_TREE_HPP

#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

template <class L>
class Node {
public:
  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  ~Node() {
    // Frees the subtrees with an explicit stack instead of recursion.
    if (left == nullptr && right == nullptr) return;
    std::vector<Node*> pending{right, left};
    left = right = nullptr;
    while (!pending.empty()) {
      Node* node = pending.back();
      pending.pop_back();
      if (node == nullptr) continue;
      pending.push_back(node->right);
      pending.push_back(node->left);
      node->left = node->right = nullptr;
      delete node;
    }
  }

  bool is_leaf() const { return left == nullptr && right == nullptr; }

  Node* get_left() { return left; }
  const Node* get_left() const { return left; }
  Node* get_right() { return right; }
  const Node* get_right() const { return right; }
  void set_left(Node* node) { left = node; }
  void set_right(Node* node) { right = node; }
  double get_threshold() const { return threshold; }
  void set_threshold(double value) { threshold = value; }
  int get_feature_index() const { return feature_index; }
  void set_feature_index(int index) { feature_index = index; }
  const L& get_label() const { return label; }
  void set_label(L value) { label = value; }

  // The label of the leaf that instance `i` of `data` reaches: left when the
  // threshold is greater than the value (widened to double), else right, so
  // equal values and NaN on either side go right.
  template <class DataSet>
  L predict(const DataSet& data, std::size_t i) const {
    const Node* node = this;
    while (!node->is_leaf()) {
      const double value =
          static_cast<double>(data.features[static_cast<std::size_t>(node->feature_index)][i]);
      node = node->threshold > value ? node->left : node->right;
    }
    return node->label;
  }

private:
  Node* left = nullptr;
  Node* right = nullptr;
  double threshold = std::numeric_limits<double>::quiet_NaN();
  L label = static_cast<L>(-2);
  int feature_index = -1;
};

// The trees of a forest owned by one scope (a command, a call): deleted
// when it ends, also when it ends by an exception.
template <class L>
struct OwnedForest {
  std::vector<Node<L>*> roots;
  OwnedForest() = default;
  OwnedForest(const OwnedForest&) = delete;
  OwnedForest& operator=(const OwnedForest&) = delete;
  ~OwnedForest() {
    for (Node<L>* root : roots) delete root;
  }
};

namespace detail {

template <class Source, class = void>
struct has_size : std::false_type {};
template <class Source>
struct has_size<Source, std::void_t<decltype(std::declval<const Source&>().size())>>
    : std::true_type {};

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

}  // namespace detail

// Checks that child arrays describe one tree over nodes 0 .. num_nodes - 1
// rooted at node 0: every child number (negative or NaN means no child) lies
// in range and is greater than its parent's number, no node has two parents,
// every node but the root has a parent, and every node has both children or
// none. Throws FileFormatException naming the first fault found. Sources
// with a size() must hold at least num_nodes entries.
template <class ChildSource>
void check_tree_arrays(std::size_t num_nodes, const ChildSource& left, const ChildSource& right) {
  auto fail = [](const std::string& message) {
    throw FileFormatException("invalid tree: " + message);
  };
  if (num_nodes == 0) fail("a tree needs at least one node");
  if constexpr (detail::has_size<ChildSource>::value) {
    if (static_cast<std::size_t>(left.size()) < num_nodes ||
        static_cast<std::size_t>(right.size()) < num_nodes) {
      fail("the child arrays hold fewer than " + std::to_string(num_nodes) + " entries");
    }
  }
  std::vector<char> has_parent(num_nodes, 0);
  for (std::size_t i = 0; i < num_nodes; ++i) {
    const long long children[2] = {detail::child_number(left[i]), detail::child_number(right[i])};
    if ((children[0] < 0) != (children[1] < 0)) {
      fail("node " + std::to_string(i) + " has only one child");
    }
    for (const long long child : children) {
      if (child < 0) continue;
      if (static_cast<unsigned long long>(child) >= num_nodes) {
        fail("node " + std::to_string(i) + " has child " + std::to_string(child) +
             " but the tree has " + std::to_string(num_nodes) + " nodes");
      }
      if (static_cast<std::size_t>(child) <= i) {
        fail("node " + std::to_string(i) + " has child " + std::to_string(child) +
             ", which is not numbered after it");
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

// True when every node under `root` has both children or none.
template <class L>
bool has_two_or_no_children_everywhere(const Node<L>* root) {
  std::vector<const Node<L>*> pending{root};
  while (!pending.empty()) {
    const Node<L>* node = pending.back();
    pending.pop_back();
    if (node == nullptr) continue;
    if ((node->get_left() == nullptr) != (node->get_right() == nullptr)) return false;
    pending.push_back(node->get_left());
    pending.push_back(node->get_right());
  }
  return true;
}

template <class L>
class VectorizedTree {
public:
  Node<L>* root = nullptr;
  std::vector<Node<L>*> nodes;
  std::vector<int> left;
  std::vector<int> right;
  std::vector<int> feature_index;
  std::vector<double> threshold;
  std::vector<L> label;

  VectorizedTree() = default;
  VectorizedTree(const VectorizedTree&) = delete;
  VectorizedTree& operator=(const VectorizedTree&) = delete;
  VectorizedTree(VectorizedTree&&) = default;
  VectorizedTree& operator=(VectorizedTree&&) = default;

  std::size_t get_num_nodes() const { return nodes.size(); }
  Node<L>* get_root_node() { return root; }
  const Node<L>* get_root_node() const { return root; }

  // Numbers the nodes under `top` breadth first (left before right) and
  // fills the arrays with their fields (emptied first, so that a tree object
  // can be reused). Does not set `root`.
  void root_to_vector(const Node<L>* top) {
    clear_arrays();
    append(top);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const Node<L>* node = nodes[i];
      if (node->get_left() != nullptr) {
        append(node->get_left());
        left[i] = static_cast<int>(nodes.size() - 1);
      }
      if (node->get_right() != nullptr) {
        append(node->get_right());
        right[i] = static_cast<int>(nodes.size() - 1);
      }
    }
  }

  // Builds a linked tree from arrays of node fields (any indexable numeric
  // sources, entry i standing for node i), after check_tree_arrays; sets and
  // returns `root`. Feature indices and integer labels from floating sources
  // are truncated toward zero; thresholds are widened to double. The tree's
  // own arrays are left as they are (`copy_vectors` is kept for callers that
  // pass it and has no effect).
  template <class ChildSource, class FeatureSource, class ThresholdSource, class LabelSource>
  Node<L>* vector_to_root(std::size_t num_nodes, const ChildSource& left_vector,
                          const ChildSource& right_vector,
                          const FeatureSource& feature_index_vector,
                          const ThresholdSource& threshold_vector, const LabelSource& label_vector,
                          bool copy_vectors = false) {
    (void)copy_vectors;
    root = nullptr;
    check_tree_arrays(num_nodes, left_vector, right_vector);
    if constexpr (detail::has_size<FeatureSource>::value && detail::has_size<ThresholdSource>::value &&
                  detail::has_size<LabelSource>::value) {
      if (static_cast<std::size_t>(feature_index_vector.size()) < num_nodes ||
          static_cast<std::size_t>(threshold_vector.size()) < num_nodes ||
          static_cast<std::size_t>(label_vector.size()) < num_nodes) {
        throw FileFormatException("invalid tree: the node arrays hold fewer than " +
                                  std::to_string(num_nodes) + " entries");
      }
    }
    std::vector<std::unique_ptr<Node<L>>> built(num_nodes);
    for (std::size_t i = 0; i < num_nodes; ++i) {
      built[i] = std::make_unique<Node<L>>();
      built[i]->set_threshold(static_cast<double>(threshold_vector[i]));
      built[i]->set_label(detail::truncate_to<L>(label_vector[i]));
      built[i]->set_feature_index(detail::truncate_to<int>(feature_index_vector[i]));
    }
    // The arrays were checked, so every node but the root is linked exactly
    // once; ownership then passes from `built` to the root.
    for (std::size_t i = 0; i < num_nodes; ++i) {
      const long long l = detail::child_number(left_vector[i]);
      const long long r = detail::child_number(right_vector[i]);
      if (l >= 0) {
        built[i]->set_left(built[static_cast<std::size_t>(l)].get());
        built[i]->set_right(built[static_cast<std::size_t>(r)].get());
      }
    }
    for (std::size_t i = 1; i < num_nodes; ++i) built[i].release();
    root = built[0].release();
    return root;
  }

  // Copy one array, converted to double, to out[0 .. get_num_nodes() - 1].
  void copy_left(double* out) const { copy_to(left, out); }
  void copy_right(double* out) const { copy_to(right, out); }
  void copy_feature_index(double* out) const { copy_to(feature_index, out); }
  void copy_threshold(double* out) const { copy_to(threshold, out); }
  void copy_label(double* out) const { copy_to(label, out); }

  // Deletes the linked tree and empties the arrays.
  void clear() {
    delete root;
    root = nullptr;
    clear_arrays();
  }

private:
  template <class T>
  static void copy_to(const std::vector<T>& values, double* out) {
    for (std::size_t k = 0; k < values.size(); ++k) out[k] = static_cast<double>(values[k]);
  }

  void clear_arrays() {
    nodes.clear();
    left.clear();
    right.clear();
    feature_index.clear();
    threshold.clear();
    label.clear();
  }

  void append(const Node<L>* node) {
    nodes.push_back(const_cast<Node<L>*>(node));
    threshold.push_back(node->get_threshold());
    label.push_back(node->get_label());
    feature_index.push_back(node->get_feature_index());
    left.push_back(-1);
    right.push_back(-1);
  }
};

}  // namespace Sylvor

#endif
