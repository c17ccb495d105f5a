#include "Sylvor/stats/summary.hpp"

#include <gtest/gtest.h>

namespace Sylvor {
namespace {

// A tree of `depth` levels below the root along its right edge: every
// inner node tests feature `feature`, every left child is a leaf of value 1,
// the last right child a leaf of value 2.
Tree<double> right_chain(int depth, int feature) {
  Tree<double> tree;
  tree.add_node();
  std::size_t at = 0;
  for (int level = 0; level < depth; ++level) {
    const std::size_t left = tree.add_children(at);
    tree.feature[at] = feature;
    tree.value[left] = 1.0;
    at = left + 1;
  }
  tree.value[at] = 2.0;
  return tree;
}

TEST(ModelSummary, CountsNodesLeavesDepthsSplitsAndLeafValues) {
  const ModelSummary summary = summarize_model({right_chain(3, 0), right_chain(0, 0), right_chain(1, 4)});
  EXPECT_EQ(summary.nodes, (std::vector<long>{7, 1, 3}));
  EXPECT_EQ(summary.leaves, (std::vector<long>{4, 1, 2}));
  EXPECT_EQ(summary.depths, (std::vector<long>{3, 0, 1}));
  EXPECT_EQ(summary.feature_splits, (std::map<int, long>{{0, 3}, {4, 1}}));
  EXPECT_EQ(summary.leaf_values, (std::map<double, long>{{1.0, 4}, {2.0, 3}}));
}

TEST(ModelSummary, EmptyForest) {
  const ModelSummary summary = summarize_model({});
  EXPECT_TRUE(summary.nodes.empty());
  EXPECT_TRUE(summary.feature_splits.empty());
}

}  // namespace
}  // namespace Sylvor
