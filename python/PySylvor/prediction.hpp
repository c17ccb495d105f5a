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

#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/model/flat_forest.hpp"
#include "Sylvor/predict/predictor.hpp"
#include "python/PySylvor/arrays.hpp"
#include "python/PySylvor/errors.hpp"
#include "python/PySylvor/tree_arrays.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

// Every prediction entry does the same steps: convert the forest argument,
// copy X into a data set (missing cells imputed, unless the forest learned
// where missing values go), check the pair
// (`check(forest, data)`, lock held, may throw), then run the prediction
// (`run(forest, data)`) with the interpreter lock released. Errors of any
// step become Python exceptions in the given style.
template <class F, class L, class Check, class Run>
double predict_with(const py::array& x, const py::object& forest_argument, int num_classes, Messages style,
                    Check&& check, Run&& run) {
  return guarded([&]() -> double {
    Forest<L> forest;
    MemoryDataSet<F, L> data;
    convert_forest(forest_argument, forest);
    copy_into(data, x, std::vector<L>(static_cast<std::size_t>(x.shape(1)), L()), num_classes);
    if (model_version(forest) == 1) data.impute();
    check(forest, data);
    py::gil_scoped_release unlocked;
    run(forest, data);
    return 0.0;
  }, style);
}

// Calls write(i, k, leaf) with the number of the leaf that instance i of
// `data` reaches in tree k, for every instance and tree, the instances
// shared among the threads (the flat forest checked against the data).
template <class L, class DataSet, class Write>
void write_leaves(const FlatForest<L>& flat, const DataSet& data, int num_threads, Write&& write) {
  const auto columns = column_pointers(data);
  const long ni = static_cast<long>(data.get_num_instances());
#pragma omp parallel for schedule(static) num_threads(team_size(num_threads))
  for (long i = 0; i < ni; ++i) {
    const std::size_t instance = static_cast<std::size_t>(i);
    for (std::size_t k = 0; k < flat.size(); ++k) {
      write(instance, k, static_cast<int>(flat.leaf_of(k, columns.data(), instance)));
    }
  }
}

// A classifier over a forest whose leaves vote for classes 0..num_classes-1.
BaseForestClassifier classifier_over(const Forest<int>& forest, int num_classes, int num_threads);

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
  check_num_classes(num_classes);
  Array1D<int> output(static_cast<char*>(labels.mutable_data()), labels.shape(0), labels.strides(0));
  return predict_with<F, int>(
      x, forest_argument, num_classes, Messages::AsTheProgram,
      [&](const Forest<int>& forest, const MemoryDataSet<F, int>&) { check_leaf_classes(forest, false, num_classes); },
      [&](const Forest<int>& forest, const MemoryDataSet<F, int>& data) {
        BaseForestClassifier predictor = classifier_over(forest, num_classes, num_threads);
        std::vector<int> predicted;
        predictor.predict(data, predicted);
        for (std::size_t i = 0; i < predicted.size(); ++i) output[i] = predicted[i];
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
  check_num_classes(num_classes);
  Array2D<P> output(static_cast<char*>(probabilities.mutable_data()), probabilities.shape(0), probabilities.shape(1),
                    probabilities.strides(0), probabilities.strides(1));
  return predict_with<F, int>(
      x, forest_argument, num_classes, Messages::AsTheProgram,
      [&](const Forest<int>& forest, const MemoryDataSet<F, int>&) { check_leaf_classes(forest, false, num_classes); },
      [&](const Forest<int>& forest, const MemoryDataSet<F, int>& data) {
        BaseForestClassifier predictor = classifier_over(forest, num_classes, num_threads);
        predictor.compute_probabilities(data, output);
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
