// The numpy arrays of the module's entries: checks of their type, shape and
// writability (TypeError, ValueError), copies of features and labels into
// the library's data sets, the float type a forest learned on, and copies
// of vectors into new arrays. Called with the interpreter lock held.
#ifndef PYSYLVOR_ARRAYS_HPP
#define PYSYLVOR_ARRAYS_HPP

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "python/PySylvor/contiguous_array_2d.hpp"
#include "python/PySylvor/native_array_dataset.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

template <class T>
const char* dtype_name() {
  if (std::is_same<T, int>::value) return "int32";
  if (std::is_same<T, double>::value) return "float64";
  if (std::is_same<T, float>::value) return "float32";
  return "uint8";
}

// True for a numpy array that is not of a subclass.
inline bool is_exact_ndarray(const py::handle& obj) {
  return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject*>(py::detail::npy_api::get().PyArray_Type_);
}

// The argument as a numpy array of element type T and `ndim` dimensions;
// TypeError for another type or dtype, ValueError for another shape.
template <class T>
py::array checked_array(const py::object& obj, const std::string& name, int ndim) {
  if (!py::isinstance<py::array>(obj)) {
    throw py::type_error(name + " must be a numpy array of dtype " + dtype_name<T>() + ", not " +
                         std::string(py::str(py::type::of(obj).attr("__name__"))));
  }
  py::array array = py::reinterpret_borrow<py::array>(obj);
  if (!py::isinstance<py::array_t<T>>(obj)) {
    throw py::type_error(name + " must have dtype " + dtype_name<T>() + ", not " +
                         std::string(py::str(array.dtype())));
  }
  if (array.ndim() != ndim) {
    throw py::value_error(name + " must be " + std::to_string(ndim) + "-dimensional, not " +
                          std::to_string(array.ndim()) + "-dimensional");
  }
  return array;
}

template <class T>
py::array checked_output(const py::object& obj, const std::string& name, int ndim) {
  py::array array = checked_array<T>(obj, name, ndim);
  if (!array.writeable()) throw py::value_error(name + " must be writeable");
  return array;
}

// Copies X (features x instances, any strides) and the labels into a data
// set, through the strided view the data set copies from.
template <class F, class L>
void copy_into(MemoryDataSet<F, L>& data, const py::array& x, const std::vector<L>& labels, int num_classes) {
  DisNativeArrayDataSet<F, L> view;
  view.nf = static_cast<std::size_t>(x.shape(0));
  view.ni = static_cast<std::size_t>(x.shape(1));
  view.nc = static_cast<std::size_t>(num_classes);
  view.stride_j = x.strides(1);
  view.ltype = DiscreteZeroOnward;
  const char* base = static_cast<const char*>(x.data());
  for (std::size_t f = 0; f < view.nf; ++f) view.features.push_back(base + static_cast<std::ptrdiff_t>(f) * x.strides(0));
  view.labels = labels;
  data.copy_from(view);
}

template <class L>
std::vector<L> read_labels(const py::array& y) {
  const Array1D<L> view(static_cast<char*>(const_cast<void*>(y.data())), y.shape(0), y.strides(0));
  std::vector<L> labels(view.size());
  for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = view[i];
  return labels;
}

// Class labels, taken as integers (truncated toward zero), must lie in
// 0 .. num_classes - 1.
template <class L>
void check_labels(const std::vector<L>& labels, int num_classes) {
  for (const L label : labels) {
    const double value = static_cast<double>(label);
    const bool whole = std::isfinite(value) && std::fabs(value) < 2147483648.0;
    const long number = whole ? static_cast<long>(value) : -1;
    if (!whole || number < 0 || number >= num_classes) {
      std::ostringstream text;
      if (whole) {
        text << number;
      } else {
        text << value;
      }
      throw "invalid class label " + text.str() + ". Labels must be >= 0 and < num_classes; num_classes=" +
          std::to_string(num_classes) + ".";
    }
  }
}

// A numpy array holding a copy of the values.
template <class T>
py::array_t<T> numpy_copy(const std::vector<T>& values) {
  py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// A float64 numpy array of rows.size() rows and `width` columns holding a
// copy of the rows (each of `width` values).
inline py::array_t<double> numpy_rows(const std::vector<std::vector<double>>& rows, std::size_t width) {
  py::array_t<double> table({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(width)});
  double* out = table.mutable_data();
  for (const std::vector<double>& row : rows) out = std::copy(row.begin(), row.end(), out);
  return table;
}

// Calls run(F{}) with the feature type of X's dtype.
template <class Run>
auto with_feature_dtype(const py::object& X, Run&& run) {
  if (py::isinstance<py::array_t<double>>(X)) return run(double{});
  if (py::isinstance<py::array_t<float>>(X)) return run(float{});
  if (py::isinstance<py::array_t<int>>(X)) return run(int{});
  if (py::isinstance<py::array_t<unsigned char>>(X)) return run(static_cast<unsigned char>(0));
  throw py::type_error("X must be a numpy array of dtype float64, float32, int32 or uint8");
}

// X as the forest's features: converted to `learned_dtype` (the type the
// forest learned on, None to take X as it is), so that a value compares
// with a threshold as it did in learning (a float64 value next to a
// float32 threshold would fall on the other side).
py::object as_learned(const py::object& X, const py::object& learned_dtype);

}  // namespace PySylvor

#endif
