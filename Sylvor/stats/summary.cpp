#include "Sylvor/stats/summary.hpp"

#include <algorithm>

namespace Sylvor {

ModelSummary summarize_model(const Forest<double>& forest) {
  ModelSummary summary;
  std::vector<long> depth;
  for (const Tree<double>& tree : forest) {
    long leaves = 0, deepest = 0;
    // Children are numbered after their parents, so one pass in number
    // order knows each node's depth before it reaches its children.
    depth.assign(tree.size(), 0);
    for (std::size_t k = 0; k < tree.size(); ++k) {
      deepest = std::max(deepest, depth[k]);
      if (tree.is_leaf(k)) {
        ++leaves;
        ++summary.leaf_values[tree.value[k]];
      } else {
        ++summary.feature_splits[tree.feature[k]];
        ++summary.inner_nodes;
        summary.missing_left += tree.missing_left[k] != 0;
        depth[static_cast<std::size_t>(tree.left[k])] = depth[k] + 1;
        depth[static_cast<std::size_t>(tree.right[k])] = depth[k] + 1;
      }
    }
    summary.nodes.push_back(static_cast<long>(tree.size()));
    summary.leaves.push_back(leaves);
    summary.depths.push_back(deepest);
  }
  return summary;
}

}  // namespace Sylvor
