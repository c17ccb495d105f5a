// What learning and its estimates need to know about the task, in one place
// per task: ClassificationTask<Criterion> (class labels, a class-count summary,
// majority leaves, class votes, the error rate) and RegressionTask (real labels,
// a mean-and-variance summary, mean leaves, running means, the squared
// error). Growth, the split scan, forest learning, out-of-bag estimates,
// permutation importances and the program's drivers are written once over
// a task.
//
// A task holds its criterion and nothing else; it is a plain value, read by
// any number of threads at once.
#ifndef SYLVOR_LEARN_TASK_HPP
#define SYLVOR_LEARN_TASK_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <sstream>
#include <type_traits>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/criteria.hpp"
#include "Sylvor/model/votes.hpp"

namespace Sylvor {

// Class labels must fit the count slots of the data set's nc classes: the
// classes -1 .. nc. Throws IncompatibleDataException naming the first
// instance whose label does not.
template <class DataSet>
void check_class_labels(const DataSet& data) {
  typedef typename DataSet::label_type L;
  const long nc = static_cast<long>(data.get_num_classes());
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    const L label = data.get_label(i);
    const double slot = std::is_floating_point<L>::value ? std::trunc(static_cast<double>(label) + 1.0)
                                                         : static_cast<double>(label) + 1.0;
    if (!(slot >= 0.0 && slot <= static_cast<double>(nc + 1))) {
      std::ostringstream message;
      message << "label " << label << " of instance " << i << " is not a class of the data set "
              << "(classes -1 to " << nc << " for " << nc
              << " classes; declare the classes with 'label' lines in the description)";
      throw IncompatibleDataException(message.str());
    }
  }
}

// What every task declares: whether it is regression, the summary of a
// node's labels, how leaves combine into predictions, and its criterion.
template <class Criterion, template <class> class SummaryOf, class VotesType, bool regression>
struct TaskBase {
  static constexpr bool is_regression = regression;
  template <class L>
  using Summary = SummaryOf<L>;
  typedef VotesType Votes;

  Criterion criterion;
};

template <class Criterion>
struct ClassificationTask : TaskBase<Criterion, NominalLabelPriorAccumulator, ClassVotes, false> {
  template <class L>
  using Summary = NominalLabelPriorAccumulator<L>;

  template <class DataSet>
  void check_labels(const DataSet& data) const {
    check_class_labels(data);
  }

  // The class counts of a node's instances.
  template <class L, class Range>
  void summarize(const Range& range, Summary<L>& summary) const {
    summary.set_num_classes(range.get_num_classes());
    summary.set_labeling(range.get_labeling());
    summary.add_count(range);
  }

  // Pure: one class holds every instance (the classes from 0 with
  // DiscreteZeroOnward labeling, from -1 otherwise).
  template <class L>
  bool is_pure(const Summary<L>& summary) const {
    const auto& counts = summary.get_counts();
    const std::size_t from = summary.get_labeling() == DiscreteZeroOnward ? 1 : 0;
    long largest = 0;
    for (std::size_t i = from; i < counts.size(); ++i) largest = std::max(largest, counts[i]);
    return static_cast<std::size_t>(largest) == summary.get_total_count();
  }

  // The most frequent class, ties drawn at random.
  template <class L>
  L leaf_value(const Summary<L>& summary, XorShiftRNG& rng) const {
    return summary.get_prediction(rng).first;
  }

  // What a scored cut records for importances: its Gini gain
  // S_l / n_l + S_r / n_r, whatever the criterion.
  template <class L>
  double cut_improvement(const Summary<L>& left, const Summary<L>& right, double /*score*/) const {
    return ratio_or_zero(static_cast<double>(left.get_sum_squared()), static_cast<double>(left.get_total_count())) +
           ratio_or_zero(static_cast<double>(right.get_sum_squared()), static_cast<double>(right.get_total_count()));
  }

  // The improvement reported for a feature's best cut: its Gini decrease
  // (times the node size), never negative.
  template <class L>
  double reported_improvement(double recorded, const Summary<L>& node, double /*final_score*/) const {
    const double node_gini =
        ratio_or_zero(static_cast<double>(node.get_sum_squared()), static_cast<double>(node.get_total_count()));
    return std::max(0.0, recorded - node_gini);
  }

  // The weighted impurity decrease of a node's split (its improvement is
  // already the Gini decrease times the node size).
  template <class Size>
  double weighted_decrease(double improvement, Size) const {
    return improvement;
  }

  // 0 for the right class, 1 for another.
  template <class P, class L>
  double loss(P predicted, L label) const {
    return predicted == label ? 0.0 : 1.0;
  }
};

struct RegressionTask : TaskBase<TwoSplitVariance, RegressiveLabelPriorAccumulator, RunningMean, true> {
  // A node whose labels' variance is below this is a leaf. The program's
  // 1e-5 is an absolute bound, so it stops early on targets of a small
  // scale; the Python package passes scikit-learn's machine epsilon.
  double pure_variance = 1e-5;

  RegressionTask() = default;
  explicit RegressionTask(double pure_variance) : pure_variance(pure_variance) {}

  template <class DataSet>
  void check_labels(const DataSet&) const {}

  // Count, mean, M2 and population variance of a node's labels, by
  // Welford's update in index-list order.
  template <class L, class Range>
  void summarize(const Range& range, Summary<L>& summary) const {
    summary.initialize();
    summary.add_count(range);
  }

  // Pure: a single instance, or a variance below pure_variance (NaN is not).
  template <class L>
  bool is_pure(const Summary<L>& summary) const {
    return summary.get_num_instances() == 1 || summary.get_variance() < pure_variance;
  }

  template <class L>
  L leaf_value(const Summary<L>& summary, XorShiftRNG&) const {
    return static_cast<L>(summary.get_mean());
  }

  // What a scored cut records: its weighted variance (minus the score).
  template <class L>
  double cut_improvement(const Summary<L>&, const Summary<L>&, double score) const {
    return -score;
  }

  // The improvement of a feature's best cut: the decrease of the weighted
  // variance, its reported score (0 without a cut).
  template <class L>
  double reported_improvement(double, const Summary<L>&, double final_score) const {
    return final_score;
  }

  // The weighted impurity decrease of a node's split: the variance decrease
  // times the node size.
  template <class Size>
  double weighted_decrease(double improvement, Size n) const {
    return improvement * static_cast<double>(n);
  }

  // The squared error.
  template <class P, class L>
  double loss(P predicted, L label) const {
    const double residual = static_cast<double>(predicted) - static_cast<double>(label);
    return residual * residual;
  }
};

}  // namespace Sylvor

#endif
