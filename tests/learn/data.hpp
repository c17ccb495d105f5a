// Data sets, settings and forest learning shared by the learning tests.
#ifndef SYLVOR_TESTS_LEARN_DATA_HPP
#define SYLVOR_TESTS_LEARN_DATA_HPP

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/learn/forest.hpp"

#include <vector>

namespace Sylvor {
namespace Testing {

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

// A draw in [0, 1) in millionths, for making test data.
inline double unit_draw(XorShiftRNG& gen) { return static_cast<double>(gen.next_int(1000000)) / 1000000.0; }

// A data set of the given rows (one vector of feature values each) and labels.
template <class F, class L = int>
MemoryDataSet<F, L> make_data(const std::vector<std::vector<double>>& rows, const std::vector<L>& labels,
                              int num_classes = 2, LabelingType type = DiscreteZeroOnward) {
  MemoryDataSet<F, L> data;
  data.set_num_features(rows.empty() ? 0 : rows[0].size());
  data.set_labeling(num_classes, type);
  for (std::size_t i = 0; i < rows.size(); ++i) data.add_instance(labels[i], rows[i].begin(), rows[i].end());
  return data;
}

// A data set of one double feature (NaN for missing) with `classes`
// classes, or regression targets when classes is 0.
template <class L>
MemoryDataSet<double, L> one_feature_data(const std::vector<double>& values, const std::vector<L>& labels,
                                          int classes) {
  MemoryDataSet<double, L> data;
  data.set_num_features(1);
  data.set_labeling(classes > 0 ? classes : 1, classes > 0 ? DiscreteZeroOnward : Regression);
  for (std::size_t i = 0; i < values.size(); ++i) data.add_instance(labels[i], &values[i], &values[i] + 1);
  return data;
}

// Three classes decided by the first two of four features, the others noise.
inline MemoryDataSet<float, int> three_classes(int n) {
  MemoryDataSet<float, int> data;
  data.set_num_features(4);
  data.set_labeling(3, DiscreteZeroOnward);
  XorShiftRNG gen(XorShiftState{3, 1, 4, 1});
  for (int i = 0; i < n; ++i) {
    const double row[] = {unit_draw(gen), unit_draw(gen), unit_draw(gen),
                          static_cast<double>(gen.next_int(5))};
    const int label = row[0] < 0.3 ? 0 : (row[1] < 0.5 ? 1 : 2);
    data.add_instance(label, row, row + 4);
  }
  return data;
}

// Regression on three features: the target follows feature 0, feature 1 is
// noise and feature 2 is constant (never tested by any split).
inline MemoryDataSet<double, double> one_informative_regression(int n) {
  MemoryDataSet<double, double> data;
  data.set_num_features(3);
  data.set_labeling(1, Regression);
  XorShiftRNG gen(XorShiftState{5, 3, 5, 8});
  for (int i = 0; i < n; ++i) {
    const double row[] = {unit_draw(gen), unit_draw(gen), 4.0};
    data.add_instance(10.0 * row[0] + 0.1 * unit_draw(gen), row, row + 3);
  }
  return data;
}

inline ForestSettings settings(int trees, int fte = 0, double sample_prop = 1.0, int min_leaf = 1) {
  ForestSettings settings;
  settings.num_trees = trees;
  settings.bootstrap_fraction = sample_prop;
  settings.limits.features_per_split = fte;
  settings.limits.min_instances_per_node = min_leaf;
  return settings;
}

// Learns with per-thread generators copied from the process-wide pool.
template <class DataSet, class Task>
LearnedForest<typename DataSet::label_type> learn(const DataSet& data, const ForestSettings& settings,
                                                  const Task& task, ProgressCounter* progress = nullptr) {
  ForestGenerators generators = ForestGenerators::per_thread(*get_pool("", default_pool_size(), 0, false));
  WorkControl control;
  control.progress = progress;
  return learn_forest(data, settings, task, generators, control);
}

}  // namespace Testing
}  // namespace Sylvor

#endif
