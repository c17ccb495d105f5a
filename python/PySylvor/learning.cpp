#include "python/PySylvor/learning.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

CriterionKind criterion_of(const std::string& name) {
  const std::optional<CriterionKind> kind = criterion_from_name(name);
  if (!kind) {
    throw py::value_error("unknown criterion '" + name +
                          "' (valid criteria: 'gini', 'infogain', 'gainratio', 'variance')");
  }
  return *kind;
}

void set_sampling(ForestSettings& settings, double sample_prop, long long sample_size, bool bootstrap,
                  const std::optional<WeightArray>& sample_weight) {
  settings.bootstrap_fraction = sample_prop;
  if (sample_size < 0) throw py::value_error("sample_size must not be negative, not " + std::to_string(sample_size));
  settings.sample_size = static_cast<std::size_t>(sample_size);
  settings.bootstrap = bootstrap;
  if (sample_weight) {
    if (sample_weight->ndim() != 1) throw py::value_error("sample_weight must be a one-dimensional array");
    const double* w = sample_weight->data();
    settings.draw_weights.assign(w, w + sample_weight->shape(0));
  }
}

LearnExtras general_extras(bool oob, bool permutation, std::optional<long long> seed, long long first_tree) {
  LearnExtras extras;
  extras.oob = oob;
  extras.permutation = permutation;
  extras.messages = Messages::Plain;
  extras.seed = seed;
  extras.first_tree = first_tree;
  return extras;
}

py::dict out_of_bag_general(const py::object& X, const py::object& Y, const py::object& forest,
                            const std::string& criterion, int num_classes, long long seed, long long first_tree,
                            double sample_prop, long long sample_size, bool bootstrap,
                            const std::optional<WeightArray>& sample_weight, bool permutation_importances,
                            int num_threads) {
  const CriterionKind kind = criterion_of(criterion);
  ForestSettings settings;
  settings.num_trees = 0;
  set_sampling(settings, sample_prop, sample_size, bootstrap, sample_weight);
  settings.criterion = kind;
  settings.out_of_bag = true;
  settings.num_threads = num_threads;
  LearnExtras extras = general_extras(true, permutation_importances, seed, first_tree);
  extras.given_forest = &forest;
  const py::tuple result = with_dtype_and_task(X, kind, 1e-5, [&](auto f, const auto& task) -> py::tuple {
    typedef decltype(f) F;
    typedef std::conditional_t<std::decay_t<decltype(task)>::is_regression, double, int> L;
    return learn_forest_wrap<F, L>(X, Y, num_classes, settings, task, extras);
  });
  return result[2].cast<py::dict>();
}

py::tuple learn_general(const py::object& X, const py::object& Y, const std::string& criterion, int num_classes,
                        int num_trees, double sample_prop, int fte_per_split, int max_depth,
                        int min_instances_per_node, int min_leaf_size, int max_leaf_nodes, int num_threads,
                        bool compute_importances, bool oob, bool permutation_importances, int verbose,
                        std::optional<long long> seed, long long first_tree, long long sample_size, bool bootstrap,
                        bool tree_importances, double leaf_variance,
                        const std::optional<WeightArray>& sample_weight) {
  const CriterionKind kind = criterion_of(criterion);
  ForestSettings settings;
  settings.num_trees = num_trees;
  set_sampling(settings, sample_prop, sample_size, bootstrap, sample_weight);
  settings.limits.features_per_split = fte_per_split;
  settings.limits.max_depth = max_depth;
  settings.limits.min_instances_per_node = min_instances_per_node;
  if (min_leaf_size < 1) {
    throw py::value_error("min_leaf_size must be at least 1, not " + std::to_string(min_leaf_size));
  }
  settings.limits.min_leaf_size = min_leaf_size;
  if (max_leaf_nodes < 0) {
    throw py::value_error("max_leaf_nodes must not be negative (0 for no limit), not " + std::to_string(max_leaf_nodes));
  }
  settings.limits.max_leaf_nodes = max_leaf_nodes;
  settings.criterion = kind;
  settings.feature_importances = compute_importances;
  settings.out_of_bag = oob || permutation_importances;
  settings.num_threads = num_threads;
  LearnExtras extras = general_extras(oob, permutation_importances, seed, first_tree);
  extras.verbose = verbose;
  extras.tree_importances = tree_importances;
  settings.tree_importances = tree_importances;
  if (tree_importances) settings.feature_importances = true;
  return with_dtype_and_task(X, kind, leaf_variance, [&](auto f, const auto& task) -> py::tuple {
    typedef decltype(f) F;
    typedef std::conditional_t<std::decay_t<decltype(task)>::is_regression, double, int> L;
    return learn_forest_wrap<F, L>(X, Y, num_classes, settings, task, extras);
  });
}

}  // namespace PySylvor
