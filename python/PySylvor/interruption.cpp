#include "python/PySylvor/interruption.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

void write_to_python_stderr(const std::string& text) {
  py::gil_scoped_acquire locked;
  try {
    const py::object stream = py::module_::import("sys").attr("stderr");
    if (stream.is_none()) return;
    stream.attr("write")(text);
    stream.attr("flush")();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("PySylvor_wrap progress line");
    throw std::runtime_error("progress stream failed");
  }
}

}  // namespace PySylvor
