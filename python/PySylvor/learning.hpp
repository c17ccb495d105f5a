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
#include "python/PySylvor/interruption.hpp"
#include "python/PySylvor/pool.hpp"
#include "python/PySylvor/tree_arrays.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

// What learning may add beyond the trees and importances.
struct LearnExtras {
  bool oob = false;           // out-of-bag votes or predictions of every instance
  bool permutation = false;   // permutation importances
  int verbose = 0;            // > 0: a progress line on sys.stderr
  std::optional<long long> seed;  // per-tree seeding from this seed; else the module's pool, per thread
  long long first_tree = 0;       // per tree: the number of the first tree (a part of a larger forest)
  bool tree_importances = false;  // each tree's importances (trees x features), with per-tree seeding
  Messages messages = Messages::AsTheProgram;  // how the library's failures are worded
  // Instead of learning: the trees of a forest learned with `seed`, whose
  // samples are drawn again for their out-of-bag record.
  const py::object* given_forest = nullptr;
};

// The extras as a dict: "oob_trees" (int32, instances) with "oob_votes"
// (float64, instances x classes) or "oob_prediction" (float64, NaN for an
// instance without out-of-bag trees), and "permutation_importances".
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
    const std::size_t nf = data.get_num_features();
    py::array_t<double> table({static_cast<py::ssize_t>(forest.tree_importances.size()), static_cast<py::ssize_t>(nf)});
    double* out = table.mutable_data();
    for (const std::vector<double>& tree : forest.tree_importances) out = std::copy(tree.begin(), tree.end(), out);
    result["tree_importances"] = table;
  }
  return result;
}

// Learns a forest: classification with class numbers 0 .. num_classes - 1
// (held in int, double or float labels), or regression with double
// targets.
template <class F, class L, class Task>
py::tuple learn_forest_wrap(const py::object& X, const py::object& Y, int num_classes, const ForestSettings& settings,
                            const Task& task, const LearnExtras& extras = LearnExtras()) {
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
  if (!Task::is_regression && num_classes < 1) {
    throw py::value_error("num_classes must be at least 1, not " + std::to_string(num_classes));
  }
  if (settings.num_trees < 0) {
    throw py::value_error("num_trees must not be negative, not " + std::to_string(settings.num_trees));
  }
  check_threads(settings.num_threads);
  if (extras.first_tree < 0) {
    throw py::value_error("first_tree must not be negative, not " + std::to_string(extras.first_tree));
  }
  return guarded([&]() -> py::tuple {
    const std::vector<L> labels = read_labels<L>(y);
    MemoryDataSet<F, L> data;
    copy_into(data, x, labels, Task::is_regression ? 1 : num_classes);
    if constexpr (Task::is_regression) {
      data.set_labeling(1, Regression);
    } else {
      check_labels(labels, num_classes);
    }
    data.impute();
    unsigned long generation = 0;
    ForestGenerators generators =
        extras.seed ? ForestGenerators::per_tree(static_cast<std::uint64_t>(*extras.seed),
                                                 static_cast<std::uint64_t>(extras.first_tree))
                    : [&] {
                        auto lease = lease_generators();
                        generation = lease.second;
                        return std::move(lease.first);
                      }();
    if (extras.given_forest != nullptr) {
      LearnedForest<L> given;
      convert_forest(*extras.given_forest, given.trees);
      {
        py::gil_scoped_release unlocked;
        given.in_bag = redraw_in_bag(data, settings, generators, given.trees.size());
      }
      return py::make_tuple(py::none(), py::none(),
                            learn_extras(task, data, given, generators, extras, settings.num_threads));
    }
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
    const py::list trees = tree_arrays(forest.trees);
    if (!settings.out_of_bag && !extras.tree_importances) return py::make_tuple(trees, importance_array);
    return py::make_tuple(trees, importance_array,
                          learn_extras(task, data, forest, generators, extras, settings.num_threads));
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

// The general learning entry: every learning option of the program.
typedef py::array_t<double, py::array::c_style | py::array::forcecast> WeightArray;

// Calls run(F{}, task) with X's feature type and the criterion's task.
template <class Run>
py::tuple with_dtype_and_task(const py::object& X, CriterionKind kind, double leaf_variance, Run&& run) {
  return with_feature_dtype(X, [&](auto f) -> py::tuple {
    if (kind == CriterionKind::Variance) return run(f, RegressionTask(leaf_variance));
    return with_classification_task(kind, [&](const auto& task) { return run(f, task); });
  });
}

// The criterion of a name, or ValueError.
CriterionKind criterion_of(const std::string& name);

// How the trees' samples are drawn, from the general entries' keywords.
void set_sampling(ForestSettings& settings, double sample_prop, long long sample_size, bool bootstrap,
                  const std::optional<WeightArray>& sample_weight);

// What the general entries ask of learning besides the forest, worded
// plainly.
LearnExtras general_extras(bool oob, bool permutation, std::optional<long long> seed, long long first_tree);

// The out-of-bag record of a forest learned by learn with a seed: its
// trees' samples drawn again, then what learn's oob and
// permutation_importances give.
py::dict out_of_bag_general(const py::object& X, const py::object& Y, const py::object& forest,
                            const std::string& criterion, int num_classes, long long seed, long long first_tree,
                            double sample_prop, long long sample_size, bool bootstrap,
                            const std::optional<WeightArray>& sample_weight, bool permutation_importances,
                            int num_threads);

py::tuple learn_general(const py::object& X, const py::object& Y, const std::string& criterion, int num_classes,
                        int num_trees, double sample_prop, int fte_per_split, int max_depth,
                        int min_instances_per_node, int min_leaf_size, int max_leaf_nodes, int num_threads,
                        bool compute_importances, bool oob, bool permutation_importances, int verbose,
                        std::optional<long long> seed, long long first_tree, long long sample_size, bool bootstrap,
                        bool tree_importances, double leaf_variance,
                        const std::optional<WeightArray>& sample_weight);

}  // namespace PySylvor

#endif
