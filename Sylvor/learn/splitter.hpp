// The split search of one node: the Splitter owns the working copy of a
// tree's sample (its index list, reordered node by node so that every node
// owns a contiguous slice), the (feature value, label) buffer with its sort
// scratch, and the per-node record of the features already drawn. For a
// node it samples the features to try, scans each one once over its sorted
// buffer (learn_tree_node) and returns the best cut as one NodeResult; then
// it partitions the node's slice around the chosen threshold.
//
// The sample's indices are put in ascending order before growth and every
// partition keeps the order on both sides, so each node's slice reads the
// data's columns front to back: on columns larger than the caches, reading
// them in drawn order would miss the cache on nearly every instance. The
// labels of the sample's instances are kept beside the index list, in its
// order, so that a node's features read their labels front to back instead
// of gathering them once per feature.
//
// Every random draw (feature sampling, exact ties between features) comes
// from the generator passed in, in a fixed order, so a node's split is a
// function of the sample, the options and the generator's state. A splitter
// belongs to the one thread that grows a tree; once its buffers have reached
// the sample's size it allocates nothing. The data set is only read.
#ifndef SYLVOR_LEARN_SPLITTER_HPP
#define SYLVOR_LEARN_SPLITTER_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <type_traits>
#include <utility>
#include <vector>

#include "Sylvor/dataset/index_dataset.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/criteria.hpp"
#include "Sylvor/learn/sort.hpp"
#include "Sylvor/learn/tracker.hpp"
#include "Sylvor/learn/value_ranks.hpp"

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

// Scores the cut between the adjacent distinct values `previous` and
// `current` with the sides' summaries, and offers it to the tracker when the
// score lies outside [worst, best] (only then can it change the tracker);
// best and worst follow the tracker.
// With `missing_left`, the candidate sends the node's missing values left
// (they are then counted in `left`).
template <class Task, class F, class Summary>
inline void score_cut(const Task& task, double node_value, const Summary& left, const Summary& right, F previous,
                      F current, int feature_index, FeatureTracker<F>& tracker, double& best, double& worst,
                      bool missing_left = false) {
  const double score = task.criterion(node_value, left, right);
  if (score > best || score < worst) {
    const F threshold = ThresholdInfo<F>::get_less_than_threshold(previous, current);
    NodeResult<F> candidate(feature_index, threshold, task.cut_improvement(left, right, score));
    candidate.missing_left = missing_left;
    tracker.try_candidate(score, candidate);
    best = tracker.get_maximum();
    worst = tracker.get_minimum();
  }
}

// The tracker of a feature once every cut is scored: its maximum becomes the
// criterion's final score and its maximizer's improvement what the task
// reports.
template <class Task, class F, class Summary>
inline FeatureTracker<F> finished(const Task& task, const Summary& node, double node_value,
                                  FeatureTracker<F>& tracker) {
  const double final_score = task.criterion.get_final_score(tracker.get_maximum(), node_value);
  NodeResult<F>& chosen = tracker.get_maximizer_for_update();
  chosen.best_improvement = task.reported_improvement(chosen.best_improvement, node, final_score);
  tracker.set_maximum(final_score);
  return tracker;
}

// The best cut of one feature of a node: `entries` are the node's n (value,
// label) pairs sorted by value, `node` the node's label summary, and `left`
// and `right` scratch summaries. Instances move one at a time from the
// right side to the left; a cut is scored only between two distinct values,
// only when it leaves at least `min_leaf` entries (at least 1) on each side,
// and only once a
// label differing from the label just after the previous scored cut has been
// seen, so runs of one label are never cut. Among equal
// scores the lowest threshold stays. The reported maximum is the criterion's
// final score (0 without a cut); the maximizer's improvement is what the
// task reports for importances. Without a cut the maximizer is the no-cut
// candidate at the feature's smallest value. With EveryValue, runs of one
// label are cut too: every cut between distinct values is scored (the
// levels of a categorical feature, whose best cut may lie in such a run
// when a level holds several labels).
template <bool EveryValue = false, class Task, class F, class L, class Summary>
FeatureTracker<F> learn_tree_node(const Task& task, const std::pair<F, L>* entries, std::size_t n,
                                  const Summary& node, int feature_index, Summary& left, Summary& right,
                                  std::size_t min_leaf = 2) {
  FeatureTracker<F> tracker;
  if (n == 0) return tracker;
  if (min_leaf < 1) min_leaf = 1;
  const auto& criterion = task.criterion;
  const double node_value = criterion.get_initial(node);
  const double start_score = criterion.get_initial_score(node_value);
  left.reset_like(node);
  right = node;

  tracker.try_candidate(start_score, NodeResult<F>(feature_index, entries[0].first, 0.0));
  left.increment_count(entries[0].second);
  right.decrement_count(entries[0].second);
  if (n >= 2 * min_leaf && entries[0].first != entries[n - 1].first) {
    // The bounds that a score must pass to change the tracker.
    double best = start_score;
    double worst = start_score;
    L ref = entries[0].second;
    bool changed = false;
    for (std::size_t i = 1; i < n; ++i) {
      if (!changed) changed = EveryValue || entries[i].second != ref;
      // Cuts that would leave fewer than min_leaf entries on a side are
      // passed over as if the two values were equal.
      if (changed && entries[i - 1].first != entries[i].first && i >= min_leaf && n - i >= min_leaf) {
        score_cut(task, node_value, left, right, entries[i - 1].first, entries[i].first, feature_index, tracker, best,
                  worst);
        ref = entries[i].second;
        changed = false;
      }
      left.increment_count(entries[i].second);
      right.decrement_count(entries[i].second);
    }
  }

  return finished(task, node, node_value, tracker);
}

// The summaries of a scan whose node holds missing values: the two sides
// of the present entries, and each side with the missing entries added.
template <class Summary>
struct MissingAsideSides {
  Summary left, right, left_with_missing, right_with_missing;

  // Starts with every present entry on the right; `present` and `missing`
  // summarize the node's present and missing entries, `node` all of them.
  void start(const Summary& node, const Summary& present, const Summary& missing) {
    left.reset_like(node);
    right = present;
    left_with_missing = missing;
    right_with_missing = node;
  }

  template <class L>
  void move_left(L label) {
    left.increment_count(label);
    right.decrement_count(label);
    left_with_missing.increment_count(label);
    right_with_missing.decrement_count(label);
  }
};

// Scores the cut between `previous` and `current` both ways, with the
// missing values on the left and on the right (each only where it leaves
// min_leaf entries on both sides: `left_ok`, `right_ok`), offering first
// the way that sends them to the side of more present entries, which thus
// keeps an exact tie.
template <class Task, class F, class Summary>
inline void score_cut_both_ways(const Task& task, double node_value, const MissingAsideSides<Summary>& sides,
                                bool prefer_left, bool left_ok, bool right_ok, F previous, F current,
                                int feature_index, FeatureTracker<F>& tracker, double& best, double& worst) {
  for (const bool missing_left : {prefer_left, !prefer_left}) {
    if (missing_left && left_ok) {
      score_cut(task, node_value, sides.left_with_missing, sides.right, previous, current, feature_index, tracker,
                best, worst, true);
    } else if (!missing_left && right_ok) {
      score_cut(task, node_value, sides.left, sides.right_with_missing, previous, current, feature_index, tracker,
                best, worst, false);
    }
  }
}

// learn_tree_node for a node whose entries of the feature include missing
// ones: `entries` are its n present (value, label) pairs sorted by value,
// `present` and `missing` the summaries of its present and missing entries,
// `node` of all. Every cut learn_tree_node would score is scored twice,
// with the missing entries added to either side (see score_cut_both_ways;
// a side's size counts them for min_leaf), and one more cut sends every
// present entry left and the missing ones right (threshold +infinity,
// scored when the present values are finite). The maximizer records the
// side of the missing values and that the node had some.
template <bool EveryValue = false, class Task, class F, class L, class Summary>
FeatureTracker<F> learn_tree_node_missing_aside(const Task& task, const std::pair<F, L>* entries, std::size_t n,
                                                const Summary& node, const Summary& present,
                                                const Summary& missing, int feature_index,
                                                MissingAsideSides<Summary>& sides, std::size_t min_leaf) {
  static_assert(std::is_floating_point<F>::value, "only floating features have missing values");
  FeatureTracker<F> tracker;
  if (min_leaf < 1) min_leaf = 1;
  const std::size_t m = static_cast<std::size_t>(missing.get_num_instances());
  const double node_value = task.criterion.get_initial(node);
  const double start_score = task.criterion.get_initial_score(node_value);
  sides.start(node, present, missing);
  tracker.try_candidate(start_score, NodeResult<F>(feature_index, entries[0].first, 0.0));
  sides.move_left(entries[0].second);
  if (n + m >= 2 * min_leaf) {
    double best = start_score, worst = start_score;
    L ref = entries[0].second;
    bool changed = false;
    for (std::size_t i = 1; i < n; ++i) {
      if (!changed) changed = EveryValue || entries[i].second != ref;
      const bool left_ok = i + m >= min_leaf && n - i >= min_leaf;
      const bool right_ok = i >= min_leaf && n - i + m >= min_leaf;
      if (changed && entries[i - 1].first != entries[i].first && (left_ok || right_ok)) {
        score_cut_both_ways(task, node_value, sides, i > n - i, left_ok, right_ok, entries[i - 1].first,
                            entries[i].first, feature_index, tracker, best, worst);
        ref = entries[i].second;
        changed = false;
      }
      sides.move_left(entries[i].second);
    }
    const F beyond = std::numeric_limits<F>::infinity();
    if (n >= min_leaf && m >= min_leaf && entries[n - 1].first < beyond) {
      score_cut(task, node_value, present, missing, beyond, beyond, feature_index, tracker, best, worst, false);
    }
  }
  FeatureTracker<F> result = finished(task, node, node_value, tracker);
  result.get_maximizer_for_update().missing_seen = true;
  return result;
}

// The counting form of learn_tree_node, for classification: the node's n
// entries are given as counts per (value rank, count slot), row r of `table`
// (slots entries) holding the counts of value values[r], over the ranks
// [low, high]. Entries of equal value are taken in ascending label order,
// the order of the label-ordered sort, so the tracker is exactly the one
// learn_tree_node gives for the node's sorted entries: the same cuts scored
// with the same counts, the same reference label and changed flag at every
// group of equal values. Leaves the rows [low, high] zero.
template <class Task, class F, class Summary>
FeatureTracker<F> learn_tree_node_counted(const Task& task, const F* values, std::uint32_t* table,
                                          std::size_t slots, std::size_t low, std::size_t high, std::size_t n,
                                          const Summary& node, int feature_index, Summary& left, Summary& right,
                                          std::size_t min_leaf = 2) {
  FeatureTracker<F> tracker;
  if (min_leaf < 1) min_leaf = 1;
  const auto total_of = [slots](const std::uint32_t* row) { return std::accumulate(row, row + slots, 0u); };
  const auto first_slot = [](const std::uint32_t* row) {  // of a row holding a count
    std::size_t s = 0;
    while (row[s] == 0) ++s;
    return s;
  };
  const auto& criterion = task.criterion;
  const double node_value = criterion.get_initial(node);
  const double start_score = criterion.get_initial_score(node_value);
  left.reset_like(node);
  right = node;

  std::uint32_t* row = table + low * slots;
  std::size_t ref = first_slot(row);
  tracker.try_candidate(start_score, NodeResult<F>(feature_index, values[low], 0.0));
  std::uint32_t total = total_of(row);
  // The rest of the first group: changed when it holds another label.
  bool changed = total > row[ref];
  std::size_t position = total;
  F previous = values[low];
  left.move_row(right, row);
  if (n >= 2 * min_leaf && low != high) {
    double best = start_score;
    double worst = start_score;
    for (std::size_t r = low + 1; r <= high; ++r) {
      row = table + r * slots;
      total = total_of(row);
      if (total == 0) continue;
      const std::size_t group_first = first_slot(row);
      if (!changed) changed = group_first != ref;
      if (changed && position >= min_leaf && n - position >= min_leaf) {
        score_cut(task, node_value, left, right, previous, values[r], feature_index, tracker, best, worst);
        ref = group_first;
        changed = false;
      }
      if (!changed) {
        // The group after its first entry holds a label other than ref.
        const std::uint32_t of_ref = row[ref] - (ref == group_first ? 1 : 0);
        changed = total - 1 > of_ref;
      }
      position += total;
      previous = values[r];
      left.move_row(right, row);
    }
  } else {
    std::fill(table + (low + 1) * slots, table + (high + 1) * slots, 0u);
  }

  return finished(task, node, node_value, tracker);
}

// True when counting a node of n entries over `ranks` distinct values and
// `slots` label slots costs less than sorting them. Measured (the ranked
// node benchmark of bench/buffer_sort.cpp): buffering, sorting and scanning
// cost about 12 ns per entry; counting about 3 ns per entry, 0.4 ns per rank
// walked and 1.4 ns per slot of each value met (at most min(n, ranks)).
inline bool counting_scan_pays(std::size_t n, std::size_t ranks, std::size_t slots) {
  return 2 * ranks + 7 * slots * std::min(n, ranks) <= 45 * n;
}

// The ranks a classification forest counts with (none for regression): the
// features of at most one distinct value per 8 instances, the others being
// counted at the top nodes only and left to the sort.
template <class Task, class DataSet>
ValueRanks<typename DataSet::feature_type> rank_features(const DataSet& data) {
  typedef typename DataSet::label_type L;
  if constexpr (!Task::is_regression && std::is_integral<L>::value) {
    return ValueRanks<typename DataSet::feature_type>(data, data.get_num_instances() / 8, data.get_num_classes() + 2,
                                                      &NominalLabelPriorAccumulator<L>::slot_of);
  } else {
    return ValueRanks<typename DataSet::feature_type>();
  }
}

// When the nodes of ranked features are counted rather than sorted.
enum class NodeCounting { Never, WherePays, Always };

template <class Task, class DataSet>
class Splitter {
public:
  typedef typename DataSet::feature_type F;
  typedef typename DataSet::label_type L;
  typedef typename Task::template Summary<L> Summary;
  typedef IndexedDataSet<DataSet> Sample;

  // The counting scan serves classification by class numbers.
  static constexpr bool counts_labels = !Task::is_regression && std::is_integral<L>::value;

  // With `ranks` (of `data`), classification counts the nodes of ranked
  // features instead of sorting them where that pays; a sorted node takes
  // its entries in the same order (equal values by ascending label), so
  // that either way it takes the same split.
  explicit Splitter(const DataSet& data, const ValueRanks<F>* ranks = nullptr)
      : data(data), sample(&data), ranks(ranks) {}

  // Whether nodes of ranked features are counted where that pays (the
  // default), never or always; the splits are the same either way.
  void set_counting(NodeCounting when) { counting = when; }

  // The sample of the tree being grown; growth fills it, then the splitter
  // reorders it node by node. Handing it out for change makes the splitter
  // gather the sample's labels again before its next search.
  Sample& get_sample() {
    labels_ready = false;
    return sample;
  }

  // The labels of the node [begin, end) of the sample, in its order: what a
  // task summarizes a node from.
  class NodeLabels {
  public:
    typedef L label_type;
    NodeLabels(const DataSet& data, const L* labels, std::size_t n) : data(data), labels(labels), n(n) {}
    std::size_t get_num_instances() const { return n; }
    std::size_t get_num_classes() const { return data.get_num_classes(); }
    LabelingType get_labeling() const { return data.get_labeling(); }
    const L& get_label(std::size_t k) const { return labels[k]; }

  private:
    const DataSet& data;
    const L* labels;
    std::size_t n;
  };

  NodeLabels node_labels(std::size_t begin, std::size_t end) {
    if (!labels_ready) gather_sample_labels();
    return NodeLabels(data, sample_labels.data() + begin, end - begin);
  }

  // The best split of the node [begin, end) of the sample, whose label
  // summary is `node`: the features are tried all in index order, or
  // fte_per_split of them drawn without repeats (draws go on past features
  // that are constant on the node, which do not count), each scanned once,
  // and the best kept, exact ties between features broken at random. Only
  // cuts leaving at least min_leaf instances on each side are scored. With
  // `missing_aside`, missing values (NaN) are kept aside and sent to the
  // better side of each cut (see learn_tree_node_missing_aside). With
  // `levels`, feature f is categorical when levels[f] (its number of
  // levels) is positive: its levels are ordered (see order_levels) and cut
  // like a number, their missing values always kept aside; the result's
  // threshold then cuts the ranks (see left_levels). The default
  // NodeResult (feature -1) when no feature could be evaluated.
  NodeResult<F> find_split(const Task& task, std::size_t begin, std::size_t end, const Summary& node,
                           int fte_per_split, XorShiftRNG& rng, std::size_t min_leaf = 2,
                           bool missing_aside = false, const std::vector<std::uint32_t>* levels = nullptr) {
    const std::size_t nf = data.get_num_features();
    const std::size_t fte =
        (fte_per_split >= 1 && static_cast<std::size_t>(fte_per_split) < nf) ? static_cast<std::size_t>(fte_per_split)
                                                                              : nf;
    if (fte < 1) return NodeResult<F>();
    if (!labels_ready) gather_sample_labels();
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
      if (n < 2) continue;
      FeatureTracker<F> best_for_feature;
      const RankedFeature<F>* ranked = nullptr;
      bool counted = false;
      const bool categorical = levels != nullptr && f < levels->size() && (*levels)[f] > 0;
      if constexpr (counts_labels) {
        const std::size_t slots = node.get_num_classes() + 2;
        // A categorical feature's levels are ordered at each node: never counted as numbers.
        if (ranks != nullptr && ranks->get_slots() == slots && !categorical) ranked = ranks->of(f);
        if (ranked != nullptr && counting != NodeCounting::Never &&
            (counting == NodeCounting::Always || counting_scan_pays(n, ranked->values.size(), slots))) {
          std::size_t low = 0, high = 0;
          if (!count_feature(*ranked, slots, begin, end, low, high)) continue;  // constant
          best_for_feature = learn_tree_node_counted(task, ranked->values.data(), table.data(), slots, low, high, n,
                                                     node, static_cast<int>(f), left, right, min_leaf);
          counted = true;
        }
      }
      if (!counted) {
        if (is_constant(f, begin, end)) continue;
        best_for_feature = categorical ? scan_levels(task, f, begin, end, node, min_leaf)
                                       : scan_sorted(task, f, begin, end, node, min_leaf, missing_aside);
      }
      best_over_features.try_candidate_break_ties(best_for_feature.get_maximum(), best_for_feature.get_maximizer(),
                                                  rng);
      if (++evaluated == fte) break;
    }
    return best_over_features.is_initialized() ? best_over_features.get_maximizer() : NodeResult<F>();
  }

  // Puts the sample's indices in ascending order (the same instances, so
  // the same tree for classification, whose counts do not depend on order).
  // A sample of at least one instance per 8 of the data is counted out in
  // one pass over a byte per instance; a smaller one, or one holding an
  // instance 255 times or more, is sorted.
  void order_sample() {
    sort_sample_indices();
    gather_sample_labels();
  }

  // Reorders the node [begin, end) so that the instances whose value of
  // `feature` is below `threshold` (and, with `missing_left`, those whose
  // value is missing) come first, each side keeping its order; returns the
  // first position of the others.
  std::size_t partition(std::size_t begin, std::size_t end, std::size_t feature, double threshold,
                        bool missing_left = false) {
    return partition_by(begin, end, feature, [threshold, missing_left](double x) {
      return x < threshold || (missing_left && x != x);
    });
  }

  // The levels of categorical feature f that go left at the node [begin,
  // end) under a split whose threshold cuts their ranks (as find_split
  // ordered them), ascending.
  std::vector<std::uint32_t> left_levels(std::size_t f, std::size_t begin, std::size_t end, double threshold) {
    if (!labels_ready) gather_sample_labels();
    order_levels(f, begin, end);
    std::vector<std::uint32_t> chosen_levels;
    for (std::size_t r = 0; r < ordered_levels.size(); ++r) {
      if (static_cast<double>(r) < threshold) chosen_levels.push_back(ordered_levels[r]);
    }
    std::sort(chosen_levels.begin(), chosen_levels.end());
    return chosen_levels;
  }

  // Reorders the node [begin, end) so that the instances whose level of
  // categorical feature f is one of `left` (ascending), or is missing when
  // `missing_left`, come first, each side keeping its order; returns the
  // first position of the others.
  std::size_t partition_levels(std::size_t begin, std::size_t end, std::size_t f,
                               const std::vector<std::uint32_t>& left, bool missing_left) {
    return partition_by(begin, end, f, [&left, missing_left](double x) {
      if (x != x) return missing_left;
      return std::binary_search(left.begin(), left.end(), static_cast<std::uint32_t>(x));
    });
  }

private:
  // Reorders the node [begin, end) so that the instances whose value of
  // `feature` (widened to double) goes_left come first, each side keeping
  // its order; returns the first position of the others.
  template <class GoesLeft>
  std::size_t partition_by(std::size_t begin, std::size_t end, std::size_t feature, GoesLeft goes_left) {
    if (!labels_ready) gather_sample_labels();
    const F* column = data.features[feature].data();
    std::size_t* indices = sample.indices.data();
    L* labels = sample_labels.data();
    if (upper_indices.size() < end - begin) {
      upper_indices.resize(sample.indices.size());
      upper_labels.resize(sample.indices.size());
    }
    std::size_t* upper = upper_indices.data();
    L* upper_label = upper_labels.data();
    std::size_t below = begin, above = 0;
    for (std::size_t p = begin; p < end; ++p) {
      if (p + prefetch_ahead < end) __builtin_prefetch(column + indices[p + prefetch_ahead]);
      // Written to both sides, kept by one: no branch to mispredict.
      const std::size_t i = indices[p];
      const L label = labels[p];
      const bool is_below = goes_left(static_cast<double>(column[i]));
      indices[below] = i;
      labels[below] = label;
      upper[above] = i;
      upper_label[above] = label;
      below += is_below;
      above += !is_below;
    }
    std::copy(upper, upper + above, indices + below);
    std::copy(upper_label, upper_label + above, labels + below);
    return below;
  }

  // The values of a large node lie far apart in a column: reading one, the
  // loops ask for the value this many entries ahead, so that their cache
  // misses overlap.
  static constexpr std::size_t prefetch_ahead = 32;

  void sort_sample_indices() {
    std::vector<std::size_t>& indices = sample.indices;
    const std::size_t n = data.get_num_instances();
    if (indices.size() < 2) return;
    if (indices.size() >= n / 8) {
      copies.assign(n, 0);
      bool overflow = false;
      for (const std::size_t i : indices) overflow |= ++copies[i] == 255;
      if (!overflow) {
        std::size_t p = 0;
        for (std::size_t i = 0; i < n; ++i) {
          for (unsigned c = copies[i]; c > 0; --c) indices[p++] = i;
        }
        return;
      }
    }
    std::sort(indices.begin(), indices.end());
  }

  void gather_sample_labels() {
    sample_labels.resize(sample.indices.size());
    for (std::size_t p = 0; p < sample.indices.size(); ++p) sample_labels[p] = data.labels[sample.indices[p]];
    labels_ready = true;
  }

  // Counts the node's entries of a ranked feature per (rank, slot) into the
  // table, and gives the lowest and highest rank met; false (the table left
  // zero) when they are equal, the feature being constant on the node.
  bool count_feature(const RankedFeature<F>& ranked, std::size_t slots, std::size_t begin, std::size_t end,
                     std::size_t& low, std::size_t& high) {
    const std::size_t cells = ranked.values.size() * slots;
    if (table.size() < cells) table.resize(cells, 0);
    const std::uint16_t* cell = ranked.cell.data();
    std::uint32_t* counts = table.data();
    std::size_t lowest = cells, highest = 0;
    for (std::size_t p = begin; p < end; ++p) {
      const std::size_t c = cell[sample.indices[p]];
      ++counts[c];
      lowest = std::min(lowest, c);
      highest = std::max(highest, c);
    }
    low = lowest / slots;
    high = highest / slots;
    if (low != high) return true;
    std::fill(counts + low * slots, counts + (low + 1) * slots, 0u);
    return false;
  }

  // True when every instance of the node has the value of its first one
  // (every value missing counts as one value).
  bool is_constant(std::size_t f, std::size_t begin, std::size_t end) const {
    const F* column = data.features[f].data();
    const F first = column[sample.indices[begin]];
    for (std::size_t p = begin + 1; p < end; ++p) {
      const F v = column[sample.indices[p]];
      if (v != first && !(v != v && first != first)) return false;
    }
    return true;
  }

  // The sorting scan of feature f over the node [begin, end), not constant
  // on it; with `missing_aside`, its missing values kept aside.
  FeatureTracker<F> scan_sorted(const Task& task, std::size_t f, std::size_t begin, std::size_t end,
                                const Summary& node, std::size_t min_leaf, bool missing_aside) {
    const int feature = static_cast<int>(f);
    if constexpr (std::is_floating_point<F>::value) {
      if (missing_aside) {
        const std::size_t present = buffer_present(f, begin, end, node);
        std::pair<F, L>* entries = buffer.data() + begin;
        sorter.sort(entries, entries + present);
        if (present < end - begin) {
          present_summary.reset_like(node);
          for (std::size_t k = 0; k < present; ++k) present_summary.increment_count(entries[k].second);
          return learn_tree_node_missing_aside(task, entries, present, node, present_summary, missing_summary,
                                               feature, missing_sides, min_leaf);
        }
        return learn_tree_node(task, entries, present, node, feature, left, right, min_leaf);
      }
    }
    sort_feature(f, begin, end);
    return learn_tree_node(task, buffer.data() + begin, end - begin, node, feature, left, right, min_leaf);
  }

  // The scan of categorical feature f over the node [begin, end), not
  // constant on it: its levels ordered (see order_levels), the entries'
  // ranks scanned as values, the missing entries kept aside.
  FeatureTracker<F> scan_levels(const Task& task, std::size_t f, std::size_t begin, std::size_t end,
                                const Summary& node, std::size_t min_leaf) {
    order_levels(f, begin, end);
    if (buffer.size() < sample.indices.size()) buffer.resize(sample.indices.size());
    missing_summary.reset_like(node);
    const F* column = data.features[f].data();
    const std::size_t* indices = sample.indices.data();
    std::pair<F, L>* entries = buffer.data() + begin;
    std::size_t present = 0;
    for (std::size_t p = begin; p < end; ++p) {
      const F v = column[indices[p]];
      if (v != v) {
        missing_summary.increment_count(sample_labels[p]);
      } else {
        entries[present++] = std::pair<F, L>(static_cast<F>(level_rank[static_cast<std::size_t>(v)]), sample_labels[p]);
      }
    }
    sorter.sort(entries, entries + present);
    if constexpr (std::is_floating_point<F>::value) {
      if (present < end - begin) {
        present_summary.reset_like(node);
        for (std::size_t k = 0; k < present; ++k) present_summary.increment_count(entries[k].second);
        return learn_tree_node_missing_aside<true>(task, entries, present, node, present_summary, missing_summary,
                                                   static_cast<int>(f), missing_sides, min_leaf);
      }
    }
    return learn_tree_node<true>(task, entries, present, node, static_cast<int>(f), left, right, min_leaf);
  }

  // Orders the levels of categorical feature f present at the node [begin,
  // end) into ordered_levels, and gives each its rank in level_rank. The
  // order is that of a key per level, equal keys by level: for regression
  // the mean target, for two classes the share of the second class (these
  // orders hold the best partition of the levels for the variance, Gini
  // and entropy: Fisher 1958, Breiman et al. 1984); for more classes the
  // projection of the level's class shares on their first principal
  // component, weighted by the levels' counts (Coppersmith, Hong and
  // Hosking 1999), a heuristic.
  void order_levels(std::size_t f, std::size_t begin, std::size_t end) {
    const F* column = data.features[f].data();
    const std::size_t* indices = sample.indices.data();
    const std::size_t slots = Task::is_regression ? 1 : data.get_num_classes() + 2;
    ordered_levels.clear();
    for (std::size_t p = begin; p < end; ++p) {
      const F v = column[indices[p]];
      if (v != v) continue;
      const std::size_t c = static_cast<std::size_t>(v);
      if (level_count.size() <= c) grow_level_tables(c + 1, slots);
      if (level_count[c]++ == 0) ordered_levels.push_back(static_cast<std::uint32_t>(c));
      if constexpr (Task::is_regression) {
        level_sums[c] += static_cast<double>(sample_labels[p]);
      } else {
        ++level_sums[c * slots + NominalLabelPriorAccumulator<L>::slot_of(sample_labels[p])];
      }
    }
    level_keys(slots);
    std::sort(ordered_levels.begin(), ordered_levels.end(), [this](std::uint32_t a, std::uint32_t b) {
      return level_key[a] < level_key[b] || (level_key[a] == level_key[b] && a < b);
    });
    for (std::size_t r = 0; r < ordered_levels.size(); ++r) {
      const std::uint32_t c = ordered_levels[r];
      level_rank[c] = static_cast<std::uint32_t>(r);
      level_count[c] = 0;
      std::fill(level_sums.begin() + static_cast<std::ptrdiff_t>(c * slots),
                level_sums.begin() + static_cast<std::ptrdiff_t>((c + 1) * slots), 0.0);
    }
  }

  // The key of each level in ordered_levels, from its count and its sums
  // (per slot for classification).
  void level_keys(std::size_t slots) {
    if (Task::is_regression || slots <= 4) {
      // The mean target, or the share of the second class (slot 2).
      const std::size_t at = Task::is_regression ? 0 : 2;
      for (const std::uint32_t c : ordered_levels) {
        level_key[c] = level_sums[c * slots + at] / static_cast<double>(level_count[c]);
      }
      return;
    }
    const std::vector<double>& component = principal_component(slots);
    for (const std::uint32_t c : ordered_levels) {
      double key = 0.0;
      for (std::size_t s = 0; s < slots; ++s) key += component[s] * level_sums[c * slots + s];
      level_key[c] = key / static_cast<double>(level_count[c]);
    }
  }

  // The first principal component of the levels' class shares, each level
  // weighted by its count, by power iteration from a fixed start; kept in
  // the splitter's own buffers, so that nodes allocate nothing.
  const std::vector<double>& principal_component(std::size_t slots) {
    std::vector<double>& mean = component_scratch.mean;
    std::vector<double>& covariance = component_scratch.covariance;
    std::vector<double>& v = component_scratch.vector;
    std::vector<double>& next = component_scratch.next;
    mean.assign(slots, 0.0);
    covariance.assign(slots * slots, 0.0);
    double total = 0.0;
    for (const std::uint32_t c : ordered_levels) {
      for (std::size_t s = 0; s < slots; ++s) mean[s] += level_sums[c * slots + s];
      total += static_cast<double>(level_count[c]);
    }
    for (double& m : mean) m /= total;
    for (const std::uint32_t c : ordered_levels) {
      const double n = static_cast<double>(level_count[c]);
      for (std::size_t s = 0; s < slots; ++s) {
        const double ds = level_sums[c * slots + s] / n - mean[s];
        for (std::size_t t = 0; t < slots; ++t) covariance[s * slots + t] += n * ds * (level_sums[c * slots + t] / n - mean[t]);
      }
    }
    v.resize(slots);
    next.resize(slots);
    for (std::size_t s = 0; s < slots; ++s) v[s] = 1.0 + static_cast<double>(s);
    for (int iteration = 0; iteration < 40; ++iteration) {
      double norm = 0.0;
      for (std::size_t s = 0; s < slots; ++s) {
        next[s] = 0.0;
        for (std::size_t t = 0; t < slots; ++t) next[s] += covariance[s * slots + t] * v[t];
        norm += next[s] * next[s];
      }
      if (!(norm > 0.0)) break;  // the levels' shares are all alike: any order is as good
      norm = std::sqrt(norm);
      for (std::size_t s = 0; s < slots; ++s) v[s] = next[s] / norm;
    }
    return v;
  }

  void grow_level_tables(std::size_t levels, std::size_t slots) {
    level_count.resize(levels, 0);
    level_sums.resize(levels * slots, 0.0);
    level_key.resize(levels, 0.0);
    level_rank.resize(levels, 0);
  }

  // Fills the front of the node's slice of the buffer with the present
  // (value, label) pairs of feature f, unsorted, and missing_summary with
  // the labels of the missing ones; returns the number present.
  std::size_t buffer_present(std::size_t f, std::size_t begin, std::size_t end, const Summary& node) {
    if (buffer.size() < sample.indices.size()) buffer.resize(sample.indices.size());
    missing_summary.reset_like(node);
    const F* column = data.features[f].data();
    const std::size_t* indices = sample.indices.data();
    std::size_t q = begin;
    for (std::size_t p = begin; p < end; ++p) {
      if (p + prefetch_ahead < end) __builtin_prefetch(column + indices[p + prefetch_ahead]);
      const F v = column[indices[p]];
      if (v != v) {
        missing_summary.increment_count(sample_labels[p]);
      } else {
        buffer[q++] = std::pair<F, L>(without_negative_zero(v), sample_labels[p]);
      }
    }
    return q - begin;
  }

  // Fills the node's slice of the buffer with feature f and the labels of its
  // instances, sorted by value and equal values by ascending label: the
  // order the counting scan takes them in, and one that depends on the
  // node's entries alone.
  void sort_feature(std::size_t f, std::size_t begin, std::size_t end) {
    if (buffer.size() < sample.indices.size()) buffer.resize(sample.indices.size());
    const F* column = data.features[f].data();
    const std::size_t* indices = sample.indices.data();
    std::size_t p = begin;
    for (; p + prefetch_ahead < end; ++p) {
      __builtin_prefetch(column + indices[p + prefetch_ahead]);
      buffer[p] = std::pair<F, L>(without_negative_zero(column[indices[p]]), sample_labels[p]);
    }
    for (; p < end; ++p) buffer[p] = std::pair<F, L>(without_negative_zero(column[indices[p]]), sample_labels[p]);
    sorter.sort(buffer.data() + begin, buffer.data() + end);
  }

  const DataSet& data;
  Sample sample;
  std::vector<std::pair<F, L>> buffer;  // (value, label) of the sample's positions
  FlexiSort<F, L> sorter;
  const ValueRanks<F>* ranks;           // of `data`, or null: sort every feature
  NodeCounting counting = NodeCounting::WherePays;
  std::vector<std::uint32_t> table;     // counting scan: counts per (rank, slot), zero between uses
  std::vector<char> chosen;             // per feature: already drawn for this node
  std::vector<L> sample_labels;         // the label of each instance of the sample, in its order
  bool labels_ready = false;            // sample_labels matches the sample
  std::vector<std::size_t> upper_indices;  // partition: the upper side, until copied back
  std::vector<L> upper_labels;
  std::vector<std::uint8_t> copies;     // order_sample: per instance, its copies in the sample
  Summary left, right;                  // the two sides of a scan
  Summary present_summary, missing_summary;  // a node's present and missing entries of a feature
  MissingAsideSides<Summary> missing_sides;  // the sides of a scan with missing entries aside
  // Categorical features: the levels present at a node in rank order, and
  // per level its count and sums (zero between uses), key and rank.
  std::vector<std::uint32_t> ordered_levels;
  std::vector<std::size_t> level_count;
  std::vector<double> level_sums;
  std::vector<double> level_key;
  std::vector<std::uint32_t> level_rank;
  struct {
    std::vector<double> mean, covariance, vector, next;
  } component_scratch;  // principal_component's buffers
};

}  // namespace Sylvor

#endif
