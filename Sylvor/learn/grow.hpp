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

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

#include "Sylvor/dataset/index_dataset.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/splitter.hpp"
#include "Sylvor/model/tree.hpp"

namespace Sylvor {

// The limits of growth.
struct TreeLimits {
  int features_per_split = 0;      // features tried per split; 0 (or < 1, or >= all) for all
  int max_depth = 0;               // 0 (or less) for none
  int min_instances_per_node = 1;  // a node of at most this many instances is a leaf; negative: every node
  int max_leaf_nodes = 0;          // 0 for none (breadth-first growth); else best-first up to this many leaves
  int min_leaf_size = 2;           // the fewest instances a cut may leave on either side (less than 1 counts as 1)
  // Missing values (NaN) are left in the data and each split learns where
  // they go (see Splitter::find_split); a node that had none of its
  // feature sends them to its larger child, the right one when equal.
  bool learn_missing_sides = false;
  // Per feature, its number of levels when it is categorical (its values
  // are level numbers, cut as sets of levels), else 0; empty when every
  // feature is numeric. Categorical features need learn_missing_sides.
  std::vector<std::uint32_t> feature_levels;
  // A node splits only when its split's weighted impurity decrease (the
  // node's share of the sample times the decrease of its Gini impurity, or
  // of its variance in regression) is at least this; 0 for any decrease.
  double min_impurity_decrease = 0.0;
};

template <class Task, class DataSet>
class TreeGrower {
public:
  typedef typename DataSet::label_type L;
  typedef typename Task::template Summary<L> Summary;

  // With `ranks` of `data`, classification counts instead of sorting where
  // that pays (the same trees, sooner).
  explicit TreeGrower(const DataSet& data, const ValueRanks<typename DataSet::feature_type>* ranks = nullptr)
      : splitter(data, ranks) {}

  // See Splitter::set_counting.
  void set_counting(NodeCounting when) { splitter.set_counting(when); }

  // The sample the next tree grows from (reordered by the growth).
  IndexedDataSet<DataSet>& get_sample() { return splitter.get_sample(); }

  // Grows a tree from the sample into `tree`. A node becomes a leaf when it
  // is empty (only an empty sample's root, which keeps value -2), pure, has
  // at most min_instances_per_node instances, has no cut leaving
  // min_leaf_size instances on each side, or at depth
  // max_depth (when positive); a leaf keeps the threshold of the split found
  // for it. Without max_leaf_nodes the nodes are grown breadth first; with
  // it, best first: the pending node whose split decreases the weighted
  // impurity most is split next, until the tree has max_leaf_nodes leaves.
  // With `importances` (one entry per feature), every split made adds its
  // improvement times the node size to its feature's entry; at the end the
  // entries are divided by their sum (left as they are when the sum is 0).
  // Between nodes it polls `control` and throws InterruptedException once
  // asked to stop.
  void grow(const Task& task, const TreeLimits& limits, XorShiftRNG& rng, Tree<L>& tree,
            std::vector<double>* importances, const WorkControl& control = WorkControl()) {
    splitter.order_sample();
    if (limits.max_leaf_nodes > 0) {
      grow_best_first(task, limits, rng, tree, importances, control);
    } else {
      grow_breadth_first(task, limits, rng, tree, importances, control);
    }
    tree.missing_learned = limits.learn_missing_sides;
    tree.shrink_to_fit();
    if (importances != nullptr) normalise(*importances);
  }

private:
  // A node of the tree being grown: its number and its slice of the sample.
  struct Pending {
    std::size_t number;
    std::size_t begin;
    std::size_t end;
    int depth;
  };

  // A node whose split is decided: where its slice was partitioned, and the
  // improvement of the split.
  struct Split {
    Pending node;
    std::size_t p;
    double improvement;
    int feature;
    double priority;  // the weighted impurity decrease (best-first order)
  };

  // Decides node `at`: a leaf (its value set, false) or a split (feature and
  // threshold set, the slice partitioned, true). With `draw_leaf_first`
  // the leaf value is drawn before the split search, for every node.
  bool decide(const Task& task, const TreeLimits& limits, XorShiftRNG& rng, Tree<L>& tree, const Pending& at,
              bool draw_leaf_first, Split& split) {
    const std::size_t n = at.end - at.begin;
    task.summarize(splitter.node_labels(at.begin, at.end), summary);
    if (n == 0) return false;
    const std::uint64_t min_leaf =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(limits.min_instances_per_node));
    if (task.is_pure(summary) || static_cast<std::uint64_t>(n) <= min_leaf) {
      tree.value[at.number] = task.leaf_value(summary, rng);
      return false;
    }
    if (draw_leaf_first) tree.value[at.number] = task.leaf_value(summary, rng);
    const std::size_t min_side = static_cast<std::size_t>(std::max(1, limits.min_leaf_size));
    const auto best = splitter.find_split(task, at.begin, at.end, summary, limits.features_per_split, rng, min_side,
                                          limits.learn_missing_sides, &limits.feature_levels);
    std::size_t p = at.begin;
    const std::size_t f = static_cast<std::size_t>(best.feature_index);
    const bool categorical = best.feature_index >= 0 && f < limits.feature_levels.size() && limits.feature_levels[f] > 0;
    if (categorical) {
      levels = splitter.left_levels(f, at.begin, at.end, static_cast<double>(best.threshold));
      p = splitter.partition_levels(at.begin, at.end, f, levels, best.missing_left);
    } else if (best.feature_index >= 0) {
      p = splitter.partition(at.begin, at.end, f, static_cast<double>(best.threshold), best.missing_left);
    }
    const double threshold = static_cast<double>(best.threshold);
    tree.threshold[at.number] = threshold;
    tree.feature[at.number] = best.feature_index;
    const double decrease = task.weighted_decrease(best.best_improvement, n);
    if (p - at.begin >= min_side && at.end - p >= min_side && !std::isnan(threshold) &&
        (limits.max_depth <= 0 || at.depth + 1 <= limits.max_depth) &&
        (limits.min_impurity_decrease <= 0.0 ||
         decrease >= limits.min_impurity_decrease * static_cast<double>(get_sample().get_num_instances()))) {
      split = Split{at, p, best.best_improvement, best.feature_index, decrease};
      if (limits.learn_missing_sides) {
        tree.missing_left[at.number] = best.missing_seen ? best.missing_left : p - at.begin > at.end - p;
      }
      if (categorical) {
        tree.threshold[at.number] = std::numeric_limits<double>::quiet_NaN();
        tree.set_left_levels(at.number, levels);
      }
      return true;
    }
    tree.feature[at.number] = -1;
    if (!draw_leaf_first) tree.value[at.number] = task.leaf_value(summary, rng);
    return false;
  }

  // Makes a decided split: the node's two children, its importance.
  std::pair<Pending, Pending> make_split(Tree<L>& tree, const Split& split, std::vector<double>* importances) {
    const Pending& node = split.node;
    tree.value[node.number] = static_cast<L>(-2);
    if (importances != nullptr && split.improvement > 0) {
      (*importances)[static_cast<std::size_t>(split.feature)] +=
          split.improvement * static_cast<double>(node.end - node.begin);
    }
    const std::size_t left = tree.add_children(node.number);
    return {Pending{left, node.begin, split.p, node.depth + 1}, Pending{left + 1, split.p, node.end, node.depth + 1}};
  }

  void grow_breadth_first(const Task& task, const TreeLimits& limits, XorShiftRNG& rng, Tree<L>& tree,
                          std::vector<double>* importances, const WorkControl& control) {
    tree.clear();
    tree.add_node();
    pending.clear();
    pending.push_back(Pending{0, 0, get_sample().get_num_instances(), 0});
    Split split;
    while (!pending.empty()) {
      control.check();
      const Pending node = pending.front();
      pending.pop_front();
      if (!decide(task, limits, rng, tree, node, false, split)) continue;
      const auto [left, right] = make_split(tree, split, importances);
      pending.push_back(left);
      pending.push_back(right);
    }
  }

  // Grows in the order of the splits' weighted impurity decreases (the
  // earlier node first among equal ones), then numbers the nodes breadth
  // first.
  void grow_best_first(const Task& task, const TreeLimits& limits, XorShiftRNG& rng, Tree<L>& tree,
                       std::vector<double>* importances, const WorkControl& control) {
    auto later = [](const Split& a, const Split& b) {
      return a.priority < b.priority || (a.priority == b.priority && a.node.number > b.node.number);
    };
    std::priority_queue<Split, std::vector<Split>, decltype(later)> candidates(later);
    grown.clear();
    grown.add_node();
    Split split;
    if (decide(task, limits, rng, grown, Pending{0, 0, get_sample().get_num_instances(), 0}, true, split)) {
      candidates.push(split);
    }
    for (int leaves = 1; leaves < limits.max_leaf_nodes && !candidates.empty(); ++leaves) {
      control.check();
      const Split best = candidates.top();
      candidates.pop();
      const auto [left, right] = make_split(grown, best, importances);
      for (const Pending& child : {left, right}) {
        if (decide(task, limits, rng, grown, child, true, split)) candidates.push(split);
      }
    }
    // Candidates left unsplit are leaves with the value already drawn.
    for (; !candidates.empty(); candidates.pop()) {
      grown.feature[candidates.top().node.number] = -1;
      grown.missing_left[candidates.top().node.number] = 0;
      if (!grown.level_set.empty()) grown.level_set[candidates.top().node.number] = -1;
    }
    copy_breadth_first(
        tree,
        [&](long long s) {
          const std::size_t at = static_cast<std::size_t>(s);
          return std::make_pair(static_cast<long long>(grown.left[at]), static_cast<long long>(grown.right[at]));
        },
        [&](long long s, std::size_t k) {
          const std::size_t at = static_cast<std::size_t>(s);
          tree.feature[k] = grown.feature[at];
          tree.threshold[k] = grown.threshold[at];
          tree.value[k] = grown.value[at];
          tree.missing_left[k] = grown.missing_left[at];
          if (grown.tests_levels(at)) tree.set_left_levels(k, grown.left_levels(at));
        });
  }

  static void normalise(std::vector<double>& importances) {
    double sum = 0.0;
    for (const double v : importances) sum += v;
    // A tree without a positive improvement keeps its zeros.
    if (sum != 0.0) {
      for (double& v : importances) v /= sum;
    }
  }

  Splitter<Task, DataSet> splitter;
  std::vector<std::uint32_t> levels;  // the levels a categorical split sends left
  std::deque<Pending> pending;
  Summary summary;
  Tree<L> grown;  // best first: the tree in the order its nodes were made
};

}  // namespace Sylvor

#endif
