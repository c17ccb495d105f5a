// The program's files from Python: model files (read, written, as text),
// their companion medians, description files, and a tree drawn as DOT.
// Every file is written whole or not at all; companions are written before
// their model and name its bytes. Called with the interpreter lock held.
#ifndef PYSYLVOR_FILES_HPP
#define PYSYLVOR_FILES_HPP

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/model/levels.hpp"
#include "Sylvor/model/tree.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

// The trees of a model file (lisp or vectortxt, found by trial) as tree arrays.
// The trees of model text (bytes of a lisp or vectortxt model file, the
// format found by trial) as tree arrays; text without trees is an error.
py::list parse_model(const py::bytes& text);

// The trees of model text (bytes of a lisp or vectortxt model file); throws
// the library's exceptions for text in neither format or without trees.
// With `levels`, the level names of its categorical features go there.
Forest<double> parse_model_text(const std::string& text, FeatureLevels* levels = nullptr);

py::list read_model(const std::string& path);

// The Graphviz DOT text of one tree array, with its missing sides (one per
// node) when not None.
std::string tree_dot(const py::object& tree_array, const std::vector<std::string>& feature_names,
                     const std::vector<std::string>& class_names, int max_depth,
                     const py::object& missing_sides = py::none());

// The medians of a write, or none.
std::optional<std::vector<double>> medians_of(const py::object& medians_argument);

// Writes a forest argument (tree arrays or lisp text) as a model file of the
// program in the format "lisp" or "vectortxt", and with medians (float64,
// one per feature) their companion file PATH.medians.
double write_model(const std::string& path, const py::object& forest_argument, const std::string& format,
                   const py::object& medians_argument);

// The text of a model file holding a forest argument, as bytes.
py::bytes model_text(const py::object& forest_argument, const std::string& format);

// Writes model text (bytes) as it is to `path`, with medians their
// companion PATH.medians, fingerprinted with these bytes, and each of
// `companions` (suffix -> bytes) as PATH + suffix: every file is written
// before any is put in place, the model last.
double write_model_text_wrap(const std::string& path, const py::bytes& text, const py::object& medians_argument,
                             const std::vector<std::pair<std::string, py::bytes>>& companions);

// The medians recorded beside a model file: ("recorded", float64 array),
// ("absent", None) or ("stale", None) for a companion written for other
// model bytes than those of the file (or `model_text`, when given).
py::tuple read_medians(const std::string& path, const std::optional<py::bytes>& model_text);

// The number of features (None when the file does not give it), the class
// names by class number and the label type of a description file.
// The description as the package reads it: (number of features or None,
// {class number: name}, label type).
py::tuple description_tuple(const DataSetDescription& desc);

py::tuple read_description(const std::string& path);

// The same of description text (bytes) a caller has read.
py::tuple parse_description(const py::bytes& text);

}  // namespace PySylvor

#endif
