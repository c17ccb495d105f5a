// The linked form of a decision tree, Node<L> (a node owning its two
// subtrees), and VectorizedTree<L>, the arrays of a linked tree numbered
// breadth first. Neither is used by learning, prediction or the model files,
// which all work on the stored form Tree<L>; they are built from it, and
// turned back into it, for callers that want a tree of linked nodes.
//
// A node owns its two subtrees: deleting a root frees the whole tree, each
// node exactly once, without recursion (deep trees cannot exhaust the stack).
// A node is a leaf when both children are null; an inner node has both. A
// VectorizedTree never owns the linked tree except through clear(). Built on
// one thread, then read by any number of threads.
#ifndef SYLVOR_LEARN_LINKED_TREE_HPP
#define SYLVOR_LEARN_LINKED_TREE_HPP

#include <cstddef>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "Sylvor/model/tree.hpp"

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

  // The label of the leaf that instance `i` of `data` reaches, walking as
  // Tree::leaf_of does.
  template <class DataSet>
  L predict(const DataSet& data, std::size_t i) const {
    const Node* node = this;
    while (!node->is_leaf()) {
      const double value = static_cast<double>(data.features[static_cast<std::size_t>(node->feature_index)][i]);
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

// The linked tree of a stored tree; the caller owns it.
template <class L>
std::unique_ptr<Node<L>> linked_tree_of(const Tree<L>& tree) {
  std::vector<std::unique_ptr<Node<L>>> built(tree.size());
  for (std::size_t k = 0; k < tree.size(); ++k) {
    built[k] = std::make_unique<Node<L>>();
    built[k]->set_threshold(tree.threshold[k]);
    built[k]->set_label(tree.value[k]);
    built[k]->set_feature_index(tree.feature[k]);
  }
  // Children are numbered after their parents: linking from the last node
  // back hands each subtree to its parent exactly once.
  for (std::size_t k = tree.size(); k-- > 0;) {
    if (tree.is_leaf(k)) continue;
    built[k]->set_left(built[static_cast<std::size_t>(tree.left[k])].release());
    built[k]->set_right(built[static_cast<std::size_t>(tree.right[k])].release());
  }
  return tree.empty() ? nullptr : std::move(built[0]);
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

  // Builds a linked tree from node arrays (any indexable numeric sources,
  // entry i standing for node i, checked as tree_from_arrays checks them);
  // sets and returns `root`. The tree's own arrays are left as they are.
  template <class ChildSource, class FeatureSource, class ThresholdSource, class LabelSource>
  Node<L>* vector_to_root(std::size_t num_nodes, const ChildSource& left_vector, const ChildSource& right_vector,
                          const FeatureSource& feature_index_vector, const ThresholdSource& threshold_vector,
                          const LabelSource& label_vector) {
    root = nullptr;
    root = linked_tree_of(tree_from_arrays<L>(num_nodes, left_vector, right_vector, feature_index_vector,
                                              threshold_vector, label_vector))
               .release();
    return root;
  }

  // The stored form of the arrays filled by root_to_vector.
  Tree<L> to_tree() const {
    Tree<L> tree;
    tree.left = left;
    tree.right = right;
    tree.feature = feature_index;
    tree.threshold = threshold;
    tree.value = label;
    return tree;
  }

  // Deletes the linked tree and empties the arrays.
  void clear() {
    delete root;
    root = nullptr;
    clear_arrays();
  }

private:
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
