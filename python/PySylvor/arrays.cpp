#include "python/PySylvor/arrays.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

py::object as_learned(const py::object& X, const py::object& learned_dtype) {
  if (learned_dtype.is_none() || !py::isinstance<py::array>(X)) return X;
  const py::dtype wanted = py::dtype::from_args(learned_dtype);
  if (!wanted.equal(py::dtype::of<double>()) && !wanted.equal(py::dtype::of<float>())) {
    throw py::value_error("learned_dtype must be float32 or float64, not " + std::string(py::str(static_cast<const py::object&>(wanted))));
  }
  const py::array array = py::reinterpret_borrow<py::array>(X);
  if (array.dtype().equal(wanted)) return X;
  return array.attr("astype")(wanted);
}

}  // namespace PySylvor
