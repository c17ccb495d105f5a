// Conditional quantiles of a regression forest that kept its leaf samples
// (quantile regression forests): the forest's answer at x is a weighting of
// the training targets, not only their mean.
//
// The distribution at x: each tree whose leaf at x holds draws gives each
// of its n draws the weight 1/n (an instance drawn twice counts twice);
// F(y) is the weight of the draws with targets at most y, divided by the
// number of such trees. The q-quantile is the smallest training target y
// with F(y) >= q: the inverse of the weighted distribution, without
// interpolation, so every answer is a training target (q = 0 gives the
// smallest target with weight, q = 1 the largest). Weights are added in
// ascending target order (equal targets by instance number, then by tree
// number) and compared with q T less T 2^-40, T the number of trees with
// draws, so that the rounding of the sum never skips a target whose exact
// weight reaches q. A row whose leaves hold no draws gets NaN (and so does
// a training row in every tree's sample, out of bag).
//
// A chunk of rows passes through one tree after another, sixteen side by
// side (as prediction walks them). A row's draws are sorted as 64-bit
// keys, each draw's target rank (made once per forest, rank_targets) above
// its tree number, and one pass over them answers every quantile; each
// team member keeps its buffers from chunk to chunk, so nothing is
// allocated per row once they have grown.
// (Sorting the keys took half the time of merging the leaves' sorted
// lists through a heap, the leaves holding a few draws each.) Results do
// not depend on the thread count. Called from any thread; the forest, the
// record and the ranks are only read.
#ifndef SYLVOR_PREDICT_QUANTILES_HPP
#define SYLVOR_PREDICT_QUANTILES_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/model/flat_forest.hpp"
#include "Sylvor/model/leaf_samples.hpp"

namespace Sylvor {

// Throws Exception unless every quantile is a number in [0, 1].
inline void check_quantiles(const std::vector<double>& quantiles) {
  if (quantiles.empty()) throw Exception("no quantile asked for");
  for (const double q : quantiles) {
    if (!(q >= 0.0 && q <= 1.0)) {
      throw Exception("quantiles lie between 0 and 1; " + std::string(std::isnan(q) ? "NaN" : std::to_string(q)) +
                      " does not");
    }
  }
}

// The training targets in ascending order and each instance's place among
// them (equal targets by instance number): quantile prediction sorts a
// row's draws by these places, whole numbers, rather than by the targets.
// Made once per forest, then only read.
struct TargetRanks {
  std::vector<double> ascending;       // the targets, sorted
  std::vector<std::uint32_t> rank_of;  // per instance, its place in `ascending`
};

inline TargetRanks rank_targets(const std::vector<double>& targets) {
  check_leaf_sample_size(targets.size(), 0);
  std::vector<std::uint32_t> by_rank(targets.size());
  std::iota(by_rank.begin(), by_rank.end(), std::uint32_t{0});
  std::sort(by_rank.begin(), by_rank.end(), [&](std::uint32_t a, std::uint32_t b) {
    return targets[a] < targets[b] || (targets[a] == targets[b] && a < b);
  });
  TargetRanks ranks;
  ranks.ascending.resize(targets.size());
  ranks.rank_of.resize(targets.size());
  for (std::size_t r = 0; r < by_rank.size(); ++r) {
    ranks.ascending[r] = targets[by_rank[r]];
    ranks.rank_of[by_rank[r]] = static_cast<std::uint32_t>(r);
  }
  return ranks;
}

namespace detail {

// Rows walked through the trees together by one team member.
constexpr std::size_t quantile_chunk = 256;

// What a team member keeps from chunk to chunk: the leaves of its chunk of
// rows in every tree, and for one row each tree's draw weight and the keys
// of its draws (the instance's rank above the tree number), in the order
// their weights are added.
struct QuantileScratch {
  std::vector<std::size_t> leaves;  // tree k, row j of the chunk at k * quantile_chunk + j
  std::vector<double> tree_weight;  // 1 / the draws of the tree's leaf
  std::vector<std::uint64_t> keys;
};

// Fills scratch.keys and scratch.tree_weight with the draws of the leaves
// that row j of the chunk (instance i) reached, tree by tree, skipping the
// trees whose samples hold i when `in_bag` is given; returns the number of
// trees whose leaves held draws.
inline double gather_row_draws(QuantileScratch& scratch, const LeafSamples& samples, const TargetRanks& ranks,
                               std::size_t j, std::size_t i, const std::vector<std::vector<bool>>* in_bag) {
  scratch.keys.clear();
  double trees = 0.0;
  const std::size_t* leaves = scratch.leaves.data() + j;
  for (std::size_t k = 0; k < samples.trees.size(); ++k) {
    if (in_bag != nullptr && (*in_bag)[k][i]) continue;
    const TreeLeafSamples& record = samples.trees[k];
    const std::size_t leaf = leaves[k * quantile_chunk];
    const std::uint32_t b = record.begin(leaf), e = record.end(leaf);
    if (b == e) continue;
    trees += 1.0;
    scratch.tree_weight[k] = 1.0 / static_cast<double>(e - b);
    for (std::uint32_t p = b; p < e; ++p) {
      scratch.keys.push_back(static_cast<std::uint64_t>(ranks.rank_of[record.instances[p]]) << 32 | k);
    }
  }
  return trees;
}

// Writes row i's quantiles (in the ascending `order` of their numbers)
// from the keys of its draws, `trees` trees holding them: sorted, then
// their weights added up, each quantile written once the weight passed
// reaches it.
template <class Write>
void write_row_quantiles(QuantileScratch& scratch, const TargetRanks& ranks, double trees,
                         const std::vector<double>& quantiles, const std::vector<std::size_t>& order, std::size_t i,
                         Write& write) {
  std::vector<std::uint64_t>& keys = scratch.keys;
  if (keys.empty()) {
    for (std::size_t j = 0; j < quantiles.size(); ++j) write(i, j, std::numeric_limits<double>::quiet_NaN());
    return;
  }
  std::sort(keys.begin(), keys.end());
  const double slack = trees * 0x1p-40;
  double weight = 0.0;
  std::size_t next = 0;
  for (const std::uint64_t key : keys) {
    weight += scratch.tree_weight[key & 0xffffffffu];
    for (; next < order.size() && weight >= quantiles[order[next]] * trees - slack; ++next) {
      write(i, order[next], ranks.ascending[key >> 32]);
    }
    if (next == order.size()) return;
  }
  // Only rounding keeps the whole weight below q T for q near 1.
  for (; next < order.size(); ++next) write(i, order[next], ranks.ascending[keys.back() >> 32]);
}

}  // namespace detail

// Per tree, which training instances its sample holds (from its record).
inline std::vector<std::vector<bool>> in_bag_of(const LeafSamples& samples) {
  std::vector<std::vector<bool>> in_bag(samples.trees.size(), std::vector<bool>(samples.targets.size(), false));
  for (std::size_t t = 0; t < samples.trees.size(); ++t) {
    for (const std::uint32_t i : samples.trees[t].instances) in_bag[t][i] = true;
  }
  return in_bag;
}

// For each instance i of `data` and each quantile j, calls
// write(i, j, value) with the quantile quantiles[j] of the forest's
// weighted targets at i (see above), on a team of team_size(threads).
// `forest` is the flat form of the trees `samples` records, `ranks` those
// of its targets (rank_targets). With `in_bag`
// (see in_bag_of), `data` are the training instances, in order, and each
// takes only the trees whose samples missed it: out-of-bag quantiles.
template <class L, class DataSet, class Write>
void predict_quantiles(const FlatForest<L>& forest, const LeafSamples& samples, const TargetRanks& ranks,
                       const DataSet& data, const std::vector<double>& quantiles, int threads, Write write,
                       const std::vector<std::vector<bool>>* in_bag = nullptr) {
  check_quantiles(quantiles);
  if (forest.empty()) throw Exception("the forest has no trees");
  if (samples.trees.size() != forest.size()) {
    throw Exception("the leaf samples hold " + std::to_string(samples.trees.size()) + " trees, the forest " +
                    std::to_string(forest.size()));
  }
  forest.check(data.get_num_features());
  if (in_bag != nullptr && data.get_num_instances() != samples.targets.size()) {
    throw Exception("out-of-bag quantiles are those of the " + std::to_string(samples.targets.size()) +
                    " training instances, not of " + std::to_string(data.get_num_instances()));
  }
  if (ranks.rank_of.size() != samples.targets.size()) throw Exception("the target ranks are not those of the samples");
  const auto columns = column_pointers(data);
  // Quantiles in ascending order, so that one pass over a row's draws serves them all.
  std::vector<std::size_t> order(quantiles.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return quantiles[a] < quantiles[b]; });
  for_each_chunk(
      data.get_num_instances(), detail::quantile_chunk, threads,
      [&] {
        return detail::QuantileScratch{std::vector<std::size_t>(forest.size() * detail::quantile_chunk),
                                       std::vector<double>(forest.size()), {}};
      },
      [&](detail::QuantileScratch& scratch, std::size_t first, std::size_t count) {
        // The chunk passes through one tree at a time, which then stays in
        // cache; walking a few rows through every tree in turn would fetch
        // each tree's nodes from memory again for every few rows. A chunk
        // without missing values may take the forest's cheaper walk.
        const bool no_missing = forest.gains_from_no_missing() && none_missing(columns, first, count);
        for (std::size_t k = 0; k < forest.size(); ++k) {
          forest.leaves_of_rows(k, columns.data(), first, count, scratch.leaves.data() + k * detail::quantile_chunk,
                                no_missing);
        }
        for (std::size_t j = 0; j < count; ++j) {
          const double trees = detail::gather_row_draws(scratch, samples, ranks, j, first + j, in_bag);
          detail::write_row_quantiles(scratch, ranks, trees, quantiles, order, first + j, write);
        }
      });
}

}  // namespace Sylvor

#endif
