#include "Sylvor/learn/linked_tree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"

namespace Sylvor {
namespace {

Node<int>* leaf(int label) {
  auto* n = new Node<int>();
  n->set_label(label);
  return n;
}

Node<int>* inner(int feature, double threshold, Node<int>* l, Node<int>* r) {
  auto* n = new Node<int>();
  n->set_feature_index(feature);
  n->set_threshold(threshold);
  n->set_left(l);
  n->set_right(r);
  return n;
}

// Root 0 whose left child has two leaf children and whose right child is a leaf.
Node<int>* five_node_tree() {
  return inner(0, 1.5, inner(1, 2.5, leaf(10), leaf(11)), leaf(12));
}

TEST(VectorizedTree, NumbersNodesBreadthFirst) {
  std::unique_ptr<Node<int>> root(five_node_tree());
  VectorizedTree<int> tree;
  tree.root_to_vector(root.get());
  EXPECT_EQ(tree.left, (std::vector<int>{1, 3, -1, -1, -1}));
  EXPECT_EQ(tree.right, (std::vector<int>{2, 4, -1, -1, -1}));
  EXPECT_EQ(tree.feature_index, (std::vector<int>{0, 1, -1, -1, -1}));
  EXPECT_EQ(tree.label, (std::vector<int>{-2, -2, 12, 10, 11}));
  EXPECT_EQ(tree.threshold[0], 1.5);
  EXPECT_TRUE(std::isnan(tree.threshold[2]));
  EXPECT_EQ(tree.get_num_nodes(), 5u);
  EXPECT_EQ(tree.root, nullptr);  // root_to_vector does not take the tree
}

TEST(VectorizedTree, SingleLeaf) {
  Node<int> root;
  VectorizedTree<int> tree;
  tree.root_to_vector(&root);
  EXPECT_EQ(tree.left, std::vector<int>{-1});
  EXPECT_EQ(tree.right, std::vector<int>{-1});
  EXPECT_EQ(tree.label, std::vector<int>{-2});
}

TEST(VectorizedTree, ArraysRoundTripThroughTheLinkedForm) {
  std::unique_ptr<Node<int>> root(five_node_tree());
  VectorizedTree<int> first;
  first.root_to_vector(root.get());

  VectorizedTree<int> rebuilt;
  Node<int>* copy = rebuilt.vector_to_root(first.get_num_nodes(), first.left, first.right,
                                           first.feature_index, first.threshold, first.label);
  EXPECT_EQ(rebuilt.root, copy);
  VectorizedTree<int> second;
  second.root_to_vector(copy);
  EXPECT_EQ(second.left, first.left);
  EXPECT_EQ(second.right, first.right);
  EXPECT_EQ(second.feature_index, first.feature_index);
  EXPECT_EQ(second.label, first.label);
  EXPECT_EQ(second.threshold[0], first.threshold[0]);
  EXPECT_EQ(second.threshold[1], first.threshold[1]);
  rebuilt.clear();
  EXPECT_EQ(rebuilt.root, nullptr);
}

TEST(VectorizedTree, FloatingSourcesAreTruncatedAndNaNChildIsAbsent) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> left{1.9, nan, -1}, right{2.2, nan, -3};
  const std::vector<double> features{4.7, -1, -1}, thresholds{0.25, nan, nan}, labels{-2, 1, 0};
  VectorizedTree<int> tree;
  std::unique_ptr<Node<int>> root(tree.vector_to_root(3, left, right, features, thresholds, labels));
  EXPECT_EQ(root->get_feature_index(), 4);
  EXPECT_EQ(root->get_threshold(), 0.25);
  EXPECT_EQ(root->get_left()->get_label(), 1);
  EXPECT_EQ(root->get_right()->get_label(), 0);
  EXPECT_TRUE(root->get_left()->is_leaf());
}

TEST(Node, WalkSendsEqualAndNaNValuesRight) {
  std::unique_ptr<Node<int>> root(inner(0, 0.5, leaf(1), leaf(2)));
  MemoryDataSet<double, int> data;
  data.set_num_features(1);
  for (const double v : {0.25, 0.5, std::numeric_limits<double>::quiet_NaN(), 0.75}) {
    data.add_instance(0, &v, &v + 1);
  }
  EXPECT_EQ(root->predict(data, 0), 1);
  EXPECT_EQ(root->predict(data, 1), 2);
  EXPECT_EQ(root->predict(data, 2), 2);
  EXPECT_EQ(root->predict(data, 3), 2);
}

TEST(Node, NaNThresholdSendsEverythingRight) {
  std::unique_ptr<Node<int>> root(
      inner(0, std::numeric_limits<double>::quiet_NaN(), leaf(1), leaf(2)));
  MemoryDataSet<int, int> data;
  data.set_num_features(1);
  const double v = -100;
  data.add_instance(0, &v, &v + 1);
  EXPECT_EQ(root->predict(data, 0), 2);
}

TEST(Node, FloatValuesAreWidenedBeforeComparing) {
  std::unique_ptr<Node<int>> root(inner(0, 0.1, leaf(1), leaf(2)));
  MemoryDataSet<float, int> data;
  data.set_num_features(1);
  const double v = 0.1;  // stored as the float nearest 0.1, slightly above it
  data.add_instance(0, &v, &v + 1);
  EXPECT_EQ(root->predict(data, 0), 2);
}

TEST(Node, DeepTreeIsFreedWithoutRecursion) {
  // A chain a million nodes deep: recursive destruction would overflow the stack.
  auto* root = new Node<int>();
  Node<int>* tip = root;
  for (int depth = 0; depth < 1000000; ++depth) {
    tip->set_left(new Node<int>());
    tip->set_right(new Node<int>());
    tip = tip->get_right();
  }
  delete root;
}

TEST(VectorizedTree, InvalidArraysBuildNothing) {
  const std::vector<int> left{1, -1, -1}, right{-1, -1, -1}, features(3, 0), labels(3, 0);
  const std::vector<double> thresholds(3, 0.0);
  VectorizedTree<int> tree;
  EXPECT_THROW(tree.vector_to_root(3, left, right, features, thresholds, labels), FileFormatException);
  EXPECT_EQ(tree.root, nullptr);
}

TEST(LinkedTree, ConvertsToAndFromTheStoredForm) {
  std::unique_ptr<Node<int>> root(five_node_tree());
  VectorizedTree<int> arrays;
  arrays.root_to_vector(root.get());
  const Tree<int> stored = arrays.to_tree();
  EXPECT_EQ(stored.left, arrays.left);
  EXPECT_EQ(stored.value, arrays.label);
  const std::unique_ptr<Node<int>> linked = linked_tree_of(stored);
  VectorizedTree<int> again;
  again.root_to_vector(linked.get());
  EXPECT_TRUE(again.to_tree() == stored);
  MemoryDataSet<double, int> data;
  data.set_num_features(2);
  for (const auto& row : std::vector<std::vector<double>>{{1, 2}, {1, 3}, {2, 0}}) {
    data.add_instance(0, row.begin(), row.end());
  }
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(linked->predict(data, i), stored.predict(data, i)) << i;
  EXPECT_EQ(linked_tree_of(Tree<int>()), nullptr);
}

TEST(VectorizedTree, DestructionLeavesTheLinkedTree) {
  std::unique_ptr<Node<int>> root(five_node_tree());
  {
    VectorizedTree<int> tree;
    tree.root_to_vector(root.get());
    tree.root = root.get();
  }
  EXPECT_EQ(root->get_left()->get_left()->get_label(), 10);
}

}  // namespace
}  // namespace Sylvor
