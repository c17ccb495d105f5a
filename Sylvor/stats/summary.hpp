// The summary of a forest that the info command prints: per tree its
// number of nodes, of leaves and its depth, and over the forest how often
// each feature is tested and each leaf value occurs, and how many inner
// nodes send missing values left.
//
// A summary is a plain value computed on the calling thread.
#ifndef SYLVOR_STATS_SUMMARY_HPP
#define SYLVOR_STATS_SUMMARY_HPP

#include <map>
#include <vector>

#include "Sylvor/model/tree.hpp"

namespace Sylvor {

struct ModelSummary {
  std::vector<long> nodes;           // per tree
  std::vector<long> leaves;          // per tree
  std::vector<long> depths;          // per tree: edges from the root to the deepest leaf
  std::map<int, long> feature_splits;  // feature -> inner nodes testing it
  std::map<double, long> leaf_values;  // leaf value -> leaves carrying it
  long inner_nodes = 0;
  long missing_left = 0;               // inner nodes sending missing values left
};

ModelSummary summarize_model(const Forest<double>& forest);

}  // namespace Sylvor

#endif
