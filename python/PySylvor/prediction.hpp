// Prediction from numpy arrays: class labels and class-vote fractions (the
// typed entries), regression means and the leaves each instance reaches
// (the general ones). The interpreter lock is released while a forest is
// applied.
#ifndef PYSYLVOR_PREDICTION_HPP
#define PYSYLVOR_PREDICTION_HPP

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "Sylvor/predict/predictor.hpp"
#include "python/PySylvor/arrays.hpp"
#include "python/PySylvor/errors.hpp"
#include "python/PySylvor/tree_arrays.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

// The trees of the forest argument and the data of X, ready for prediction.
template <class F, class L>
void prepare_prediction(const py::object& forest_argument, const py::array& x, int num_classes, Forest<L>& forest,
                        MemoryDataSet<F, L>& data) {
  convert_forest(forest_argument, forest);
  copy_into(data, x, std::vector<L>(static_cast<std::size_t>(x.shape(1)), L()), num_classes);
  data.impute();
}

template <class F>
double test_wrap(const py::object& X, const py::object& forest_argument, int num_classes, const py::object& out,
                 int num_threads) {
  check_threads(num_threads);
  const py::array x = checked_array<F>(X, "X", 2);
  py::array labels = checked_output<int>(out, "the label output", 1);
  if (labels.shape(0) != x.shape(1)) {
    throw py::value_error("the label output must have one entry per instance (" + std::to_string(x.shape(1)) +
                          "), not " + std::to_string(labels.shape(0)));
  }
  if (num_classes < 1) throw py::value_error("num_classes must be at least 1, not " + std::to_string(num_classes));
  return guarded([&]() -> double {
    Forest<int> forest;
    MemoryDataSet<F, int> data;
    prepare_prediction(forest_argument, x, num_classes, forest, data);
    check_leaf_classes(forest, false, num_classes);
    BaseForestClassifier predictor(static_cast<std::size_t>(num_classes));
    predictor.use_forest(forest);
    predictor.set_num_threads(num_threads);
    std::vector<int> predicted;
    Array1D<int> output(static_cast<char*>(labels.mutable_data()), labels.shape(0), labels.strides(0));
    py::gil_scoped_release unlocked;
    predictor.predict(data, predicted);
    for (std::size_t i = 0; i < predicted.size(); ++i) output[i] = predicted[i];
    return 0.0;
  });
}

template <class F, class P>
double prob_wrap(const py::object& X, const py::object& forest_argument, int num_classes, const py::object& out,
                 int num_threads) {
  check_threads(num_threads);
  const py::array x = checked_array<F>(X, "X", 2);
  py::array probabilities = checked_output<P>(out, "the probability output", 2);
  if (probabilities.shape(0) != x.shape(1) || probabilities.shape(1) < num_classes) {
    throw py::value_error("the probability output must have one row per instance (" + std::to_string(x.shape(1)) +
                          ") and at least num_classes (" + std::to_string(num_classes) + ") columns, not shape (" +
                          std::to_string(probabilities.shape(0)) + ", " + std::to_string(probabilities.shape(1)) +
                          ")");
  }
  if (num_classes < 1) throw py::value_error("num_classes must be at least 1, not " + std::to_string(num_classes));
  return guarded([&]() -> double {
    Forest<int> forest;
    MemoryDataSet<F, int> data;
    prepare_prediction(forest_argument, x, num_classes, forest, data);
    check_leaf_classes(forest, false, num_classes);
    BaseForestClassifier predictor(static_cast<std::size_t>(num_classes));
    predictor.use_forest(forest);
    predictor.set_num_threads(num_threads);
    Array2D<P> output(static_cast<char*>(probabilities.mutable_data()), probabilities.shape(0),
                      probabilities.shape(1), probabilities.strides(0), probabilities.strides(1));
    py::gil_scoped_release unlocked;
    predictor.compute_probabilities(data, output);
    return 0.0;
  });
}

// Mean of the leaves (regression) for every instance of X into `out`.
double predict_regression(const py::object& X_given, const py::object& forest_argument, const py::object& out,
                          int num_threads, const py::object& learned_dtype);

// The number of the leaf (breadth first, the numbering of the tree arrays)
// that every instance reaches in every tree: out[i, k] for instance i and
// tree k.
double apply_forest(const py::object& X_given, const py::object& forest_argument, const py::object& out,
                    int num_threads, const py::object& learned_dtype);

}  // namespace PySylvor

#endif
