// Learning a forest: the trees are grown in parallel on an OpenMP team, each
// on its own bootstrap sample (drawn uniformly or by instance weights), or
// each on the whole data set when bootstrapping is off. Thread t of T grows the contiguous block of
// trees [t c, min((t + 1) c, trees)) with c = ceil(trees / T), in increasing
// order. With per-thread seeding each thread draws from its own generator,
// so a forest is reproducible for the same seeding, data, settings and
// thread count; with per-tree seeding each tree draws from its own, so the
// forest is the same for every thread count.
//
// Nothing process-wide is read or changed: the generators are the caller's,
// the team size is given to the region. The data set and task are shared
// read-only; each tree is written by the one thread that grows it, with a
// TreeGrower of its own reused tree after tree. The forest's importances are
// the mean of the trees' normalised importances, summed per thread and then
// over the threads in thread order (per-thread seeding), or in tree order
// (per-tree seeding). An exception inside the team is captured, the team
// finishes and the first exception is rethrown on the calling thread. On
// request each tree's in-bag instances are recorded for out-of-bag
// estimates, and each leaf's draws for quantiles and proximities; a
// progress counter is advanced as each tree is finished, without changing
// any draw; a stop request ends learning between nodes.
#ifndef SYLVOR_LEARN_FOREST_HPP
#define SYLVOR_LEARN_FOREST_HPP

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/learn/grow.hpp"
#include "Sylvor/learn/sampling.hpp"
#include "Sylvor/learn/seeding.hpp"
#include "Sylvor/learn/settings.hpp"
#include "Sylvor/model/leaf_samples.hpp"
#include "Sylvor/model/tree.hpp"

namespace Sylvor {

// Per tree, which instances of the data its bootstrap sample holds.
typedef std::vector<std::vector<bool>> InBagRecord;

template <class L>
struct LearnedForest {
  Forest<L> trees;
  std::vector<double> feature_importances;  // one per feature, with settings.feature_importances
  // Per tree, its normalised importances: with settings.tree_importances
  // and per-tree seeding (empty otherwise).
  std::vector<std::vector<double>> tree_importances;
  InBagRecord in_bag;                       // one mask per tree, with settings.out_of_bag
  LeafSamples leaf_samples;                 // with settings.leaf_samples
};

namespace detail {

// Grows the trees [begin, end) of `forest` on the calling thread, team
// member `member`, each from a bootstrap sample drawn with its generator
// (the member's stream, or the tree's own), recording the in-bag masks when
// asked. Each tree's normalised importances go to importances[k] (per tree)
// or are added to importances[member] (per thread), when that is not empty.
// Stops once another member has failed or the work is asked to stop.
template <class Task, class DataSet>
void grow_trees(const DataSet& data, const ForestSettings& settings, const Task& task,
                const ValueRanks<typename DataSet::feature_type>& ranks, const std::vector<double>& cumulative,
                ForestGenerators& generators, int member, long begin, long end,
                LearnedForest<typename DataSet::label_type>& forest, std::vector<std::vector<double>>& importances,
                const TeamErrors& errors, const WorkControl& control) {
  const bool per_tree = generators.get_seeding() == Seeding::PerTree;
  const std::size_t nf = data.get_num_features();
  std::vector<double> tree_importances;
  LeafSampleScratch leaf_scratch;
  TreeGrower<Task, DataSet> grower(data, &ranks);
  // The member's own copy of its stream, handed back when its block is done.
  XorShiftRNG stream = per_tree ? generators.tree_generator(0) : generators.stream_of(member);
  for (long k = begin; k < end && !errors.any(); ++k) {
    control.check();
    const std::size_t tree = static_cast<std::size_t>(k);
    if (per_tree) stream = generators.tree_generator(tree);
    IndexedDataSet<DataSet>& sample = grower.get_sample();
    draw_tree_sample(sample, settings, cumulative, stream);
    if (settings.out_of_bag) {
      // Recording which instances the sample holds draws nothing.
      std::vector<bool>& mask = forest.in_bag[tree];
      mask.assign(data.get_num_instances(), false);
      for (const std::size_t i : sample.indices) mask[i] = true;
    }
    const bool wanted = settings.feature_importances && nf > 0;
    if (wanted) tree_importances.assign(nf, 0.0);
    grower.grow(task, settings.limits, stream, forest.trees[tree], wanted ? &tree_importances : nullptr, control);
    if (settings.leaf_samples) {
      record_leaf_samples(forest.trees[tree], data, sample.indices, forest.leaf_samples.targets,
                          forest.leaf_samples.trees[tree], leaf_scratch);
    }
    if (wanted) {
      std::vector<double>& sum = importances[per_tree ? tree : static_cast<std::size_t>(member)];
      if (sum.empty()) sum.assign(nf, 0.0);
      for (std::size_t f = 0; f < nf; ++f) sum[f] += tree_importances[f];
    }
    control.advance(1);
  }
  if (!per_tree) generators.stream_of(member) = stream;
}

// The leaf samples of a forest before its trees grow: the data's targets,
// one empty record per tree. Throws Exception when the data or the samples
// are too large for the records.
template <class DataSet>
LeafSamples empty_leaf_samples(const DataSet& data, const ForestSettings& settings) {
  const std::size_t n = data.get_num_instances();
  check_leaf_sample_size(n, tree_sample_size(settings, n));
  LeafSamples samples;
  samples.targets.resize(n);
  for (std::size_t i = 0; i < n; ++i) samples.targets[i] = static_cast<double>(data.get_label(i));
  samples.trees.resize(static_cast<std::size_t>(settings.num_trees));
  return samples;
}

}  // namespace detail

// Throws Exception unless the levels of the categorical features are one
// entry per feature (or none) and come with missing values learned in the
// splits.
inline void check_feature_levels(const TreeLimits& limits, std::size_t num_features) {
  const std::vector<std::uint32_t>& levels = limits.feature_levels;
  if (levels.empty()) return;
  if (levels.size() != num_features) {
    throw Exception("the level counts name " + std::to_string(levels.size()) + " features, but the data have " +
                    std::to_string(num_features));
  }
  const bool categorical = std::any_of(levels.begin(), levels.end(), [](std::uint32_t k) { return k > 0; });
  if (categorical && !limits.learn_missing_sides) {
    throw Exception("categorical features need missing values learned in the splits");
  }
}

// The mean of the trees' importances from partial sums (per thread or per
// tree), added in their order (a forest of no trees keeps its zeros).
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

// Learns settings.num_trees trees with the generators given (see
// ForestGenerators), on a team of settings.num_threads threads (the OpenMP
// default when 0), advancing `control` tree by tree. A stop request ends the
// work within a node and throws InterruptedException.
template <class Task, class DataSet>
LearnedForest<typename DataSet::label_type> learn_forest(const DataSet& data, const ForestSettings& settings,
                                                         const Task& task, ForestGenerators& generators,
                                                         const WorkControl& control = WorkControl()) {
  if (data.get_num_instances() == 0) throw IncompatibleDataException("data set is empty");
  if (settings.num_trees < 0) {
    throw Exception("number of trees must not be negative: " + std::to_string(settings.num_trees));
  }
  if (settings.bootstrap && settings.sample_size == 0 &&
      bootstrap_sample_size(settings.bootstrap_fraction, data.get_num_instances()) == 0) {
    std::ostringstream fraction;
    fraction << exact(settings.bootstrap_fraction);
    throw Exception("a bootstrap fraction of " + fraction.str() + " of " +
                    std::to_string(data.get_num_instances()) + " instances gives empty samples (at least 1/" +
                    std::to_string(data.get_num_instances()) + " is needed)");
  }
  task.check_labels(data);
  check_feature_levels(settings.limits, data.get_num_features());
  const std::vector<double> cumulative = cumulative_draw_weights(settings, data.get_num_instances());

  const std::size_t num_trees = static_cast<std::size_t>(settings.num_trees);
  const bool per_tree = generators.get_seeding() == Seeding::PerTree;
  LearnedForest<typename DataSet::label_type> forest;
  forest.trees.resize(num_trees);
  if (settings.out_of_bag) forest.in_bag.assign(num_trees, std::vector<bool>());
  if (settings.leaf_samples) forest.leaf_samples = detail::empty_leaf_samples(data, settings);
  // Importances summed per tree (per-tree seeding: the same sums for every
  // thread count) or per thread.
  std::vector<std::vector<double>> importances(per_tree ? num_trees : 0);
  // Classification counts the nodes of features with few distinct values
  // instead of sorting them; their ranks are shared by every tree.
  const ValueRanks<typename DataSet::feature_type> ranks = rank_features<Task>(data);
  TeamErrors errors;
#pragma omp parallel num_threads(team_size(settings.num_threads))
  {
    const int team = omp_get_num_threads(), member = omp_get_thread_num();
#pragma omp single
    if (!per_tree) importances.assign(static_cast<std::size_t>(team), std::vector<double>());
    try {
      const auto [begin, end] = block_range(settings.num_trees, team, member);
      detail::grow_trees(data, settings, task, ranks, cumulative, generators, member, begin, end, forest,
                         importances, errors, control);
    } catch (...) {
      errors.capture();
    }
  }
  errors.rethrow();
  if (settings.feature_importances) {
    forest.feature_importances = mean_importances(importances, data.get_num_features(), settings.num_trees);
    if (settings.tree_importances && per_tree) {
      for (std::vector<double>& tree : importances) tree.resize(data.get_num_features(), 0.0);
      forest.tree_importances = std::move(importances);
    }
  }
  return forest;
}

// The in-bag record of trees 0 .. num_trees - 1 of a forest learned from
// `data` with `settings` and per-tree generators: each tree's sample drawn
// again from the tree's own generator, as learn_forest drew it first. This
// gives the out-of-bag instances of forests whose trees were learned apart
// (as subforests, or added later) without keeping the record.
template <class DataSet>
InBagRecord redraw_in_bag(const DataSet& data, const ForestSettings& settings, const ForestGenerators& generators,
                          std::size_t num_trees) {
  if (generators.get_seeding() != Seeding::PerTree) {
    throw Exception("only the samples of trees with their own generators can be drawn again");
  }
  const std::size_t n = data.get_num_instances();
  const std::vector<double> cumulative = cumulative_draw_weights(settings, n);
  InBagRecord in_bag(num_trees);
  IndexedDataSet<DataSet> sample(&data);
  for (std::size_t k = 0; k < num_trees; ++k) {
    XorShiftRNG stream = generators.tree_generator(k);
    draw_tree_sample(sample, settings, cumulative, stream);
    in_bag[k].assign(n, false);
    for (const std::size_t i : sample.indices) in_bag[k][i] = true;
  }
  return in_bag;
}

}  // namespace Sylvor

#endif
