#include "Sylvor/predict/proximity.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Sylvor/learn/forest.hpp"
#include "tests/learn/data.hpp"

namespace Sylvor {
namespace {

struct Proximities {
  std::vector<double> dense;  // rows x columns
  std::vector<std::vector<std::pair<std::size_t, double>>> top;
};

template <class DataSet>
Proximities proximities_of(const LearnedForest<int>& forest, const DataSet& data, std::size_t top_k,
                           const InBagRecord* in_bag, int threads) {
  const FlatForest<int> flat(forest.trees);
  std::vector<std::size_t> nodes;
  for (const auto& tree : forest.trees) nodes.push_back(tree.size());
  const std::size_t n = data.get_num_instances();
  Proximities result{std::vector<double>(top_k == 0 ? n * n : 0, -1.0), std::vector<std::vector<std::pair<std::size_t, double>>>(n)};
  forest_proximities(flat, nodes, data, data, top_k, in_bag, threads, [&](std::size_t i, std::size_t j, double v) {
    if (top_k == 0) {
      result.dense[i * n + j] = v;
    } else {
      result.top[i].push_back({j, v});
    }
  });
  return result;
}

// Every pair against a count over the trees (out of bag: over the trees
// missing both), the top k of each row against the sorted whole row, and
// the same answers on one thread and two.
TEST(Proximity, IsTheShareOfTreesInWhichTwoRowsShareALeaf) {
  const auto data = Testing::three_classes(90);
  ForestSettings settings = Testing::settings(12, 2);
  settings.out_of_bag = true;
  ForestGenerators generators = ForestGenerators::per_tree(5);
  const auto forest = learn_forest(data, settings, ClassificationTask<TwoSplitGiniImpurity>(), generators);
  const std::size_t n = data.get_num_instances();
  for (const InBagRecord* in_bag : {static_cast<const InBagRecord*>(nullptr), &forest.in_bag}) {
    const Proximities dense = proximities_of(forest, data, 0, in_bag, 1);
    EXPECT_EQ(proximities_of(forest, data, 0, in_bag, 2).dense, dense.dense);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        double shared = 0.0, trees = 0.0;
        for (std::size_t t = 0; t < forest.trees.size(); ++t) {
          if (in_bag != nullptr && ((*in_bag)[t][i] || (*in_bag)[t][j])) continue;
          trees += 1.0;
          shared += forest.trees[t].leaf_of(data, i) == forest.trees[t].leaf_of(data, j);
        }
        ASSERT_DOUBLE_EQ(dense.dense[i * n + j], trees > 0 ? shared / trees : 0.0) << i << " " << j;
      }
    }
    const Proximities top = proximities_of(forest, data, 4, in_bag, 2);
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<std::pair<std::size_t, double>> row;
      for (std::size_t j = 0; j < n; ++j) {
        if (dense.dense[i * n + j] > 0) row.push_back({j, dense.dense[i * n + j]});
      }
      std::stable_sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
      row.resize(std::min<std::size_t>(4, row.size()));
      EXPECT_EQ(top.top[i], row) << "row " << i;
    }
  }
}

TEST(Proximity, OutOfBagNeedsOneMaskPerTreeOverTheRows) {
  const auto data = Testing::three_classes(30);
  ForestGenerators generators = ForestGenerators::per_tree(5);
  const auto forest = learn_forest(data, Testing::settings(3), ClassificationTask<TwoSplitGiniImpurity>(), generators);
  const InBagRecord too_few(2, std::vector<bool>(30, false));
  EXPECT_THROW(proximities_of(forest, data, 0, &too_few, 1), Exception);
}

}  // namespace
}  // namespace Sylvor
