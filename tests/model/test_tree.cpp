#include "Sylvor/model/tree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "tests/dataset/columns.hpp"

namespace Sylvor {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

// A root testing feature 0 at `threshold`, leaves 1 (left) and 2 (right).
Tree<int> stump(double threshold) {
  Tree<int> tree;
  tree.add_node();
  tree.add_children(0);
  tree.feature[0] = 0;
  tree.threshold[0] = threshold;
  tree.value[1] = 1;
  tree.value[2] = 2;
  return tree;
}

using Testing::one_column;

TEST(Tree, FreshNodesAndChildrenNumberedInOrder) {
  Tree<double> tree;
  EXPECT_EQ(tree.add_node(), 0u);
  EXPECT_EQ(tree.add_children(0), 1u);
  EXPECT_EQ(tree.add_children(2), 3u);
  EXPECT_EQ(tree.left, (std::vector<int>{1, -1, 3, -1, -1}));
  EXPECT_EQ(tree.right, (std::vector<int>{2, -1, 4, -1, -1}));
  EXPECT_EQ(tree.feature, std::vector<int>(5, -1));
  EXPECT_EQ(tree.value, std::vector<double>(5, -2.0));
  EXPECT_TRUE(std::isnan(tree.threshold[4]));
  EXPECT_TRUE(tree.is_leaf(1));
  EXPECT_FALSE(tree.is_leaf(2));
}

TEST(Tree, WalkSendsEqualAndNaNValuesRight) {
  const Tree<int> tree = stump(0.5);
  const auto data = one_column<double>({0.25, 0.5, nan, 0.75});
  EXPECT_EQ(tree.predict(data, 0), 1);
  EXPECT_EQ(tree.predict(data, 1), 2);
  EXPECT_EQ(tree.predict(data, 2), 2);
  EXPECT_EQ(tree.leaf_of(data, 3), 2u);
  EXPECT_EQ(stump(nan).predict(one_column<int>({-100}), 0), 2);
  // The float nearest 0.1 lies slightly above 0.1 once widened.
  EXPECT_EQ(stump(0.1).predict(one_column<float>({0.1}), 0), 2);
}

TEST(Tree, EqualityTakesNaNThresholdsAsEqual) {
  EXPECT_TRUE(stump(nan) == stump(nan));
  EXPECT_FALSE(stump(0.5) == stump(0.25));
  Tree<int> other = stump(0.5);
  other.value[2] = 3;
  EXPECT_FALSE(other == stump(0.5));
}

TEST(TreeFromArrays, RenumbersBreadthFirst) {
  // Depth-first numbering: 0 (root), 1 (left, inner), 2 and 3 (its leaves),
  // 4 (root's right leaf).
  const std::vector<int> left{1, 2, -1, -1, -1}, right{4, 3, -1, -1, -1}, feature{0, 1, -1, -1, -1};
  const std::vector<double> threshold{1.5, 2.5, nan, nan, nan}, value{-2, -2, 10, 11, 12};
  const Tree<int> tree = tree_from_arrays<int>(5, left, right, feature, threshold, value);
  EXPECT_EQ(tree.left, (std::vector<int>{1, 3, -1, -1, -1}));
  EXPECT_EQ(tree.right, (std::vector<int>{2, 4, -1, -1, -1}));
  EXPECT_EQ(tree.feature, (std::vector<int>{0, 1, -1, -1, -1}));
  EXPECT_EQ(tree.value, (std::vector<int>{-2, -2, 12, 10, 11}));
  EXPECT_EQ(tree.threshold[1], 2.5);
  // Already breadth first: the same arrays.
  EXPECT_TRUE(tree_from_arrays<int>(5, tree.left, tree.right, tree.feature, tree.threshold, tree.value) == tree);
}

TEST(TreeFromArrays, FloatingChildrenAndFeaturesAreTruncatedAndNaNChildIsAbsent) {
  const std::vector<double> left{1.9, nan, -1}, right{2.2, nan, -3};
  const std::vector<double> features{4.7, -1, -1}, thresholds{0.25, nan, nan}, labels{-2.5, 1, 0};
  const Tree<int> tree = tree_from_arrays<int>(3, left, right, features, thresholds, labels);
  EXPECT_EQ(tree.feature[0], 4);
  EXPECT_EQ(tree.threshold[0], 0.25);
  EXPECT_EQ(tree.value[0], -2);  // an inner node's value is not a class
  EXPECT_EQ(tree.value[1], 1);
  EXPECT_EQ(tree.value[2], 0);
  EXPECT_TRUE(tree.is_leaf(1));
}

class InexactLeafClass : public ::testing::TestWithParam<double> {};

// A class number that is not whole (or beyond int) would be read as
// another class than the one written.
TEST_P(InexactLeafClass, IsRefusedButKeptAsAValue) {
  const std::vector<double> left{1, -1, -1}, right{2, -1, -1}, features{0, -1, -1}, thresholds{0.5, 0, 0};
  const std::vector<double> labels{-2, GetParam(), 1};
  EXPECT_THROW(tree_from_arrays<int>(3, left, right, features, thresholds, labels), FileFormatException);
  const Tree<double> values = tree_from_arrays<double>(3, left, right, features, thresholds, labels);
  EXPECT_TRUE(values.value[1] == GetParam() || std::isnan(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Values, InexactLeafClass, ::testing::Values(1.9, -0.5, nan, 3e9, -3e9));

struct BadArrays {
  std::string name;
  std::size_t num_nodes;
  std::vector<int> left, right;
  std::string message;
};

class RejectsBadTreeArrays : public ::testing::TestWithParam<BadArrays> {};

TEST_P(RejectsBadTreeArrays, BeforeBuildingAnyNode) {
  const BadArrays& c = GetParam();
  const std::vector<int> features(c.left.size(), 0), labels(c.left.size(), 0);
  const std::vector<double> thresholds(c.left.size(), 0.0);
  try {
    tree_from_arrays<int>(c.num_nodes, c.left, c.right, features, thresholds, labels);
    FAIL() << "accepted";
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "invalid tree: " + c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, RejectsBadTreeArrays,
    ::testing::Values(
        BadArrays{"NoNodes", 0, {}, {}, "a tree needs at least one node"},
        BadArrays{"ChildOutOfRange", 3, {1, -1, -1}, {7, -1, -1}, "node 0 has child 7 but the tree has 3 nodes"},
        BadArrays{"OwnChild", 3, {0, -1, -1}, {2, -1, -1}, "node 0 has child 0, which is not numbered after it"},
        BadArrays{"Cycle", 5, {1, 3, -1, 1, -1}, {2, 4, -1, 2, -1}, "node 3 has child 1, which is not numbered after it"},
        BadArrays{"TwoParents", 5, {1, 3, 3, -1, -1}, {2, 4, 4, -1, -1}, "node 3 is the child of two nodes"},
        BadArrays{"OneChild", 3, {1, -1, -1}, {-1, -1, -1}, "node 0 has only one child"},
        BadArrays{"Orphan", 4, {1, -1, -1, -1}, {2, -1, -1, -1}, "node 3 is not reachable from the root"},
        BadArrays{"ShortArrays", 4, {1, -1, -1}, {2, -1, -1}, "the child arrays hold fewer than 4 entries"}),
    [](const ::testing::TestParamInfo<BadArrays>& info) { return info.param.name; });

}  // namespace
}  // namespace Sylvor
