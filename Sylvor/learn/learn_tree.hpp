// Growing one decision tree from one bootstrap sample: the per-feature scan
// that finds a feature's best cut (learn_tree_node, and its regression form),
// the node search over the sampled features, and breadth-first tree growth
// (learn_tree).
//
// Every random choice (feature sampling, ties between equally good features,
// ties between equally frequent classes at leaves) draws from the calling
// thread's generator, node after node in breadth-first order, so a tree is a
// function of the sample, the options and the generator's state. Growth owns
// a copy of the sample (reordered node by node) and a workspace of
// accumulators and flags reused by every node: once the sample's buffers
// have grown, growing a node allocates nothing but its children. One call
// runs on one thread; the data set is only read.
#ifndef SYLVOR_LEARN_LEARN_TREE_HPP
#define SYLVOR_LEARN_LEARN_TREE_HPP

#include <cmath>
#include <cstdint>
#include <deque>
#include <type_traits>
#include <vector>

#include "Sylvor/dataset/index_dataset.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/defs/tracker.hpp"
#include "Sylvor/learn/tree.hpp"
#include "Sylvor/stats/info.hpp"

namespace Sylvor {

// The threshold of a cut between two adjacent distinct sorted values: the
// midpoint for the floating types (computed in the feature's own type), the
// upper value for the integer types.
template <class F>
struct ThresholdInfo {
  static F get_less_than_threshold(F previous, F current) {
    if constexpr (std::is_same<F, double>::value) {
      return (previous + current) * 0.5;
    } else if constexpr (std::is_same<F, float>::value) {
      return (previous + current) * 0.5f;
    } else {
      (void)previous;
      return current;
    }
  }
};

template <class F>
using FeatureTracker = Tracker<NodeResult<F>, std::less<double>>;

// Offers the cut between the adjacent sorted values below < above to the
// tracker, and refreshes the bounds that screen the scan's later scores.
template <class F>
inline void offer_cut(FeatureTracker<F>& tracker, double score, int feature_index, F below, F above,
                      double improvement, double& best, double& worst) {
  tracker.try_candidate(
      score, NodeResult<F>(feature_index, ThresholdInfo<F>::get_less_than_threshold(below, above), improvement));
  best = tracker.get_maximum();
  worst = tracker.get_minimum();
}

// Scratch accumulators of a classification scan, reused from feature to
// feature and node to node.
template <class L>
struct ScanSides {
  NominalLabelPriorAccumulator<L> left;
  NominalLabelPriorAccumulator<L> right;
};

// The best cut of one feature of a node, classification. The range's buffer
// must hold the feature, sorted. Cuts are scored only between distinct
// values, and only once a label differing from the label just after the
// previous scored cut has been seen. The reported maximum is the
// criterion's final score; the maximizer's best_improvement is the Gini
// decrease (times the node size) of the cut, whatever the criterion.
template <class Range, class L, class Criterion>
FeatureTracker<typename Range::feature_type> learn_tree_node(
    const Range& range, const NominalLabelPriorAccumulator<L>& prior, int feature_index,
    const Criterion& criteria, ScanSides<L>& sides) {
  typedef typename Range::feature_type F;
  FeatureTracker<F> tracker;
  const std::size_t n = range.get_num_instances();
  if (n == 0) return tracker;
  const auto* entries = range.buffer_begin();

  const double node_value = criteria.get_initial(prior);
  const double start_score = criteria.get_initial_score(node_value);
  auto& left = sides.left;
  auto& right = sides.right;
  left.set_num_classes(prior.get_num_classes());
  left.set_labeling(prior.get_labeling());
  right = prior;

  tracker.try_candidate(start_score, NodeResult<F>(feature_index, entries[0].first, 0.0));
  left.increment_count(entries[0].second);
  right.decrement_count(entries[0].second);

  if (n > 2 && entries[0].first != entries[n - 1].first) {
    double best = start_score;
    double worst = start_score;
    L ref = entries[0].second;
    bool changed = false;
    for (std::size_t i = 1; i < n; ++i) {
      if (!changed) changed = entries[i].second != ref;
      if (changed && entries[i - 1].first != entries[i].first) {
        const double score = criteria(node_value, left, right);
        if (score > best || score < worst) {
          const double gini_gain =
              ratio_or_zero(static_cast<double>(left.get_sum_squared()),
                            static_cast<double>(left.get_total_count())) +
              ratio_or_zero(static_cast<double>(right.get_sum_squared()),
                            static_cast<double>(right.get_total_count()));
          offer_cut(tracker, score, feature_index, entries[i - 1].first, entries[i].first, gini_gain, best, worst);
        }
        ref = entries[i].second;
        changed = false;
      }
      left.increment_count(entries[i].second);
      right.decrement_count(entries[i].second);
    }
  }

  const double node_gini = ratio_or_zero(static_cast<double>(prior.get_sum_squared()),
                                         static_cast<double>(prior.get_total_count()));
  NodeResult<F>& chosen = tracker.get_maximizer_for_update();
  chosen.best_improvement = std::max(0.0, chosen.best_improvement - node_gini);
  tracker.set_maximum(criteria.get_final_score(tracker.get_maximum(), node_value));
  return tracker;
}

// Convenience form that brings its own scratch accumulators.
template <class Range, class L, class Criterion>
FeatureTracker<typename Range::feature_type> learn_tree_node(
    XorShiftRNG& /*rng*/, const Range& range, const NominalLabelPriorAccumulator<L>& prior,
    int feature_index, const Criterion& criteria) {
  ScanSides<L> sides;
  return learn_tree_node(range, prior, feature_index, criteria, sides);
}

// The best cut of one feature of a node, regression: minimises the
// size-weighted population variance of the two sides. The left side grows
// by Welford's update; the right side shrinks by the scan's cheap removal
// rule. The reported maximum and the maximizer's best_improvement are both
// the decrease of the weighted variance (0 without a cut).
template <class Range>
FeatureTracker<typename Range::feature_type> learn_tree_node_regression(
    const Range& range, const RegressiveLabelPriorAccumulator<double>& node, int feature_index) {
  typedef typename Range::feature_type F;
  FeatureTracker<F> tracker;
  const std::size_t n = range.get_num_instances();
  if (n == 0) return tracker;
  const auto* entries = range.buffer_begin();
  const double mu = node.get_mean();
  const double v = node.get_variance();

  tracker.try_candidate(-v, NodeResult<F>(feature_index, entries[0].first, 0.0));
  if (n > 2 && entries[0].first != entries[n - 1].first) {
    const double y0 = static_cast<double>(entries[0].second);
    double left_mean = y0, left_m2 = 0.0, s = 1.0;
    const double d0 = y0 - mu;
    double right_m2 = node.get_M2() - d0 * d0;
    double right_mean = mu - d0 / static_cast<double>(n);
    double count_right = static_cast<double>(n - 1);
    double right_variance = right_m2 / count_right;
    double best = -v, worst = -v;
    double ref = y0;
    bool changed = false;
    for (std::size_t i = 1; i < n; ++i) {
      const double z = static_cast<double>(entries[i].second);
      if (!changed) changed = z != ref;
      if (changed && entries[i - 1].first != entries[i].first) {
        const double left_variance = left_m2 / s;
        const double w = (count_right / (s + count_right)) * right_variance +
                         (s / (s + count_right)) * left_variance;
        const double score = -w;
        if (score > best || score < worst) {
          offer_cut(tracker, score, feature_index, entries[i - 1].first, entries[i].first, w, best, worst);
        }
        ref = z;
        changed = false;
      }
      if (count_right == 1.0) break;
      s += 1.0;
      const double d = z - left_mean;
      left_mean += d / s;
      left_m2 += (z - left_mean) * d;
      const double e = z - right_mean;
      right_m2 -= e * e;
      right_mean -= e / count_right;
      count_right -= 1.0;
      right_variance = right_m2 / count_right;
    }
  }
  const double decrease = v + tracker.get_maximum();
  tracker.get_maximizer_for_update().best_improvement = decrease;
  tracker.set_maximum(decrease);
  return tracker;
}

template <class L>
struct TreeWorkspace {
  ScanSides<L> sides;
  NominalLabelPriorAccumulator<L> prior;
  RegressiveLabelPriorAccumulator<double> summary;
  std::vector<char> chosen;  // per feature: already chosen for this node
};

// The split chosen for a node: feature -1 when no feature could be evaluated.
template <class F>
struct NodeSplit {
  int feature_index = -1;
  F threshold = default_threshold<F>();
  double improvement = 0.0;
};

// True when every instance of the range has the value of its first instance.
template <class Range>
bool is_constant_feature(const Range& range, std::size_t f) {
  const auto& column = range.dataset->get_dataset()->features[f];
  const std::size_t n = range.get_num_instances();
  const auto first = column[range.get_index(0)];
  for (std::size_t k = 1; k < n; ++k) {
    if (column[range.get_index(k)] != first) return false;
  }
  return true;
}

// Chooses the features of a node (all in index order, or fte_per_split of
// them sampled without repeats, constant features not counting), scans each
// and keeps the best, breaking exact ties at random.
template <class Range, class L, class Criterion>
NodeSplit<typename Range::feature_type> search_node(Range& range, int fte_per_split,
                                                    const Criterion& criteria, XorShiftRNG& rng,
                                                    TreeWorkspace<L>& work) {
  typedef typename Range::feature_type F;
  constexpr bool regression = std::is_same<Criterion, TwoSplitVariance>::value;
  NodeSplit<F> split;
  const std::size_t nf = range.get_num_features();
  const std::size_t fte = (fte_per_split >= 1 && static_cast<std::size_t>(fte_per_split) < nf)
                              ? static_cast<std::size_t>(fte_per_split)
                              : nf;
  if (fte < 1) return split;
  const bool sampling = fte < nf;
  const std::size_t n = range.get_num_instances();
  work.chosen.assign(nf, 0);
  std::size_t num_chosen = 0, evaluated = 0, next_feature = 0;
  FeatureTracker<F> best_over_features;
  for (;;) {
    std::size_t f;
    if (sampling) {
      if (num_chosen == nf) break;
      do {
        f = static_cast<std::size_t>(rng.next_int(static_cast<std::int64_t>(nf)));
      } while (work.chosen[f]);
    } else {
      if (next_feature == nf) break;
      f = next_feature++;
    }
    work.chosen[f] = 1;
    ++num_chosen;
    if (n < 2 || is_constant_feature(range, f)) continue;

    range.buffer_feature(f);
    range.sort_buffered_feature(f);
    FeatureTracker<F> best_for_feature;
    if constexpr (regression) {
      best_for_feature = learn_tree_node_regression(range, work.summary, static_cast<int>(f));
    } else {
      best_for_feature =
          learn_tree_node(range, work.prior, static_cast<int>(f), criteria, work.sides);
    }
    best_over_features.try_candidate_break_ties(best_for_feature.get_maximum(),
                                                best_for_feature.get_maximizer(), rng);
    if (++evaluated == fte) break;
  }
  if (best_over_features.is_initialized()) {
    const NodeResult<F>& best = best_over_features.get_maximizer();
    split.feature_index = best.feature_index;
    split.threshold = best.threshold;
    split.improvement = best.best_improvement;
  }
  return split;
}

namespace detail {

template <class L>
struct NodeLearnTask {
  Node<L>* node;
  int parent_feature_index;
  double parent_threshold;
  std::size_t begin_i;
  std::size_t end_i;
  int depth;
};

}  // namespace detail

// Grows a tree from a bootstrap sample, breadth first. Classification with
// the Gini, information-gain or gain-ratio criterion; regression with
// TwoSplitVariance. A node becomes a leaf when it is empty, pure, has at most
// min_leaf_size instances (a negative value makes every node a leaf), when a
// child would hold fewer than two instances, or at depth max_depth (when
// positive). With compute_feature_importances, every split adds its
// improvement times the node size to its feature's entry; at the end the
// entries are divided by their sum (left as they are when the sum is 0). The
// caller owns the returned tree.
template <class Indexed, class Criterion>
Node<typename Indexed::label_type>* learn_tree(const Indexed& data, int fte_per_split,
                                               int max_depth, int min_leaf_size,
                                               const Criterion& criteria,
                                               bool compute_feature_importances,
                                               std::vector<double>& feature_importances) {
  typedef typename Indexed::label_type L;
  typedef detail::NodeLearnTask<L> Task;
  constexpr bool regression = std::is_same<Criterion, TwoSplitVariance>::value;

  std::unique_ptr<Node<L>> root(new Node<L>());
  Indexed indexed_data = data;
  TreeWorkspace<L> work;
  std::deque<Task> to_learn;
  to_learn.push_back(Task{root.get(), -1, std::numeric_limits<double>::min(), 0,
                          indexed_data.get_num_instances(), 0});
  const std::uint64_t min_leaf = static_cast<std::uint64_t>(static_cast<std::int64_t>(min_leaf_size));

  while (!to_learn.empty()) {
    const Task task = to_learn.front();
    to_learn.pop_front();
    Node<L>* node = task.node;
    RangeDataSet<Indexed> range(&indexed_data, task.begin_i, task.end_i);
    const std::size_t n = range.get_num_instances();
    XorShiftRNG& rng = *get_rng();

    // The leaf label of this node (draws for ties between classes).
    auto leaf_label = [&]() -> L {
      if constexpr (regression) {
        return static_cast<L>(work.summary.get_mean());
      } else {
        return work.prior.get_prediction(rng).first;
      }
    };

    if constexpr (regression) {
      work.summary.initialize();
      work.summary.add_count(range);
    } else {
      work.prior.set_num_classes(indexed_data.get_num_classes());
      work.prior.set_labeling(indexed_data.get_labeling());
      work.prior.add_count(range);
    }
    if (n == 0) continue;

    bool pure;
    if constexpr (regression) {
      pure = n == 1 || work.summary.get_variance() < 1e-5;
    } else {
      const auto& counts = work.prior.get_counts();
      const std::size_t from = work.prior.get_labeling() == DiscreteZeroOnward ? 1 : 0;
      long largest = 0;
      for (std::size_t i = from; i < counts.size(); ++i) largest = std::max(largest, counts[i]);
      pure = static_cast<std::size_t>(largest) == n;
    }
    if (pure || static_cast<std::uint64_t>(n) <= min_leaf) {
      node->set_label(leaf_label());
      continue;
    }

    const auto split = search_node(range, fte_per_split, criteria, rng, work);
    std::size_t p = task.begin_i;
    if (split.feature_index >= 0) {
      p = range.partition(static_cast<std::size_t>(split.feature_index),
                          static_cast<double>(split.threshold));
    }
    const double threshold = static_cast<double>(split.threshold);
    node->set_threshold(threshold);
    node->set_label(static_cast<L>(-2));
    node->set_feature_index(split.feature_index);
    if (compute_feature_importances && split.improvement > 0) {
      feature_importances[static_cast<std::size_t>(split.feature_index)] +=
          split.improvement * static_cast<double>(n);
    }

    if (p - task.begin_i >= 2 && task.end_i - p >= 2 && !std::isnan(threshold) &&
        (max_depth <= 0 || task.depth + 1 <= max_depth)) {
      Node<L>* left = new Node<L>();
      node->set_left(left);
      Node<L>* right = new Node<L>();
      node->set_right(right);
      to_learn.push_back(Task{left, split.feature_index, threshold, task.begin_i, p, task.depth + 1});
      to_learn.push_back(Task{right, split.feature_index, threshold, p, task.end_i, task.depth + 1});
    } else {
      node->set_feature_index(-1);
      node->set_label(leaf_label());
    }
  }

  if (compute_feature_importances && !feature_importances.empty()) {
    double sum = 0.0;
    for (const double v : feature_importances) sum += v;
    // A tree without a positive improvement keeps its zeros.
    if (sum != 0.0) {
      for (double& v : feature_importances) v /= sum;
    }
  }
  return root.release();
}

}  // namespace Sylvor

#endif
