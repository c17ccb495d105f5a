// Learning a forest: the trees are grown in parallel on an OpenMP team, each
// on its own bootstrap sample and with the generator of the thread that grows
// it. Thread t of T grows the contiguous block of trees
// [t c, min((t + 1) c, trees)) with c = ceil(trees / T), in increasing order,
// so a forest is reproducible for the same generator seeding, data, settings
// and thread count.
//
// The data set and task are shared read-only; each tree is written by the
// one thread that grows it, with a TreeGrower of its own reused tree after
// tree. The forest's importances are the mean of the trees' normalised
// importances, summed per thread and then over the threads in thread order.
// An exception inside the team is captured, the team finishes and the first
// exception is rethrown on the calling thread. On request each tree's
// in-bag instances are recorded for out-of-bag estimates, and a progress
// counter is advanced as each tree is finished, without changing any draw.
#ifndef SYLVOR_LEARN_FOREST_HPP
#define SYLVOR_LEARN_FOREST_HPP

#include <omp.h>

#include <string>
#include <vector>

#include "Sylvor/dataset/index_dataset.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/grow.hpp"
#include "Sylvor/learn/settings.hpp"
#include "Sylvor/learn/tree.hpp"

namespace Sylvor {

// Per tree, which instances of the data its bootstrap sample holds.
typedef std::vector<std::vector<bool>> InBagRecord;

template <class L>
struct LearnedForest {
  Forest<L> trees;
  std::vector<double> feature_importances;  // one per feature, with settings.feature_importances
  InBagRecord in_bag;                       // one mask per tree, with settings.out_of_bag
};

namespace detail {

// Grows the trees [begin, end) of `forest` on the calling thread, each from
// a bootstrap sample drawn with the thread's generator, recording the
// in-bag masks when asked and adding each tree's normalised importances to
// `importance_sum` (when it is not empty). Stops early once another member
// of the team has failed.
template <class Task, class DataSet>
void grow_trees(const DataSet& data, const ForestSettings& settings, const Task& task, long begin, long end,
                LearnedForest<typename DataSet::label_type>& forest, std::vector<double>& importance_sum,
                const TeamErrors& errors, ProgressCounter* progress) {
  const bool importances = !importance_sum.empty();
  std::vector<double> tree_importances;
  TreeGrower<Task, DataSet> grower(data);
  for (long k = begin; k < end && !errors.any(); ++k) {
    const std::size_t tree = static_cast<std::size_t>(k);
    XorShiftRNG& rng = *get_rng();
    IndexedDataSet<DataSet>& sample = grower.get_sample();
    draw_bootstrap_sample(sample, settings.bootstrap_fraction, rng);
    if (settings.out_of_bag) {
      // Recording which instances the sample holds draws nothing.
      std::vector<bool>& mask = forest.in_bag[tree];
      mask.assign(data.get_num_instances(), false);
      for (const std::size_t i : sample.indices) mask[i] = true;
    }
    if (importances) tree_importances.assign(importance_sum.size(), 0.0);
    grower.grow(task, settings.limits, rng, forest.trees[tree], importances ? &tree_importances : nullptr);
    for (std::size_t f = 0; importances && f < importance_sum.size(); ++f) importance_sum[f] += tree_importances[f];
    if (progress != nullptr) progress->add(1);
  }
}

// The mean of the trees' importances from the threads' sums, added in
// thread order (a forest of no trees keeps its zeros).
inline std::vector<double> mean_importances(const std::vector<std::vector<double>>& sums, std::size_t nf,
                                            int num_trees) {
  std::vector<double> mean(nf, 0.0);
  for (const std::vector<double>& sum : sums) {
    for (std::size_t f = 0; f < sum.size(); ++f) mean[f] += sum[f];
  }
  if (num_trees > 0) {
    for (double& v : mean) v *= 1.0 / num_trees;
  }
  return mean;
}

}  // namespace detail

template <class Task, class DataSet>
LearnedForest<typename DataSet::label_type> learn_forest(const DataSet& data, const ForestSettings& settings,
                                                         const Task& task, ProgressCounter* progress = nullptr) {
  if (data.get_num_instances() == 0) throw IncompatibleDataException("data set is empty");
  if (settings.num_trees < 0) {
    throw Exception("number of trees must not be negative: " + std::to_string(settings.num_trees));
  }
  task.check_labels(data);

  const std::size_t num_trees = static_cast<std::size_t>(settings.num_trees);
  LearnedForest<typename DataSet::label_type> forest;
  forest.trees.resize(num_trees);
  if (settings.out_of_bag) forest.in_bag.assign(num_trees, std::vector<bool>());
  std::vector<std::vector<double>> importance_sums;  // per thread
  TeamErrors errors;
#pragma omp parallel num_threads(settings.num_threads > 0 ? settings.num_threads : omp_get_max_threads())
  {
    const int team = omp_get_num_threads(), member = omp_get_thread_num();
#pragma omp single
    importance_sums.assign(static_cast<std::size_t>(team), std::vector<double>());
    try {
      std::vector<double>& sum = importance_sums[static_cast<std::size_t>(member)];
      if (settings.feature_importances) sum.assign(data.get_num_features(), 0.0);
      const auto [begin, end] = block_range(settings.num_trees, team, member);
      detail::grow_trees(data, settings, task, begin, end, forest, sum, errors, progress);
    } catch (...) {
      errors.capture();
    }
  }
  errors.rethrow();
  if (settings.feature_importances) {
    forest.feature_importances = detail::mean_importances(importance_sums, data.get_num_features(), settings.num_trees);
  }
  return forest;
}

}  // namespace Sylvor

#endif
