#include "python/PySylvor/files.hpp"

#include <cmath>
#include <sstream>

#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/medians_io.hpp"
#include "Sylvor/io/model_file.hpp"
#include "Sylvor/io/tree_dot.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "python/PySylvor/arrays.hpp"
#include "python/PySylvor/errors.hpp"
#include "python/PySylvor/tree_arrays.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

Forest<double> parse_model_text(const std::string& text, FeatureLevels* levels) {
  Forest<double> forest;
  read_forest_text(text, forest, levels);
  if (forest.empty()) throw Exception("the model text holds no trees");
  return forest;
}

namespace {

// The tree arrays of a forest, which cannot hold the sides where trees send
// missing values: such a forest is refused rather than read without them.
py::list arrays_without_missing_sides(const Forest<double>& forest) {
  if (model_version(forest) > 1) {
    throw Exception("the model's trees learned where missing values go, which tree arrays do not hold: read "
                    "it with Forest.from_model_text");
  }
  return tree_arrays(forest);
}

}  // namespace

py::list parse_model(const py::bytes& text) {
  const std::string bytes = text;
  return guarded([&]() -> py::list { return arrays_without_missing_sides(parse_model_text(bytes)); },
                 Messages::Plain);
}

py::list read_model(const std::string& path) {
  return guarded([&]() -> py::list {
    check_model_file(path);
    Forest<double> forest;
    read_forest(path, forest);
    if (forest.empty()) throw Exception("model file `" + path + "' holds no trees");
    return arrays_without_missing_sides(forest);
  }, Messages::Plain);
}

std::string tree_dot(const py::object& tree_array, const std::vector<std::string>& feature_names,
                     const std::vector<std::string>& class_names, int max_depth, const py::object& missing_sides) {
  const auto array = py::array_t<double, py::array::forcecast>::ensure(tree_array);
  if (!array) throw py::type_error("tree must be a (5, nodes) array of numbers");
  return guarded([&]() -> std::string {
    Tree<double> tree;
    if (!convert_array_to_tree<double>(array, tree, missing_sides)) throw Exception("the tree array has no nodes");
    return tree_to_dot(tree, DotNames::from_lists(feature_names, class_names), max_depth);
  }, Messages::Plain);
}

std::optional<std::vector<double>> medians_of(const py::object& medians_argument) {
  if (medians_argument.is_none()) return std::nullopt;
  const py::array values = checked_array<double>(medians_argument, "medians", 1);
  std::vector<double> medians;
  const double* at = static_cast<const double*>(values.data());
  for (py::ssize_t f = 0; f < values.shape(0); ++f) {
    const double v = at[f * values.strides(0) / static_cast<py::ssize_t>(sizeof(double))];
    if (!std::isfinite(v)) throw py::value_error("medians must be finite numbers");
    medians.push_back(v);
  }
  if (medians.empty()) throw py::value_error("medians must hold one value per feature, not none");
  return medians;
}

double write_model(const std::string& path, const py::object& forest_argument, const std::string& format,
                   const py::object& medians_argument) {
  if (format != "lisp" && format != "vectortxt") {
    throw py::value_error("format must be 'lisp' or 'vectortxt', not '" + format + "'");
  }
  const std::optional<std::vector<double>> medians = medians_of(medians_argument);
  return guarded([&]() -> double {
    Forest<double> forest;
    convert_forest(forest_argument, forest);
    write_model_file(path, forest, format, medians ? &*medians : nullptr);
    return 0.0;
  }, Messages::Plain);
}

py::bytes model_text(const py::object& forest_argument, const std::string& format) {
  if (format != "lisp" && format != "vectortxt") {
    throw py::value_error("format must be 'lisp' or 'vectortxt', not '" + format + "'");
  }
  return guarded([&]() -> py::bytes {
    Forest<double> forest;
    convert_forest(forest_argument, forest);
    std::ostringstream text;
    write_forest(text, forest, format);
    return py::bytes(text.str());
  }, Messages::Plain);
}

double write_model_text_wrap(const std::string& path, const py::bytes& text, const py::object& medians_argument,
                             const std::vector<std::pair<std::string, py::bytes>>& companions) {
  const std::optional<std::vector<double>> medians = medians_of(medians_argument);
  std::vector<std::pair<std::string, std::string>> texts;
  for (const auto& [suffix, bytes] : companions) {
    if (suffix.size() < 2 || suffix[0] != '.' || suffix.find('/') != std::string::npos) {
      throw py::value_error("a companion's suffix must be a dot and a name, like '.meta', not '" + suffix + "'");
    }
    texts.emplace_back(suffix, std::string(bytes));
  }
  const std::string bytes = text;
  return guarded([&]() -> double {
    StagedModel staged(path, bytes, medians ? &*medians : nullptr);
    for (const auto& [suffix, companion] : texts) staged.add_companion(suffix, companion, suffix.substr(1));
    staged.commit();
    return 0.0;
  }, Messages::Plain);
}

py::tuple read_medians(const std::string& path, const std::optional<py::bytes>& model_text) {
  std::optional<FileFingerprint> print;
  if (model_text) print = fingerprint_of_bytes(std::string(*model_text));
  return guarded([&]() -> py::tuple {
    const ModelMedians medians = read_model_medians(path, std::nullopt, print ? &*print : nullptr);
    switch (medians.state) {
      case MediansState::Recorded:
        return py::make_tuple("recorded", numpy_copy(medians.values));
      case MediansState::Stale:
        return py::make_tuple("stale", py::none());
      case MediansState::Absent:
        break;
    }
    return py::make_tuple("absent", py::none());
  }, Messages::Plain);
}

py::tuple description_tuple(const DataSetDescription& desc) {
  py::dict labels;
  for (const auto& [id, name] : desc.get_label_map().get_pairs()) labels[py::int_(id)] = py::str(name);
  py::object num_features = py::none();
  if (desc.get_num_features() > 0) num_features = py::int_(desc.get_num_features());
  const char* labeling = desc.get_labeling() == PlusOneMinusOne ? "plus-one-minus-one"
                         : desc.get_labeling() == Regression    ? "regression"
                                                                : "discrete-zero-onward";
  return py::make_tuple(num_features, labels, labeling);
}

py::tuple read_description(const std::string& path) {
  return guarded([&]() -> py::tuple { return description_tuple(read_sylvor_description(path)); }, Messages::Plain);
}

py::tuple parse_description(const py::bytes& text) {
  const std::string bytes = text;
  return guarded([&]() -> py::tuple {
    std::istringstream in(bytes);
    const DataSetDescription desc = SylvorDescriptionReader().read(in);
    check_class_numbers(desc);
    return description_tuple(desc);
  }, Messages::Plain);
}

}  // namespace PySylvor
