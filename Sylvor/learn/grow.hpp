// Growing one decision tree from one bootstrap sample, breadth first, into
// the stored tree form: for each pending node the task's label summary, the
// stopping rules (empty, pure, small), the splitter's search, the partition
// of the node's slice and either two children queued or a leaf.
//
// Nodes are grown in breadth-first order, left child before right, and
// appended in that order, so the tree comes out numbered breadth first;
// every draw of the generator (split searches, ties between classes at
// leaves) happens in that order too. A TreeGrower is the workspace of one
// thread: its splitter, queue and summary serve tree after tree without
// allocating once they have reached the sample's size. The data set is only
// read.
#ifndef SYLVOR_LEARN_GROW_HPP
#define SYLVOR_LEARN_GROW_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "Sylvor/dataset/index_dataset.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/splitter.hpp"
#include "Sylvor/learn/tree.hpp"

namespace Sylvor {

// The limits of growth.
struct TreeLimits {
  int features_per_split = 0;      // features tried per split; 0 (or < 1, or >= all) for all
  int max_depth = 0;               // 0 (or less) for none
  int min_instances_per_node = 1;  // a node of at most this many instances is a leaf; negative: every node
};

template <class Task, class DataSet>
class TreeGrower {
public:
  typedef typename DataSet::label_type L;
  typedef typename Task::template Summary<L> Summary;

  explicit TreeGrower(const DataSet& data) : splitter(data) {}

  // The sample the next tree grows from (reordered by the growth).
  IndexedDataSet<DataSet>& get_sample() { return splitter.get_sample(); }

  // Grows a tree from the sample into `tree`. A node becomes a leaf when it
  // is empty (only an empty sample's root, which keeps value -2), pure, has
  // at most min_instances_per_node instances, when a child would hold fewer
  // than two instances, or at depth max_depth (when positive); a leaf keeps
  // the threshold of the split found for it. With `importances` (one entry
  // per feature), every split adds its improvement times the node size to
  // its feature's entry; at the end the entries are divided by their sum
  // (left as they are when the sum is 0).
  // Between nodes it polls `control` and throws InterruptedException once
  // asked to stop.
  void grow(const Task& task, const TreeLimits& limits, XorShiftRNG& rng, Tree<L>& tree,
            std::vector<double>* importances, const WorkControl& control = WorkControl()) {
    tree.clear();
    tree.add_node();
    pending.clear();
    pending.push_back(Pending{0, 0, get_sample().get_num_instances(), 0});
    const std::uint64_t min_leaf =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(limits.min_instances_per_node));
    while (!pending.empty()) {
      control.check();
      const Pending node = pending.front();
      pending.pop_front();
      const std::size_t n = node.end - node.begin;
      task.summarize(splitter.range(node.begin, node.end), summary);
      if (n == 0) continue;
      if (task.is_pure(summary) || static_cast<std::uint64_t>(n) <= min_leaf) {
        tree.value[node.number] = task.leaf_value(summary, rng);
        continue;
      }

      const auto split =
          splitter.find_split(task, node.begin, node.end, summary, limits.features_per_split, rng);
      std::size_t p = node.begin;
      if (split.feature_index >= 0) {
        p = splitter.partition(node.begin, node.end, static_cast<std::size_t>(split.feature_index),
                               static_cast<double>(split.threshold));
      }
      const double threshold = static_cast<double>(split.threshold);
      tree.threshold[node.number] = threshold;
      tree.feature[node.number] = split.feature_index;
      if (importances != nullptr && split.best_improvement > 0) {
        (*importances)[static_cast<std::size_t>(split.feature_index)] +=
            split.best_improvement * static_cast<double>(n);
      }

      if (p - node.begin >= 2 && node.end - p >= 2 && !std::isnan(threshold) &&
          (limits.max_depth <= 0 || node.depth + 1 <= limits.max_depth)) {
        const std::size_t left = tree.add_children(node.number);
        pending.push_back(Pending{left, node.begin, p, node.depth + 1});
        pending.push_back(Pending{left + 1, p, node.end, node.depth + 1});
      } else {
        tree.feature[node.number] = -1;
        tree.value[node.number] = task.leaf_value(summary, rng);
      }
    }
    tree.shrink_to_fit();
    if (importances != nullptr) normalise(*importances);
  }

private:
  // A node waiting to be grown: its number and its slice of the sample.
  struct Pending {
    std::size_t number;
    std::size_t begin;
    std::size_t end;
    int depth;
  };

  static void normalise(std::vector<double>& importances) {
    double sum = 0.0;
    for (const double v : importances) sum += v;
    // A tree without a positive improvement keeps its zeros.
    if (sum != 0.0) {
      for (double& v : importances) v /= sum;
    }
  }

  Splitter<Task, DataSet> splitter;
  std::deque<Pending> pending;
  Summary summary;
};

// One tree grown from a copy of `sample` with the generator `rng` (see
// TreeGrower::grow); the caller's sample is left as it is.
template <class Task, class DataSet>
Tree<typename DataSet::label_type> learn_tree(const Task& task, const IndexedDataSet<DataSet>& sample,
                                              const TreeLimits& limits, XorShiftRNG& rng,
                                              std::vector<double>* importances = nullptr) {
  TreeGrower<Task, DataSet> grower(*sample.get_dataset());
  grower.get_sample().indices = sample.indices;
  Tree<typename DataSet::label_type> tree;
  grower.grow(task, limits, rng, tree, importances);
  return tree;
}

}  // namespace Sylvor

#endif
