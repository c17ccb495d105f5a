// The split search of one node: the Splitter owns the working copy of a
// tree's sample (its index list, reordered node by node so that every node
// owns a contiguous slice), the (feature value, label) buffer with its sort
// scratch, and the per-node record of the features already drawn. For a
// node it samples the features to try, scans each one once over its sorted
// buffer (learn_tree_node) and returns the best cut as one NodeResult; then
// it partitions the node's slice around the chosen threshold.
//
// Every random draw (feature sampling, exact ties between features) comes
// from the generator passed in, in a fixed order, so a node's split is a
// function of the sample, the options and the generator's state. A splitter
// belongs to the one thread that grows a tree; once its buffers have reached
// the sample's size it allocates nothing. The data set is only read.
#ifndef SYLVOR_LEARN_SPLITTER_HPP
#define SYLVOR_LEARN_SPLITTER_HPP

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "Sylvor/dataset/index_dataset.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/sort.hpp"
#include "Sylvor/learn/tracker.hpp"

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

// The best cut of one feature of a node: `entries` are the node's n (value,
// label) pairs sorted by value, `node` the node's label summary, and `left`
// and `right` scratch summaries. Instances move one at a time from the
// right side to the left; a cut is scored only between two distinct values,
// only when it leaves at least two entries on each side, and only once a
// label differing from the label just after the previous scored cut has been
// seen, so runs of one label are never cut. Among equal
// scores the lowest threshold stays. The reported maximum is the criterion's
// final score (0 without a cut); the maximizer's improvement is what the
// task reports for importances. Without a cut the maximizer is the no-cut
// candidate at the feature's smallest value.
template <class Task, class F, class L, class Summary>
FeatureTracker<F> learn_tree_node(const Task& task, const std::pair<F, L>* entries, std::size_t n,
                                  const Summary& node, int feature_index, Summary& left, Summary& right) {
  FeatureTracker<F> tracker;
  if (n == 0) return tracker;
  const auto& criterion = task.criterion;
  const double node_value = criterion.get_initial(node);
  const double start_score = criterion.get_initial_score(node_value);
  left.reset_like(node);
  right = node;

  tracker.try_candidate(start_score, NodeResult<F>(feature_index, entries[0].first, 0.0));
  left.increment_count(entries[0].second);
  right.decrement_count(entries[0].second);
  if (n > 2 && entries[0].first != entries[n - 1].first) {
    // The bounds that a score must pass to change the tracker.
    double best = start_score;
    double worst = start_score;
    L ref = entries[0].second;
    bool changed = false;
    for (std::size_t i = 1; i < n; ++i) {
      if (!changed) changed = entries[i].second != ref;
      // Cuts that would leave fewer than two entries on a side are passed
      // over as if the two values were equal.
      if (changed && entries[i - 1].first != entries[i].first && i >= 2 && n - i >= 2) {
        const double score = criterion(node_value, left, right);
        if (score > best || score < worst) {
          const F threshold = ThresholdInfo<F>::get_less_than_threshold(entries[i - 1].first, entries[i].first);
          tracker.try_candidate(score,
                                NodeResult<F>(feature_index, threshold, task.cut_improvement(left, right, score)));
          best = tracker.get_maximum();
          worst = tracker.get_minimum();
        }
        ref = entries[i].second;
        changed = false;
      }
      left.increment_count(entries[i].second);
      right.decrement_count(entries[i].second);
    }
  }

  const double final_score = criterion.get_final_score(tracker.get_maximum(), node_value);
  NodeResult<F>& chosen = tracker.get_maximizer_for_update();
  chosen.best_improvement = task.reported_improvement(chosen.best_improvement, node, final_score);
  tracker.set_maximum(final_score);
  return tracker;
}

template <class Task, class DataSet>
class Splitter {
public:
  typedef typename DataSet::feature_type F;
  typedef typename DataSet::label_type L;
  typedef typename Task::template Summary<L> Summary;
  typedef IndexedDataSet<DataSet> Sample;
  typedef RangeDataSet<Sample> Range;

  explicit Splitter(const DataSet& data) : data(data), sample(&data) {}

  // The sample of the tree being grown; growth fills it, then the splitter
  // reorders it node by node.
  Sample& get_sample() { return sample; }
  Range range(std::size_t begin, std::size_t end) const { return Range(&sample, begin, end); }

  // The best split of the node [begin, end) of the sample, whose label
  // summary is `node`: the features are tried all in index order, or
  // fte_per_split of them drawn without repeats (draws go on past features
  // that are constant on the node, which do not count), each scanned once,
  // and the best kept, exact ties between features broken at random. The
  // default NodeResult (feature -1) when no feature could be evaluated.
  NodeResult<F> find_split(const Task& task, std::size_t begin, std::size_t end, const Summary& node,
                           int fte_per_split, XorShiftRNG& rng) {
    const std::size_t nf = data.get_num_features();
    const std::size_t fte =
        (fte_per_split >= 1 && static_cast<std::size_t>(fte_per_split) < nf) ? static_cast<std::size_t>(fte_per_split)
                                                                              : nf;
    if (fte < 1) return NodeResult<F>();
    const bool sampling = fte < nf;
    const std::size_t n = end - begin;
    chosen.assign(nf, 0);
    std::size_t num_chosen = 0, evaluated = 0, next_feature = 0;
    FeatureTracker<F> best_over_features;
    for (;;) {
      std::size_t f;
      if (sampling) {
        if (num_chosen == nf) break;
        do {
          f = static_cast<std::size_t>(rng.next_int(static_cast<std::int64_t>(nf)));
        } while (chosen[f]);
      } else {
        if (next_feature == nf) break;
        f = next_feature++;
      }
      chosen[f] = 1;
      ++num_chosen;
      if (n < 2 || is_constant(f, begin, end)) continue;

      sort_feature(f, begin, end);
      const FeatureTracker<F> best_for_feature =
          learn_tree_node(task, buffer.data() + begin, n, node, static_cast<int>(f), left, right);
      best_over_features.try_candidate_break_ties(best_for_feature.get_maximum(), best_for_feature.get_maximizer(),
                                                  rng);
      if (++evaluated == fte) break;
    }
    return best_over_features.is_initialized() ? best_over_features.get_maximizer() : NodeResult<F>();
  }

  // Reorders the node [begin, end) so that the instances whose value of
  // `feature` is below `threshold` come first; returns the first position of
  // the others (values at or above the threshold, and NaN).
  std::size_t partition(std::size_t begin, std::size_t end, std::size_t feature, double threshold) {
    const F* column = data.features[feature].data();
    const auto first = sample.indices.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto split = argpartition(column, first, sample.indices.begin() + static_cast<std::ptrdiff_t>(end),
                                    [threshold](F v) { return static_cast<double>(v) < threshold; });
    return begin + static_cast<std::size_t>(split - first);
  }

private:
  // True when every instance of the node has the value of its first one.
  bool is_constant(std::size_t f, std::size_t begin, std::size_t end) const {
    const F* column = data.features[f].data();
    const F first = column[sample.indices[begin]];
    for (std::size_t p = begin + 1; p < end; ++p) {
      if (column[sample.indices[p]] != first) return false;
    }
    return true;
  }

  // Fills the node's part of the buffer with feature f and the labels of its
  // instances, sorted by value.
  void sort_feature(std::size_t f, std::size_t begin, std::size_t end) {
    if (buffer.size() < sample.indices.size()) buffer.resize(sample.indices.size());
    const F* column = data.features[f].data();
    const L* labels = data.labels.data();
    for (std::size_t p = begin; p < end; ++p) {
      const std::size_t i = sample.indices[p];
      buffer[p] = std::pair<F, L>(column[i], labels[i]);
    }
    sorter.sort(buffer.data() + begin, buffer.data() + end);
  }

  const DataSet& data;
  Sample sample;
  std::vector<std::pair<F, L>> buffer;  // (value, label) of the sample's positions
  FlexiSort<F, L> sorter;
  std::vector<char> chosen;             // per feature: already drawn for this node
  Summary left, right;                  // the two sides of a scan
};

}  // namespace Sylvor

#endif
