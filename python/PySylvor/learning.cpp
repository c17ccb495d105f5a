#include "python/PySylvor/learning.hpp"

#include <pybind11/stl.h>

#include <functional>
#include <unordered_map>

namespace PySylvor {

namespace {

// What a general learning or out-of-bag call asks: the forest settings,
// the extras, and what chooses the task. Filled from the call's keywords.
struct LearnRequest {
  ForestSettings settings;
  LearnExtras extras;
  std::string criterion = "gini";
  int num_classes = 2;
  double leaf_variance = 1e-5;  // the regression leaf bound
  std::optional<WeightArray> sample_weight;

  LearnRequest() {
    settings.limits.min_instances_per_node = 1;
    settings.limits.min_leaf_size = 2;
    extras.messages = Messages::Plain;
  }
};

typedef std::function<void(LearnRequest&, const py::handle&)> Setter;

// A setter that converts the keyword's value to T (TypeError naming the
// keyword otherwise) and stores it.
template <class T, class Store>
Setter setter(const char* name, Store store) {
  return [name, store](LearnRequest& request, const py::handle& value) {
    T converted;
    try {
      converted = value.cast<T>();
    } catch (const py::cast_error&) {
      throw py::type_error(std::string(name) + " cannot be " + std::string(py::str(py::type::of(value).attr("__name__"))));
    }
    store(request, converted);
  };
}

// The keywords of the general entries, each with what it sets. The
// out-of-bag entry takes those marked `sampling` (and `seed`, required).
struct Keyword {
  Setter set;
  bool sampling;
};

const std::unordered_map<std::string, Keyword>& keyword_table() {
  static const std::unordered_map<std::string, Keyword> table{
      {"criterion", {setter<std::string>("criterion", [](LearnRequest& r, const std::string& v) { r.criterion = v; }), true}},
      {"num_classes", {setter<int>("num_classes", [](LearnRequest& r, int v) { r.num_classes = v; }), true}},
      {"num_trees", {setter<int>("num_trees", [](LearnRequest& r, int v) { r.settings.num_trees = v; }), false}},
      {"sample_prop", {setter<double>("sample_prop", [](LearnRequest& r, double v) { r.settings.bootstrap_fraction = v; }), true}},
      {"sample_size", {setter<long long>("sample_size", [](LearnRequest& r, long long v) {
         if (v < 0) throw py::value_error("sample_size must not be negative, not " + std::to_string(v));
         r.settings.sample_size = static_cast<std::size_t>(v);
       }), true}},
      {"bootstrap", {setter<bool>("bootstrap", [](LearnRequest& r, bool v) { r.settings.bootstrap = v; }), true}},
      {"sample_weight", {setter<std::optional<WeightArray>>("sample_weight", [](LearnRequest& r, const std::optional<WeightArray>& v) {
         r.sample_weight = v;
       }), true}},
      {"fte_per_split", {setter<int>("fte_per_split", [](LearnRequest& r, int v) { r.settings.limits.features_per_split = v; }), false}},
      {"max_depth", {setter<int>("max_depth", [](LearnRequest& r, int v) { r.settings.limits.max_depth = v; }), false}},
      {"min_instances_per_node", {setter<int>("min_instances_per_node", [](LearnRequest& r, int v) {
         r.settings.limits.min_instances_per_node = v;
       }), false}},
      {"min_leaf_size", {setter<int>("min_leaf_size", [](LearnRequest& r, int v) {
         if (v < 1) throw py::value_error("min_leaf_size must be at least 1, not " + std::to_string(v));
         r.settings.limits.min_leaf_size = v;
       }), false}},
      {"min_impurity_decrease", {setter<double>("min_impurity_decrease", [](LearnRequest& r, double v) {
         if (!(v >= 0.0)) throw py::value_error("min_impurity_decrease must be a number of at least 0");
         r.settings.limits.min_impurity_decrease = v;
       }), false}},
      {"max_leaf_nodes", {setter<int>("max_leaf_nodes", [](LearnRequest& r, int v) {
         if (v < 0) throw py::value_error("max_leaf_nodes must not be negative (0 for no limit), not " + std::to_string(v));
         r.settings.limits.max_leaf_nodes = v;
       }), false}},
      {"num_threads", {setter<int>("num_threads", [](LearnRequest& r, int v) { r.settings.num_threads = v; }), true}},
      {"compute_importances", {setter<bool>("compute_importances", [](LearnRequest& r, bool v) {
         r.settings.feature_importances = v;
       }), false}},
      {"oob", {setter<bool>("oob", [](LearnRequest& r, bool v) { r.extras.oob = v; }), false}},
      {"in_bag_masks", {setter<bool>("in_bag_masks", [](LearnRequest& r, bool v) { r.extras.in_bag_masks = v; }), true}},
      {"permutation_importances", {setter<bool>("permutation_importances", [](LearnRequest& r, bool v) {
         r.extras.permutation = v;
       }), true}},
      {"verbose", {setter<int>("verbose", [](LearnRequest& r, int v) { r.extras.verbose = v; }), false}},
      {"seed", {setter<std::optional<long long>>("seed", [](LearnRequest& r, std::optional<long long> v) { r.extras.seed = v; }), true}},
      {"first_tree", {setter<long long>("first_tree", [](LearnRequest& r, long long v) { r.extras.first_tree = v; }), true}},
      {"tree_importances", {setter<bool>("tree_importances", [](LearnRequest& r, bool v) { r.extras.tree_importances = v; }), false}},
      {"leaf_variance", {setter<double>("leaf_variance", [](LearnRequest& r, double v) { r.leaf_variance = v; }), false}},
      {"as_forest", {setter<bool>("as_forest", [](LearnRequest& r, bool v) { r.extras.as_forest = v; }), false}},
      {"keep_leaf_samples", {setter<bool>("keep_leaf_samples", [](LearnRequest& r, bool v) { r.settings.leaf_samples = v; }), false}},
      {"leaf_exponent", {setter<int>("leaf_exponent", [](LearnRequest& r, int v) { r.extras.leaf_exponent = v; }), false}},
      {"missing_values", {setter<std::string>("missing_values", [](LearnRequest& r, const std::string& v) {
         if (v != "median" && v != "split") {
           throw py::value_error("missing_values must be 'median' or 'split', not '" + v + "'");
         }
         r.settings.limits.learn_missing_sides = v == "split";
       }), true}},
      {"feature_levels", {[](LearnRequest& r, const py::handle& v) {
         r.extras.levels = feature_levels_of(py::reinterpret_borrow<py::object>(v));
       }, true}},
  };
  return table;
}

// The request of an entry's keywords; an unknown keyword (or one the entry
// does not take) is a TypeError, as for any Python function.
LearnRequest request_of(const char* entry, const py::kwargs& keywords, bool sampling_only) {
  LearnRequest request;
  for (const auto& [key, value] : keywords) {
    const std::string name = py::str(key);
    const auto found = keyword_table().find(name);
    if (found == keyword_table().end() || (sampling_only && !found->second.sampling)) {
      throw py::type_error(std::string(entry) + "() got an unexpected keyword argument '" + name + "'");
    }
    found->second.set(request, value);
  }
  if (request.sample_weight) {
    const WeightArray& weights = *request.sample_weight;
    if (weights.ndim() != 1) throw py::value_error("sample_weight must be a one-dimensional array");
    request.settings.draw_weights.assign(weights.data(), weights.data() + weights.shape(0));
  }
  return request;
}

// The criterion of a name, or ValueError.
CriterionKind criterion_of(const std::string& name) {
  const std::optional<CriterionKind> kind = criterion_from_name(name);
  if (!kind) {
    throw py::value_error("unknown criterion '" + name +
                          "' (valid criteria: 'gini', 'infogain', 'gainratio', 'variance')");
  }
  return *kind;
}

// Calls run(F{}, task, L{}) with X's feature type, the criterion's task and
// the label type of that task.
template <class Run>
auto with_dtype_and_task(const py::object& X, CriterionKind kind, double leaf_variance, Run&& run) {
  return with_feature_dtype(X, [&](auto f) {
    if (kind == CriterionKind::Variance) return run(f, RegressionTask(leaf_variance), double{});
    return with_classification_task(kind, [&](const auto& task) { return run(f, task, int{}); });
  });
}

}  // namespace

py::tuple learn_general(const py::object& X, const py::object& Y, const py::kwargs& keywords) {
  LearnRequest request = request_of("learn", keywords, false);
  ForestSettings& settings = request.settings;
  settings.criterion = criterion_of(request.criterion);
  settings.out_of_bag = request.extras.oob || request.extras.permutation || request.extras.in_bag_masks;
  settings.tree_importances = request.extras.tree_importances;
  if (settings.tree_importances) settings.feature_importances = true;
  return with_dtype_and_task(X, settings.criterion, request.leaf_variance, [&](auto f, const auto& task, auto l) {
    return learn_forest_wrap<decltype(f), decltype(l)>(X, Y, request.num_classes, settings, task, request.extras);
  });
}

py::dict out_of_bag_general(const py::object& X, const py::object& Y, const py::object& forest,
                            const py::kwargs& keywords) {
  LearnRequest request = request_of("out_of_bag", keywords, true);
  if (!request.extras.seed) throw py::type_error("out_of_bag() needs the keyword argument 'seed'");
  ForestSettings& settings = request.settings;
  settings.num_trees = 0;
  settings.criterion = criterion_of(request.criterion);
  settings.out_of_bag = true;
  request.extras.oob = true;
  return with_dtype_and_task(X, settings.criterion, request.leaf_variance, [&](auto f, const auto& task, auto l) {
    return out_of_bag_wrap<decltype(f), decltype(l)>(X, Y, forest, request.num_classes, settings, task,
                                                      request.extras);
  });
}

}  // namespace PySylvor
