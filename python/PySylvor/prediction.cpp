#include "python/PySylvor/prediction.hpp"


namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

BaseForestClassifier classifier_over(const Forest<int>& forest, int num_classes, int num_threads) {
  BaseForestClassifier predictor(static_cast<std::size_t>(num_classes));
  predictor.use_forest(forest);
  predictor.set_num_threads(num_threads);
  return predictor;
}

namespace {

// Checks the thread count, casts X to the type learned on (when given) and
// calls run(F{}, x) with X checked as a (features x instances) array of its
// feature type F.
template <class Run>
double with_learned_rows(const py::object& X_given, const py::object& learned_dtype, int num_threads, Run&& run) {
  check_threads(num_threads);
  const py::object X = as_learned(X_given, learned_dtype);
  return with_feature_dtype(X, [&](auto f) -> double {
    return run(f, checked_array<decltype(f)>(X, "X", 2));
  });
}

}  // namespace

double predict_regression(const py::object& X_given, const py::object& forest_argument, const py::object& out,
                          int num_threads, const py::object& learned_dtype) {
  return with_learned_rows(X_given, learned_dtype, num_threads, [&](auto f, const py::array& x) -> double {
    typedef decltype(f) F;
    py::array values = checked_output<double>(out, "the prediction output", 1);
    if (values.shape(0) != x.shape(1)) {
      throw py::value_error("the prediction output must have one entry per instance (" +
                            std::to_string(x.shape(1)) + "), not " + std::to_string(values.shape(0)));
    }
    Array1D<double> output(static_cast<char*>(values.mutable_data()), values.shape(0), values.strides(0));
    return predict_with<F, double>(
        x, forest_argument, 1, Messages::Plain,
        [](const Forest<double>&, MemoryDataSet<F, double>& data) { data.set_labeling(1, Regression); },
        [&](const Forest<double>& forest, const MemoryDataSet<F, double>& data) {
          BaseForestRegressor predictor;
          predictor.use_forest(forest);
          predictor.set_num_threads(num_threads);
          std::vector<double> predicted;
          predictor.predict(data, predicted);
          for (std::size_t i = 0; i < predicted.size(); ++i) output[i] = predicted[i];
        });
  });
}

double apply_forest(const py::object& X_given, const py::object& forest_argument, const py::object& out,
                    int num_threads, const py::object& learned_dtype) {
  return with_learned_rows(X_given, learned_dtype, num_threads, [&](auto f, const py::array& x) -> double {
    typedef decltype(f) F;
    py::array leaves = checked_output<int>(out, "the leaf output", 2);
    Array2D<int> output(static_cast<char*>(leaves.mutable_data()), leaves.shape(0), leaves.shape(1),
                        leaves.strides(0), leaves.strides(1));
    return predict_with<F, double>(
        x, forest_argument, 1, Messages::Plain,
        [&](const Forest<double>& forest, const MemoryDataSet<F, double>&) {
          if (leaves.shape(0) != x.shape(1) || leaves.shape(1) != static_cast<py::ssize_t>(forest.size())) {
            throw py::value_error("the leaf output must have shape (instances, trees) = (" +
                                  std::to_string(x.shape(1)) + ", " + std::to_string(forest.size()) + ")");
          }
        },
        [&](const Forest<double>& forest, const MemoryDataSet<F, double>& data) {
          const FlatForest<double> flat(forest);
          flat.check(data.get_num_features());
          write_leaves(flat, data, num_threads, [&](std::size_t i, std::size_t k, int leaf) { output(i, k) = leaf; });
        });
  });
}

}  // namespace PySylvor
