#include "Sylvor/io/tree_dot.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Sylvor {
namespace {

// Root: feature 1 < 0.5; left: leaf 0; right: feature 0 < 2.25 with leaves
// 1 and 7 (a class number without a name).
Tree<double> two_level_tree() {
  Tree<double> tree;
  tree.add_node();
  tree.feature[0] = 1;
  tree.threshold[0] = 0.5;
  const std::size_t left = tree.add_children(0);
  tree.value[left] = 0;
  tree.feature[left + 1] = 0;
  tree.threshold[left + 1] = 2.25;
  const std::size_t deeper = tree.add_children(left + 1);
  tree.value[deeper] = 1;
  tree.value[deeper + 1] = 7;
  return tree;
}

std::size_t count(const std::string& text, const std::string& piece) {
  std::size_t found = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++found;
  return found;
}

TEST(TreeDot, NamesFeaturesAndClassesAndMarksTheRootsBranches) {
  const std::string dot = tree_to_dot(two_level_tree(), DotNames::from_lists({"width", "colour \"hue\""}, {"no", "yes"}));
  EXPECT_EQ(dot.rfind("digraph Tree {\n", 0), 0u);
  EXPECT_EQ(dot.substr(dot.size() - 2), "}\n");
  EXPECT_NE(dot.find("0 [label=\"colour \\\"hue\\\" < 0.5\"] ;"), std::string::npos) << dot;
  EXPECT_NE(dot.find("2 [label=\"width < 2.25\"] ;"), std::string::npos) << dot;
  EXPECT_NE(dot.find("1 [label=\"no\", shape=ellipse] ;"), std::string::npos) << dot;
  EXPECT_NE(dot.find("3 [label=\"yes\", shape=ellipse] ;"), std::string::npos) << dot;
  EXPECT_NE(dot.find("4 [label=\"7\", shape=ellipse] ;"), std::string::npos) << dot;  // not named: the value
  EXPECT_NE(dot.find("0 -> 1 [headlabel=\"yes\""), std::string::npos) << dot;
  EXPECT_NE(dot.find("0 -> 2 [headlabel=\"no\""), std::string::npos) << dot;
  EXPECT_EQ(count(dot, " -> "), 4u);
}

TEST(TreeDot, UnnamedFeaturesAndRegressionValues) {
  Tree<double> tree = two_level_tree();
  tree.value[1] = 2.5;
  const std::string dot = tree_to_dot(tree, DotNames{});
  EXPECT_NE(dot.find("[label=\"feature 1 < 0.5\"]"), std::string::npos) << dot;
  EXPECT_NE(dot.find("1 [label=\"2.5\", shape=ellipse]"), std::string::npos) << dot;
}

struct Elision {
  int max_depth;
  std::size_t nodes;   // the tree's nodes drawn
  std::size_t elided;  // "(...)" nodes
};

class TreeDotDepth : public ::testing::TestWithParam<Elision> {};

TEST_P(TreeDotDepth, NodesBelowTheDepthBecomeOneMarkPerSubtree) {
  const std::string dot = tree_to_dot(two_level_tree(), DotNames{}, GetParam().max_depth);
  EXPECT_EQ(count(dot, "(...)"), GetParam().elided) << dot;
  EXPECT_EQ(count(dot, "[label=") - GetParam().elided, GetParam().nodes) << dot;
  EXPECT_EQ(count(dot, " -> "), GetParam().nodes - 1 + GetParam().elided) << dot;
}

INSTANTIATE_TEST_SUITE_P(Depths, TreeDotDepth,
                         ::testing::Values(Elision{-1, 5, 0}, Elision{0, 1, 2}, Elision{1, 3, 2}, Elision{2, 5, 0},
                                           Elision{9, 5, 0}));

}  // namespace
}  // namespace Sylvor
