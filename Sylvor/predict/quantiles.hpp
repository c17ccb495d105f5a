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
// ascending target order (equal targets by tree number, then by instance
// number) and compared with q T less T 2^-40, T the number of trees with
// draws, so that the rounding of the sum never skips a target whose exact
// weight reaches q. A row whose leaves hold no draws gets NaN (and so does
// a training row in every tree's sample, out of bag).
//
// The trees' leaves keep their draws sorted by target (see leaf_samples.hpp),
// so a row's quantiles come from one merge of its T leaves' lists through a
// heap of T cursors, all quantiles in one pass; each team member keeps its
// heap from row to row, and nothing is allocated per row. Results do not
// depend on the thread count. Called from any thread; the forest and the
// record are only read.
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

namespace detail {

// One leaf's draws not yet merged: the next one's target and position.
struct LeafCursor {
  double target;
  double weight;  // 1 / the leaf's draws
  std::uint32_t position;
  std::uint32_t end;
  std::uint32_t tree;
};

// The heap's order: the cursor whose next draw comes later in the merge
// sinks (ascending target, then tree; a tree has one cursor).
inline bool merges_later(const LeafCursor& a, const LeafCursor& b) {
  return a.target > b.target || (a.target == b.target && a.tree > b.tree);
}

// Writes row i's quantiles (in the ascending `order` of their numbers)
// from the T cursors of its leaves in `heap`: one merge of the leaves'
// draws, each quantile written once the weight passed reaches it.
template <class Write>
void merge_quantiles(std::vector<LeafCursor>& heap, const LeafSamples& samples, const std::vector<double>& quantiles,
                     const std::vector<std::size_t>& order, std::size_t i, Write& write) {
  if (heap.empty()) {
    for (std::size_t j = 0; j < quantiles.size(); ++j) write(i, j, std::numeric_limits<double>::quiet_NaN());
    return;
  }
  const double trees = static_cast<double>(heap.size());
  const double slack = trees * 0x1p-40;
  std::make_heap(heap.begin(), heap.end(), merges_later);
  double weight = 0.0, last = heap.front().target;
  std::size_t next = 0;
  while (next < order.size() && !heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), merges_later);
    LeafCursor& cursor = heap.back();
    weight += cursor.weight;
    last = cursor.target;
    for (; next < order.size() && weight >= quantiles[order[next]] * trees - slack; ++next) {
      write(i, order[next], last);
    }
    if (++cursor.position < cursor.end) {
      cursor.target = samples.targets[samples.trees[cursor.tree].instances[cursor.position]];
      std::push_heap(heap.begin(), heap.end(), merges_later);
    } else {
      heap.pop_back();
    }
  }
  // Only rounding keeps the whole weight below q T for q near 1.
  for (; next < order.size(); ++next) write(i, order[next], last);
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
// `forest` is the flat form of the trees `samples` records. With `in_bag`
// (see in_bag_of), `data` are the training instances, in order, and each
// takes only the trees whose samples missed it: out-of-bag quantiles.
template <class L, class DataSet, class Write>
void predict_quantiles(const FlatForest<L>& forest, const LeafSamples& samples, const DataSet& data,
                       const std::vector<double>& quantiles, int threads, Write write,
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
  const auto columns = column_pointers(data);
  // Quantiles in ascending order, so that one merge serves them all.
  std::vector<std::size_t> order(quantiles.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return quantiles[a] < quantiles[b]; });
  for_each_chunk(
      data.get_num_instances(), 256, threads,
      [&] {
        std::vector<detail::LeafCursor> heap;
        heap.reserve(forest.size());
        return heap;
      },
      [&](std::vector<detail::LeafCursor>& heap, std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) {
          heap.clear();
          for (std::size_t k = 0; k < forest.size(); ++k) {
            if (in_bag != nullptr && (*in_bag)[k][i]) continue;
            const std::size_t leaf = forest.leaf_of(k, columns.data(), i);
            const TreeLeafSamples& record = samples.trees[k];
            const std::uint32_t b = record.begin(leaf), e = record.end(leaf);
            if (b == e) continue;
            heap.push_back({samples.targets[record.instances[b]], 1.0 / static_cast<double>(e - b), b, e,
                            static_cast<std::uint32_t>(k)});
          }
          detail::merge_quantiles(heap, samples, quantiles, order, i, write);
        }
      });
}

}  // namespace Sylvor

#endif
