// Label summaries and split criteria of the split search.
//
// NominalLabelPriorAccumulator counts class labels (class c at index c + 1,
// so the classes -1 .. nc fit in nc + 2 entries) and keeps the running sum
// of squared counts, so moving one instance costs O(1).
// RegressiveLabelPriorAccumulator keeps count, mean and M2 of real labels by
// Welford's update. The criteria are stateless: they turn a node's summary
// and two side summaries into scores, larger being better. All are plain
// values used by the one thread that grows a tree.
#ifndef SYLVOR_LEARN_CRITERIA_HPP
#define SYLVOR_LEARN_CRITERIA_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/tracker.hpp"

namespace Sylvor {

// a / b, or 0 when the count b is 0.
inline double ratio_or_zero(double a, double b) { return b == 0 ? 0.0 : a / b; }

template <class L>
class NominalLabelPriorAccumulator {
public:
  typedef L label_type;

  // nc classes: nc + 2 zero counts.
  void set_num_classes(std::size_t nc) {
    counts.assign(nc + 2, 0);
    total_count = 0;
    sum_squared = 0;
  }
  // Empty, with the classes and labeling of `other`.
  void reset_like(const NominalLabelPriorAccumulator& other) {
    set_num_classes(other.get_num_classes());
    ltype = other.ltype;
  }
  void set_labeling(LabelingType type) { ltype = type; }
  LabelingType get_labeling() const { return ltype; }

  // The count slot of a class label: c + 1 (a floating label + 1.0, truncated).
  static std::size_t slot_of(L label) {
    if constexpr (std::is_floating_point<L>::value) {
      return static_cast<std::size_t>(static_cast<long>(label + 1.0));
    } else {
      return static_cast<std::size_t>(static_cast<long>(label) + 1);
    }
  }

  // Counts every instance of a range (anything with get_num_instances and
  // get_label(k)), then recomputes the sum of squared counts.
  template <class Range>
  void add_count(const Range& range) {
    const std::size_t n = range.get_num_instances();
    for (std::size_t k = 0; k < n; ++k) ++counts[slot_of(range.get_label(k))];
    total_count += n;
    sum_squared = 0;
    for (const long c : counts) sum_squared += c * c;
  }

  void increment_count(L label) {
    long& count = counts[slot_of(label)];
    sum_squared += 2 * count + 1;
    ++count;
    ++total_count;
  }

  void decrement_count(L label) {
    long& count = counts[slot_of(label)];
    --count;
    sum_squared -= 2 * count + 1;
    --total_count;
  }

  // Moves the counts of `row` (one per slot) from `from` to this
  // accumulator, as single increments and decrements would, and clears the
  // row.
  void move_row(NominalLabelPriorAccumulator& from, std::uint32_t* row) {
    long moved = 0, squares_here = 0, squares_there = 0;
    for (std::size_t s = 0; s < counts.size(); ++s) {
      const long k = row[s];
      squares_here += k * (2 * counts[s] + k);
      counts[s] += k;
      from.counts[s] -= k;
      squares_there += k * (2 * from.counts[s] + k);
      moved += k;
      row[s] = 0;
    }
    sum_squared += squares_here;
    from.sum_squared -= squares_there;
    total_count += static_cast<std::size_t>(moved);
    from.total_count -= static_cast<std::size_t>(moved);
  }

  std::size_t get_num_classes() const { return counts.size() - 2; }
  std::size_t get_num_instances() const { return total_count; }
  std::size_t get_total_count() const { return total_count; }
  long get_sum_squared() const { return sum_squared; }
  const std::vector<long>& get_counts() const { return counts; }
  // The count of class c.
  long operator[](long c) const { return counts[static_cast<std::size_t>(c + 1)]; }

  // The most frequent class and its count. Classes are scanned from 0 with
  // DiscreteZeroOnward labeling, from -1 otherwise; each exact tie with the
  // best so far draws once from `rng` and takes over with probability
  // 1 / (number tied). Throws EmptyTrackerException with nothing to scan.
  std::pair<L, long> get_prediction(XorShiftRNG& rng) const {
    const std::size_t first = ltype == DiscreteZeroOnward ? 1 : 0;
    if (counts.size() <= first) throw EmptyTrackerException();
    std::size_t best = first;
    int ties = 1;
    for (std::size_t i = first + 1; i < counts.size(); ++i) {
      if (counts[i] > counts[best]) {
        best = i;
        ties = 1;
      } else if (counts[i] == counts[best]) {
        ++ties;
        if (reservoir_replaces(ties, rng)) best = i;
      }
    }
    return {static_cast<L>(static_cast<long>(best) - 1), counts[best]};
  }

private:
  std::vector<long> counts;
  std::size_t total_count = 0;
  LabelingType ltype = DiscreteZeroOnward;
  long sum_squared = 0;
};

// The entropy in bits of an accumulator's class distribution.
template <class L>
double compute_entropy(const NominalLabelPriorAccumulator<L>& acc) {
  const std::size_t total = acc.get_total_count();
  if (total == 0) return 0.0;
  const std::vector<long>& counts = acc.get_counts();
  auto two_classes = [](long a, long b) {
    if (a == 0 || b == 0) return 0.0;
    const double sum = static_cast<double>(a + b);
    const double p = static_cast<double>(a) / sum;
    const double q = static_cast<double>(b) / sum;
    return -(p * std::log2(p) + q * std::log2(q));
  };
  double entropy = 0.0;
  switch (acc.get_labeling()) {
    case PlusOneMinusOne:
      entropy = two_classes(counts[0], counts[2]);
      break;
    case DiscreteZeroOnward:
      if (counts.size() == 4) {
        entropy = two_classes(counts[1], counts[2]);
      } else if (counts.size() >= 5) {
        double sum = 0.0;
        for (std::size_t i = 1; i + 1 < counts.size(); ++i) {
          if (counts[i] == 0) continue;
          const double p = static_cast<double>(counts[i]) / static_cast<double>(total);
          sum += p * std::log2(p);
        }
        entropy = -sum;
      }
      break;
    case Regression:
      break;
  }
  return entropy == 0.0 ? 0.0 : entropy;  // no negative zero
}

template <class L = double>
class RegressiveLabelPriorAccumulator {
public:
  typedef L label_type;

  void initialize() {
    n = 0;
    M2 = mean = 0.0;
  }
  void reset_like(const RegressiveLabelPriorAccumulator&) { initialize(); }

  // Welford's update over the labels of a range in order.
  template <class Range>
  void add_count(const Range& range) {
    const std::size_t size = range.get_num_instances();
    for (std::size_t k = 0; k < size; ++k) increment_count(range.get_label(k));
  }

  // Adds one label by Welford's update (the first label sets the mean).
  void increment_count(L label) {
    const double y = static_cast<double>(label);
    ++n;
    if (n == 1) {
      mean = y;
    } else {
      const double d = y - mean;
      mean += d / static_cast<double>(n);
      M2 += (y - mean) * d;
    }
  }

  // Removes one label, the exact inverse of Welford's update: the mean of
  // the n - 1 labels left, and M2 less (y - old mean)(y - new mean), never
  // below 0 (rounding could take it there). The last label leaves zeros.
  void decrement_count(L label) {
    const double y = static_cast<double>(label);
    --n;
    if (n <= 0) {
      n = 0;
      M2 = mean = 0.0;
      return;
    }
    const double old_mean = mean;
    mean -= (y - old_mean) / static_cast<double>(n);
    M2 -= (y - old_mean) * (y - mean);
    if (!(M2 > 0.0)) M2 = 0.0;
  }

  double get_mean() const { return mean; }
  // The population variance M2 / n (0 without labels), worked out when
  // asked: the scan moves labels one by one but reads variances only at its
  // cuts.
  double get_variance() const { return n > 0 ? M2 / static_cast<double>(n) : 0.0; }
  long get_num_instances() const { return n; }

private:
  long n = 0;
  double M2 = 0.0;
  double mean = 0.0;
};

// Weights of the two sides: n_l / (n_l + n_r) and n_r / (n_l + n_r).
inline std::pair<double, double> side_weights(double nl, double nr) {
  return {ratio_or_zero(nl, nl + nr), ratio_or_zero(nr, nl + nr)};
}

// p_l I(left) + p_r I(right): the criterion's impurity of the two sides,
// weighted by their sizes.
template <class Criterion, class Acc>
double weighted_impurity(const Criterion& criterion, const Acc& left, const Acc& right) {
  const auto [pl, pr] = side_weights(static_cast<double>(left.get_num_instances()),
                                     static_cast<double>(right.get_num_instances()));
  return pl * criterion.get_impurity(left) + pr * criterion.get_impurity(right);
}

// Maximises the sum of squared-count ratios of the sides, that is N times
// the decrease of the weighted Gini impurity.
struct TwoSplitGiniImpurity {
  template <class Acc>
  double get_impurity(const Acc& acc) const {
    return ratio_or_zero(static_cast<double>(acc.get_sum_squared()),
                         static_cast<double>(acc.get_total_count()));
  }
  template <class Acc>
  double get_impurity(const Acc& left, const Acc& right) const {
    return get_impurity(left) + get_impurity(right);
  }
  template <class Acc>
  double get_initial(const Acc& prior) const { return get_impurity(prior); }
  double get_initial_score(double node_value) const { return node_value; }
  template <class Acc>
  double operator()(double, const Acc& left, const Acc& right) const {
    return get_impurity(left, right);
  }
  double get_final_score(double best, double node_value) const { return best - node_value; }
};

// Maximises the information gain H - (p_l H_l + p_r H_r).
struct TwoSplitInfoGain {
  template <class Acc>
  double get_impurity(const Acc& acc) const { return compute_entropy(acc); }
  template <class Acc>
  double get_impurity(const Acc& left, const Acc& right) const {
    return weighted_impurity(*this, left, right);
  }
  template <class Acc>
  double get_initial(const Acc& prior) const { return get_impurity(prior); }
  double get_initial_score(double) const { return 0.0; }
  template <class Acc>
  double operator()(double node_entropy, const Acc& left, const Acc& right) const {
    return node_entropy - get_impurity(left, right);
  }
  double get_final_score(double best, double) const { return best; }
};

// Maximises the information gain divided by the split information
// -(p_l log2 p_l + p_r log2 p_r).
struct TwoSplitGainRatio : TwoSplitInfoGain {
  template <class Acc>
  double operator()(double node_entropy, const Acc& left, const Acc& right) const {
    const auto [pl, pr] = side_weights(static_cast<double>(left.get_total_count()),
                                       static_cast<double>(right.get_total_count()));
    const double gain = TwoSplitInfoGain::operator()(node_entropy, left, right);
    const double split_information =
        -((pl == 0 ? 0.0 : pl * std::log2(pl)) + (pr == 0 ? 0.0 : pr * std::log2(pr)));
    return gain / split_information;
  }
};

// Regression: maximises minus the size-weighted population variance of the
// sides; the reported score is the decrease of the weighted variance.
struct TwoSplitVariance {
  template <class Acc>
  double get_impurity(const Acc& acc) const { return acc.get_variance(); }
  template <class Acc>
  double get_impurity(const Acc& left, const Acc& right) const {
    return weighted_impurity(*this, left, right);
  }
  template <class Acc>
  double get_initial(const Acc& prior) const { return get_impurity(prior); }
  double get_initial_score(double node_variance) const { return -node_variance; }
  template <class Acc>
  double operator()(double, const Acc& left, const Acc& right) const {
    return -get_impurity(left, right);
  }
  double get_final_score(double best, double node_variance) const { return node_variance + best; }
};

}  // namespace Sylvor

#endif
