// Learning from numpy arrays: the typed learning entries and the general
// one (every option of the program, regression too), the extras learning
// may return (out-of-bag records and curve, permutation importances, each
// tree's importances), and the out-of-bag record of a forest already
// learned. The interpreter lock is released while trees grow.
#ifndef PYSYLVOR_LEARNING_HPP
#define PYSYLVOR_LEARNING_HPP

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "Sylvor/learn/forest.hpp"
#include "Sylvor/learn/out_of_bag.hpp"
#include "Sylvor/learn/seeding.hpp"
#include "Sylvor/learn/settings.hpp"
#include "python/PySylvor/arrays.hpp"
#include "python/PySylvor/errors.hpp"
#include "python/PySylvor/forest_handle.hpp"
#include "python/PySylvor/interruption.hpp"
#include "python/PySylvor/pool.hpp"
#include "python/PySylvor/tree_arrays.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

// What learning may add beyond the trees and importances, and how it
// returns them.
struct LearnExtras {
  bool oob = false;           // out-of-bag votes or predictions of every instance
  bool permutation = false;   // permutation importances
  int verbose = 0;            // > 0: a progress line on sys.stderr
  std::optional<long long> seed;  // per-tree seeding from this seed; else the module's pool, per thread
  long long first_tree = 0;       // per tree: the number of the first tree (a subforest of a larger forest)
  bool tree_importances = false;  // each tree's importances (trees x features), with per-tree seeding
  bool in_bag_masks = false;      // each tree's in-bag mask
  Messages messages = Messages::AsTheProgram;  // how the library's failures are worded
  bool as_forest = false;   // return a Forest instead of tree arrays
  int leaf_exponent = 0;    // leaves multiplied by 2^leaf_exponent (exactly): targets learned scaled down
  FeatureLevels levels;     // the level names of the categorical features (none: every feature a number)
};

// The extras as a dict: "oob_trees" (int32, instances) with "oob_votes"
// (float64, instances x classes) or "oob_prediction" (float64, NaN for an
// instance without out-of-bag trees), "permutation_importances", and
// "in_bag" (uint8, trees x instances: 1 where the tree's sample holds the
// instance).
template <class Task, class DataSet>
py::dict learn_extras(const Task& task, const DataSet& data, const LearnedForest<typename DataSet::label_type>& forest,
                      const ForestGenerators& generators, const LearnExtras& extras, int threads) {
  py::dict result;
  const py::ssize_t ni = static_cast<py::ssize_t>(data.get_num_instances());
  if (extras.oob) {
    const py::ssize_t nc = static_cast<py::ssize_t>(data.get_num_classes());
    py::array_t<int> trees(ni);
    py::array_t<double> values = Task::is_regression ? py::array_t<double>(ni) : py::array_t<double>({ni, nc});
    int* tree_counts = trees.mutable_data();
    double* out = values.mutable_data();
    // One walk of the out-of-bag trees gives the votes and the curve.
    std::vector<double> curve;
    {
      py::gil_scoped_release unlocked;
      const auto record_votes = [&](std::size_t i, int count, const typename Task::Votes& votes) {
        tree_counts[i] = count;
        if constexpr (Task::is_regression) {
          out[i] = count > 0 ? votes.result(0) : std::nan("");
        } else {
          for (py::ssize_t c = 0; c < nc; ++c) out[static_cast<py::ssize_t>(i) * nc + c] = votes.counts(0)[c + 1];
        }
      };
      for (const OutOfBagEstimate& point :
           out_of_bag_curve(task, data, forest.trees, forest.in_bag, threads, record_votes)) {
        curve.push_back(point.error);
      }
    }
    result["oob_trees"] = trees;
    result[Task::is_regression ? "oob_prediction" : "oob_votes"] = values;
    result["oob_curve"] = numpy_copy(curve);
  }
  if (extras.permutation) {
    std::vector<double> importances;
    {
      py::gil_scoped_release unlocked;
      importances = permutation_importances(task, data, forest.trees, forest.in_bag, generators.shuffle_key(),
                                            generators.first_tree(), threads);
    }
    result["permutation_importances"] = numpy_copy(importances);
  }
  if (extras.tree_importances) {
    result["tree_importances"] = numpy_rows(forest.tree_importances, data.get_num_features());
  }
  if (extras.in_bag_masks) {
    py::array_t<std::uint8_t> masks({static_cast<py::ssize_t>(forest.in_bag.size()), ni});
    std::uint8_t* out = masks.mutable_data();
    for (std::size_t t = 0; t < forest.in_bag.size(); ++t) {
      for (py::ssize_t i = 0; i < ni; ++i) out[static_cast<py::ssize_t>(t) * ni + i] = forest.in_bag[t][i] ? 1 : 0;
    }
    result["in_bag"] = masks;
  }
  return result;
}

// Throws ValueError unless every value of each categorical feature of
// `data` is a level number of it (0 .. levels - 1) or missing.
template <class DataSet>
void check_level_numbers(const DataSet& data, const FeatureLevels& levels) {
  if (levels.names.size() > data.get_num_features()) {
    throw py::value_error("feature_levels names " + std::to_string(levels.names.size()) +
                          " features, but X has " + std::to_string(data.get_num_features()));
  }
  for (std::size_t f = 0; f < levels.names.size(); ++f) {
    if (!levels.is_categorical(f)) continue;
    const double count = static_cast<double>(levels.names[f].size());
    const auto& column = data.features[f];
    for (std::size_t i = 0; i < column.size(); ++i) {
      const double x = static_cast<double>(column[i]);
      if (x != x || (x >= 0 && x < count && x == std::floor(x))) continue;
      throw py::value_error("feature " + std::to_string(f) + " is categorical with " +
                            std::to_string(levels.names[f].size()) + " levels, but instance " + std::to_string(i) +
                            " holds " + py::str(py::float_(x)).cast<std::string>() +
                            ", which is no level number (0 .. " + std::to_string(levels.names[f].size() - 1) +
                            ") nor missing (NaN)");
    }
  }
}

// Checks X (features x instances), Y and the counts of a learning call, and
// copies them into `data` (missing values imputed, unless the splits learn
// where they go); throws ValueError or
// RuntimeError naming what is wrong.
template <class F, class L, class Task>
void prepare_training(const py::object& X, const py::object& Y, int num_classes, const ForestSettings& settings,
                      const LearnExtras& extras, MemoryDataSet<F, L>& data) {
  const py::array x = checked_array<F>(X, "X", 2);
  const py::array y = checked_array<L>(Y, "Y", 1);
  if (y.shape(0) != x.shape(1)) {
    std::string message =
        "the number of labels must be the same as the number of rows (instances) in the instance matrix";
    // One label per row of X: most likely X is instances x features.
    if (y.shape(0) == x.shape(0)) {
      message += " (X has one row per label: X is laid out features x instances, so pass X.T for an instances "
                 "x features array)";
    }
    throw std::runtime_error(message);
  }
  if (!Task::is_regression) check_num_classes(num_classes);
  if (settings.limits.learn_missing_sides && !extras.as_forest && settings.num_trees > 0) {
    throw py::value_error("missing_values='split' needs as_forest=True: tree arrays do not hold the side each "
                          "node sends missing values to (a Forest gives them by missing_sides())");
  }
  if (!extras.levels.none() && !settings.limits.learn_missing_sides) {
    throw py::value_error("categorical features (feature_levels) need missing_values='split'");
  }
  if (!extras.levels.none() && !extras.as_forest && settings.num_trees > 0) {
    throw py::value_error("categorical features (feature_levels) need as_forest=True: tree arrays do not hold "
                          "the levels each node sends left (a Forest gives them by level_sets())");
  }
  if (settings.leaf_samples && (!Task::is_regression || !extras.as_forest)) {
    throw py::value_error("keep_leaf_samples needs a regression forest learned with as_forest=True");
  }
  if (settings.num_trees < 0) {
    throw py::value_error("num_trees must not be negative, not " + std::to_string(settings.num_trees));
  }
  check_threads(settings.num_threads);
  if (extras.first_tree < 0) {
    throw py::value_error("first_tree must not be negative, not " + std::to_string(extras.first_tree));
  }
  guarded([&] {
    const std::vector<L> labels = read_labels<L>(y);
    copy_into(data, x, labels, Task::is_regression ? 1 : num_classes);
    if constexpr (Task::is_regression) {
      data.set_labeling(1, Regression);
    } else {
      check_labels(labels, num_classes);
    }
    if (!settings.limits.learn_missing_sides) data.impute();
    return 0;
  }, extras.messages);
  check_level_numbers(data, extras.levels);
}

// The learned trees as the call asks for them: a Forest (num_classes 0 for
// regression) or a list of tree arrays, leaves scaled by 2^leaf_exponent.
template <class L>
py::object learned_trees(LearnedForest<L>& forest, int num_classes, const LearnExtras& extras) {
  if (extras.leaf_exponent != 0) {
    for (Tree<L>& tree : forest.trees) {
      for (std::size_t k = 0; k < tree.size(); ++k) {
        if (tree.is_leaf(k)) tree.value[k] = static_cast<L>(std::ldexp(tree.value[k], extras.leaf_exponent));
      }
    }
  }
  if (!extras.as_forest) return tree_arrays(forest.trees);
  Forest<double> trees(forest.trees.size());
  for (std::size_t t = 0; t < trees.size(); ++t) trees[t] = with_values_as<double>(forest.trees[t]);
  auto handle = std::make_shared<ForestHandle>(std::move(trees), num_classes, forest.tree_importances, extras.levels);
  if (!forest.leaf_samples.empty()) {
    // The targets in the units of the leaves (a power of two: exact, and
    // their order unchanged).
    for (double& y : forest.leaf_samples.targets) y = std::ldexp(y, extras.leaf_exponent);
    handle->set_leaf_samples(std::make_shared<const LeafSamples>(std::move(forest.leaf_samples)));
  }
  return py::cast(handle);
}

// Learns a forest: classification with class numbers 0 .. num_classes - 1
// (held in int, double or float labels), or regression with double
// targets.
template <class F, class L, class Task>
py::tuple learn_forest_wrap(const py::object& X, const py::object& Y, int num_classes, const ForestSettings& given,
                            const Task& task, const LearnExtras& extras = LearnExtras()) {
  MemoryDataSet<F, L> data;
  prepare_training<F, L, Task>(X, Y, num_classes, given, extras, data);
  ForestSettings settings = given;
  settings.limits.feature_levels = extras.levels.counts(data.get_num_features());
  return guarded([&]() -> py::tuple {
    unsigned long generation = 0;
    ForestGenerators generators =
        extras.seed ? ForestGenerators::per_tree(static_cast<std::uint64_t>(*extras.seed),
                                                 static_cast<std::uint64_t>(extras.first_tree))
                    : [&] {
                        auto lease = lease_generators();
                        generation = lease.second;
                        return std::move(lease.first);
                      }();
    ProgressCounter progress(static_cast<std::size_t>(settings.num_trees));
    std::unique_ptr<ProgressLine> line;
    if (extras.verbose > 0) {
      line = std::make_unique<ProgressLine>(progress, "Learning", "trees", write_to_python_stderr);
    }
    LearnedForest<L> forest = run_interruptibly<LearnedForest<L>>(
        [&](const WorkControl& control) { return learn_forest(data, settings, task, generators, control); },
        &progress);
    if (line) {
      // The line is cleared before anything else is written.
      py::gil_scoped_release unlocked;
      line->stop();
    }
    if (!extras.seed) return_generators(generators, generation);
    py::object importance_array = py::none();
    if (settings.feature_importances) importance_array = numpy_copy(forest.feature_importances);
    // The extras are worked out from the trees as learned, in the units of the targets learned.
    py::object more = py::none();
    if (settings.out_of_bag || extras.tree_importances) {
      more = learn_extras(task, data, forest, generators, extras, settings.num_threads);
    }
    const py::object trees = learned_trees(forest, Task::is_regression ? 0 : num_classes, extras);
    if (more.is_none()) return py::make_tuple(trees, importance_array);
    return py::make_tuple(trees, importance_array, more);
  }, extras.messages);
}

// The out-of-bag record of a forest learned with per-tree seeding from X
// and Y: each tree's sample is drawn again from the tree's own generator,
// then the extras of learn (oob, and permutation importances when asked)
// are worked out for the trees given.
template <class F, class L, class Task>
py::dict out_of_bag_wrap(const py::object& X, const py::object& Y, const py::object& forest_argument,
                         int num_classes, const ForestSettings& settings, const Task& task, const LearnExtras& extras) {
  MemoryDataSet<F, L> data;
  prepare_training<F, L, Task>(X, Y, num_classes, settings, extras, data);
  return guarded([&]() -> py::dict {
    const ForestGenerators generators = ForestGenerators::per_tree(static_cast<std::uint64_t>(*extras.seed),
                                                                   static_cast<std::uint64_t>(extras.first_tree));
    LearnedForest<L> given;
    convert_forest(forest_argument, given.trees);
    {
      py::gil_scoped_release unlocked;
      given.in_bag = redraw_in_bag(data, settings, generators, given.trees.size());
    }
    return learn_extras(task, data, given, generators, extras, settings.num_threads);
  }, extras.messages);
}

// The positional learning entries: a minimum node size of 1.
template <class F, class L, class Criterion>
py::tuple learn_wrap(const py::object& X, const py::object& Y, int num_classes, int num_trees, double sampling_prop,
                     int fte_per_split, int max_depth, int num_threads, int compute_feature_importances) {
  ForestSettings settings;
  settings.num_trees = num_trees;
  settings.bootstrap_fraction = sampling_prop;
  settings.limits.features_per_split = fte_per_split;
  settings.limits.max_depth = max_depth;
  settings.limits.min_instances_per_node = 1;
  settings.feature_importances = compute_feature_importances != 0;
  settings.num_threads = num_threads;
  return learn_forest_wrap<F, L>(X, Y, num_classes, settings, ClassificationTask<Criterion>());
}

// The weights of the bootstrap draws, as the general entries take them.
typedef py::array_t<double, py::array::c_style | py::array::forcecast> WeightArray;

// The general learning entry: learn(X, y, **keywords), every learning
// option of the program by keyword (see register_general_learning).
py::tuple learn_general(const py::object& X, const py::object& Y, const py::kwargs& keywords);

// The out-of-bag entry: out_of_bag(X, y, forest, **keywords).
py::dict out_of_bag_general(const py::object& X, const py::object& Y, const py::object& forest,
                            const py::kwargs& keywords);

}  // namespace PySylvor

#endif
