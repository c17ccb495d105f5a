// The training instances that each leaf of a forest's trees holds, kept
// when learning is asked to, for answers that need more than a leaf's
// mean: conditional quantiles and proximities.
//
// Per tree, a compressed record (TreeLeafSamples): the draws of node k are
// instances[offsets[k] .. offsets[k + 1]), the instance numbers of the
// tree's sample that growth put in that leaf, once per draw (an instance
// drawn three times appears three times), in ascending order of their
// targets, equal targets by instance number. Inner nodes hold none. The
// forest's record (LeafSamples) keeps the training targets beside the
// trees' records, one per instance, as learning read them. Numbers are 32
// bits: a record holds samples and data sets of at most 2^32 - 1 instances.
//
// Invariants (check_leaf_samples holds records from outside to them):
// offsets has one entry per node and one more, starts at 0, never
// decreases, and ends at the number of draws; inner nodes have empty
// ranges; every instance number is below the number of targets; each
// leaf's draws are in the order above.
//
// A tree's record is built by the thread that grew the tree; afterwards a
// record is only read, by any number of threads at once.
#ifndef SYLVOR_MODEL_LEAF_SAMPLES_HPP
#define SYLVOR_MODEL_LEAF_SAMPLES_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/model/tree.hpp"

namespace Sylvor {

struct TreeLeafSamples {
  std::vector<std::uint32_t> offsets;    // nodes + 1 entries
  std::vector<std::uint32_t> instances;  // one per draw of the tree's sample

  std::size_t num_draws() const { return instances.size(); }
  // The draws of node k, as a range of positions in `instances`.
  std::uint32_t begin(std::size_t k) const { return offsets[k]; }
  std::uint32_t end(std::size_t k) const { return offsets[k + 1]; }
  bool operator==(const TreeLeafSamples& other) const {
    return offsets == other.offsets && instances == other.instances;
  }
};

struct LeafSamples {
  std::vector<double> targets;          // one per training instance
  std::vector<TreeLeafSamples> trees;   // one per tree of the forest

  bool empty() const { return trees.empty(); }
  bool operator==(const LeafSamples& other) const { return targets == other.targets && trees == other.trees; }
  // Bytes held by the records and the targets.
  std::size_t memory_bytes() const {
    std::size_t bytes = targets.size() * sizeof(double);
    for (const TreeLeafSamples& tree : trees) {
      bytes += (tree.offsets.size() + tree.instances.size()) * sizeof(std::uint32_t);
    }
    return bytes;
  }
};

// The largest number of instances (and of draws in a sample) a record holds.
constexpr std::size_t max_leaf_sample_instances = std::numeric_limits<std::uint32_t>::max();

// Throws Exception unless a data set of `num_instances` instances and
// samples of `sample_size` draws fit in 32-bit records.
inline void check_leaf_sample_size(std::size_t num_instances, std::size_t sample_size) {
  if (num_instances > max_leaf_sample_instances || sample_size > max_leaf_sample_instances) {
    throw Exception("leaf samples hold at most " + std::to_string(max_leaf_sample_instances) +
                    " instances and draws per tree; the data have " + std::to_string(num_instances) +
                    " instances and samples of " + std::to_string(sample_size) + " draws");
  }
}

// The scratch of record_leaf_samples, reused from tree to tree by the
// thread that grows them.
struct LeafSampleScratch {
  std::vector<std::uint32_t> leaf_of_draw;
  std::vector<std::uint32_t> next_position;
};

// Records in `record` where the draws of `drawn` (instance numbers of
// `data`, with repetitions) end in `tree` (grown, so at least its root):
// each draw walks the tree as prediction walks it, which is where growth
// put it, since growth splits a node's draws by the very test the node
// records.
template <class L, class DataSet>
void record_leaf_samples(const Tree<L>& tree, const DataSet& data, const std::vector<std::size_t>& drawn,
                         const std::vector<double>& targets, TreeLeafSamples& record, LeafSampleScratch& scratch) {
  check_leaf_sample_size(data.get_num_instances(), drawn.size());
  const std::size_t nodes = tree.size();
  scratch.leaf_of_draw.resize(drawn.size());
  record.offsets.assign(nodes + 1, 0);
  for (std::size_t p = 0; p < drawn.size(); ++p) {
    const std::size_t leaf = tree.leaf_of(data, drawn[p]);
    scratch.leaf_of_draw[p] = static_cast<std::uint32_t>(leaf);
    ++record.offsets[leaf + 1];
  }
  for (std::size_t k = 0; k < nodes; ++k) record.offsets[k + 1] += record.offsets[k];
  // Counting sort by leaf, draws in their order, then each leaf's draws
  // sorted by target.
  scratch.next_position.assign(record.offsets.begin(), record.offsets.end() - 1);
  record.instances.resize(drawn.size());
  for (std::size_t p = 0; p < drawn.size(); ++p) {
    record.instances[scratch.next_position[scratch.leaf_of_draw[p]]++] = static_cast<std::uint32_t>(drawn[p]);
  }
  const auto in_target_order = [&](std::uint32_t a, std::uint32_t b) {
    return targets[a] < targets[b] || (targets[a] == targets[b] && a < b);
  };
  for (std::size_t k = 0; k < nodes; ++k) {
    if (record.offsets[k + 1] - record.offsets[k] > 1) {
      std::sort(record.instances.begin() + record.offsets[k], record.instances.begin() + record.offsets[k + 1],
                in_target_order);
    }
  }
}

// Throws Exception naming the tree and what is wrong unless `samples`
// holds one record per tree of `trees`, each as the invariants above say,
// and its targets are numbers.
template <class L>
void check_leaf_samples(const LeafSamples& samples, const Forest<L>& trees) {
  if (samples.trees.size() != trees.size()) {
    throw Exception("the leaf samples hold " + std::to_string(samples.trees.size()) + " trees, the forest " +
                    std::to_string(trees.size()));
  }
  if (samples.targets.size() > max_leaf_sample_instances) check_leaf_sample_size(samples.targets.size(), 0);
  for (const double y : samples.targets) {
    if (std::isnan(y)) throw Exception("the leaf samples' targets hold NaN");
  }
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const TreeLeafSamples& record = samples.trees[t];
    const std::string tree = "leaf samples of tree " + std::to_string(t) + ": ";
    if (record.offsets.size() != trees[t].size() + 1 || record.offsets.front() != 0 ||
        record.offsets.back() != record.instances.size()) {
      throw Exception(tree + "their offsets do not cover the tree's " + std::to_string(trees[t].size()) +
                      " nodes and " + std::to_string(record.instances.size()) + " draws");
    }
    // Every range lies within the draws once the offsets never decrease.
    for (std::size_t k = 0; k < trees[t].size(); ++k) {
      if (record.end(k) < record.begin(k)) throw Exception(tree + "their offsets decrease at node " + std::to_string(k));
    }
    for (std::size_t k = 0; k < trees[t].size(); ++k) {
      const std::uint32_t b = record.begin(k), e = record.end(k);
      if (e > b && !trees[t].is_leaf(k)) throw Exception(tree + "inner node " + std::to_string(k) + " holds draws");
      for (std::uint32_t p = b; p < e; ++p) {
        const std::uint32_t i = record.instances[p];
        if (i >= samples.targets.size()) {
          throw Exception(tree + "instance " + std::to_string(i) + " has no target (there are " +
                          std::to_string(samples.targets.size()) + ")");
        }
        if (p > b) {
          const std::uint32_t before = record.instances[p - 1];
          const double a = samples.targets[before], y = samples.targets[i];
          if (a > y || (a == y && before > i)) {
            throw Exception(tree + "the draws of leaf " + std::to_string(k) + " are not in target order");
          }
        }
      }
    }
  }
}

}  // namespace Sylvor

#endif
