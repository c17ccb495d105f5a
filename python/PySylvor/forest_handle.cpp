#include "python/PySylvor/forest_handle.hpp"

#include <pybind11/stl.h>

#include <sstream>
#include <utility>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/io/tree_dot.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/learn/forest.hpp"
#include "Sylvor/model/votes.hpp"
#include "Sylvor/predict/predictor.hpp"
#include "Sylvor/predict/proximity.hpp"
#include "Sylvor/predict/quantiles.hpp"
#include "python/PySylvor/arrays.hpp"
#include "python/PySylvor/errors.hpp"
#include "python/PySylvor/files.hpp"
#include "python/PySylvor/prediction.hpp"
#include "python/PySylvor/tree_arrays.hpp"

namespace PySylvor {

namespace {

// The class numbers of a classifier's leaves as int trees.
Forest<int> class_trees(const Forest<double>& trees) {
  Forest<int> forest(trees.size());
  for (std::size_t t = 0; t < trees.size(); ++t) forest[t] = with_values_as<int>(trees[t]);
  return forest;
}

// Calls run(data) with the rows of X (instances x features, float64 or
// float32) copied into a data set of that feature type.
template <class Run>
void with_rows(const py::object& X, int num_classes, Run run) {
  const auto copy = [&](auto f) {
    typedef decltype(f) F;
    const py::array rows = checked_array<F>(X, "X", 2);
    const py::array columns = rows.attr("T");  // features x instances, as the copy reads them
    MemoryDataSet<F, int> data;
    copy_into(data, columns, std::vector<int>(), num_classes > 0 ? num_classes : 1);
    run(data);
  };
  if (py::isinstance<py::array_t<double>>(X)) return copy(double{});
  if (py::isinstance<py::array_t<float>>(X)) return copy(float{});
  throw py::type_error("X must be a numpy array of dtype float64 or float32 (instances x features)");
}

// Makes the nodes of `trees` test the level sets given as level_sets()
// gives them.
void set_level_sets(Forest<double>& trees, const py::object& level_sets) {
  if (level_sets.is_none()) return;
  if (!PySequence_Check(level_sets.ptr()) || py::len(level_sets) != trees.size()) {
    throw py::value_error("level_sets must hold one item per tree");
  }
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const py::object sets = level_sets[py::int_(t)];
    if (sets.is_none()) continue;
    if (!PySequence_Check(sets.ptr()) || py::len(sets) != trees[t].size()) {
      throw py::value_error("the level sets of tree " + std::to_string(t) + " must be one item per node");
    }
    for (std::size_t k = 0; k < trees[t].size(); ++k) {
      const py::object set = sets[py::int_(k)];
      if (set.is_none()) continue;
      if (trees[t].is_leaf(k)) {
        throw py::value_error("node " + std::to_string(k) + " of tree " + std::to_string(t) +
                              " is a leaf and cannot test levels");
      }
      std::vector<std::uint32_t> left = set.cast<std::vector<std::uint32_t>>();
      if (!std::is_sorted(left.begin(), left.end()) || std::adjacent_find(left.begin(), left.end()) != left.end()) {
        throw py::value_error("the levels node " + std::to_string(k) + " of tree " + std::to_string(t) +
                              " sends left must be ascending without repeats");
      }
      trees[t].set_left_levels(k, left);
    }
  }
}

}  // namespace

// The level names of a feature_levels argument: None, or per feature None
// or a sequence of names (str) by level number.
FeatureLevels feature_levels_of(const py::object& feature_levels) {
  FeatureLevels levels;
  if (feature_levels.is_none()) return levels;
  if (!PySequence_Check(feature_levels.ptr()) || py::isinstance<py::str>(feature_levels)) {
    throw py::type_error("feature_levels must be None or a sequence of, per feature, None or its level names");
  }
  for (const py::handle names : feature_levels) {
    levels.names.push_back(names.is_none() ? std::vector<std::string>() : names.cast<std::vector<std::string>>());
    if (!names.is_none() && levels.names.back().empty()) {
      throw py::value_error("feature " + std::to_string(levels.names.size() - 1) + " has no level names");
    }
  }
  try {
    for (std::size_t f = 0; f < levels.names.size(); ++f) check_level_order(f, levels.names[f]);
  } catch (const Exception& e) {
    throw py::value_error(e.get_message());
  }
  // Kept up to the last categorical feature, as model files keep them.
  while (!levels.names.empty() && levels.names.back().empty()) levels.names.pop_back();
  return levels;
}

ForestHandle::ForestHandle(Forest<double> forest, int num_classes, std::vector<std::vector<double>> tree_importances,
                           FeatureLevels feature_levels)
    : trees(std::move(forest)), num_classes(num_classes), importances(std::move(tree_importances)),
      levels(std::move(feature_levels)) {
  if (num_classes < 0) throw py::value_error("num_classes must not be negative, not " + std::to_string(num_classes));
  for (const Tree<double>& tree : trees) {
    if (tree.missing_learned != trees.front().missing_learned) {
      throw py::value_error("a forest cannot mix trees that learned where missing values go with trees that "
                            "learned from median-filled values");
    }
  }
  if (!importances.empty() && importances.size() != trees.size()) {
    throw py::value_error("there are " + std::to_string(importances.size()) + " rows of tree importances for " +
                          std::to_string(trees.size()) + " trees");
  }
  try {
    detail::check_level_tests(trees, 0, levels);
  } catch (const Exception& e) {
    throw py::value_error(e.get_message());
  }
  guarded([&] {
    if (num_classes > 0) {
      check_leaf_classes(trees, false, num_classes);
      classes = FlatForest<int>(class_trees(trees));
    } else {
      values = FlatForest<double>(trees);
    }
    return 0;
  }, Messages::Plain);
}

std::shared_ptr<ForestHandle> ForestHandle::from_arrays(const py::object& forest, int num_classes,
                                                       const py::object& tree_importances,
                                                       const py::object& missing_sides,
                                                       const py::object& level_sets,
                                                       const py::object& feature_levels,
                                                       const py::object& leaf_samples) {
  Forest<double> trees;
  guarded([&] {
    convert_forest(forest, trees, missing_sides);
    return 0;
  }, Messages::Plain);
  set_level_sets(trees, level_sets);
  std::vector<std::vector<double>> rows;
  if (!tree_importances.is_none()) rows = tree_importances.cast<std::vector<std::vector<double>>>();
  auto handle = std::make_shared<ForestHandle>(std::move(trees), num_classes, std::move(rows),
                                               feature_levels_of(feature_levels));
  handle->set_leaf_samples(leaf_samples_of(leaf_samples));
  return handle;
}

std::shared_ptr<ForestHandle> ForestHandle::from_model_text(const py::bytes& text, int num_classes) {
  Forest<double> trees;
  FeatureLevels levels;
  guarded([&] {
    trees = parse_model_text(std::string(text), &levels);
    return 0;
  }, Messages::Plain);
  return std::make_shared<ForestHandle>(std::move(trees), num_classes, std::vector<std::vector<double>>(),
                                        std::move(levels));
}

py::object ForestHandle::get_feature_levels() const {
  if (levels.none()) return py::none();
  py::list names;
  for (const std::vector<std::string>& feature : levels.names) {
    names.append(feature.empty() ? py::object(py::none()) : py::object(py::cast(feature)));
  }
  return std::move(names);
}

py::object ForestHandle::level_sets() const {
  if (std::all_of(trees.begin(), trees.end(), [](const Tree<double>& tree) { return tree.level_set.empty(); })) {
    return py::none();
  }
  py::list sets;
  for (const Tree<double>& tree : trees) {
    if (tree.level_set.empty()) {
      sets.append(py::none());
      continue;
    }
    py::list nodes;
    for (std::size_t k = 0; k < tree.size(); ++k) {
      nodes.append(tree.tests_levels(k) ? py::object(numpy_copy(tree.left_levels(k))) : py::object(py::none()));
    }
    sets.append(nodes);
  }
  return std::move(sets);
}

std::string ForestHandle::tree_dot(std::size_t k, const std::vector<std::string>& feature_names,
                                   const std::vector<std::string>& class_names, int max_depth) const {
  if (k >= trees.size()) {
    throw py::index_error("tree " + std::to_string(k) + " of a forest of " + std::to_string(trees.size()));
  }
  DotNames names = DotNames::from_lists(feature_names, class_names);
  const FeatureLevels* known = &levels;
  names.level = [known](int f, std::uint32_t level) {
    const std::size_t feature = static_cast<std::size_t>(f);
    return known->is_categorical(feature) && level < known->names[feature].size() ? known->names[feature][level]
                                                                                   : std::to_string(level);
  };
  return guarded([&] { return tree_to_dot(trees[k], names, max_depth); }, Messages::Plain);
}

py::array ForestHandle::predict(const py::object& X, int num_threads) const {
  check_threads(num_threads);
  py::array result;
  with_rows(X, num_classes, [&](const auto& data) {
    const std::size_t n = data.get_num_instances();
    guarded([&] {
      if (num_classes > 0) {
        py::array_t<int> labels(static_cast<py::ssize_t>(n));
        int* out = labels.mutable_data();
        py::gil_scoped_release unlocked;
        predict_blocks<ClassVotes>(classes, data, static_cast<std::size_t>(num_classes), num_threads,
                                   [&](std::size_t i, const ClassVotes& votes, std::size_t j) { out[i] = votes.result(j); });
        result = std::move(labels);
      } else {
        py::array_t<double> means(static_cast<py::ssize_t>(n));
        double* out = means.mutable_data();
        py::gil_scoped_release unlocked;
        predict_blocks<RunningMean>(values, data, 1, num_threads,
                                    [&](std::size_t i, const RunningMean& votes, std::size_t j) { out[i] = votes.result(j); });
        result = std::move(means);
      }
      return 0;
    }, Messages::Plain);
  });
  return result;
}

py::array ForestHandle::predict_proba(const py::object& X, int num_threads) const {
  check_threads(num_threads);
  if (num_classes == 0) throw py::value_error("a regression forest has no class-vote fractions");
  py::array_t<double> shares;
  with_rows(X, num_classes, [&](const auto& data) {
    const std::size_t nc = static_cast<std::size_t>(num_classes);
    shares = py::array_t<double>({static_cast<py::ssize_t>(data.get_num_instances()), static_cast<py::ssize_t>(nc)});
    double* out = shares.mutable_data();
    const double num_trees = static_cast<double>(trees.size());
    guarded([&] {
      py::gil_scoped_release unlocked;
      predict_blocks<ClassVotes>(classes, data, nc, num_threads,
                                 [&](std::size_t i, const ClassVotes& votes, std::size_t j) {
                                   const int* counts = votes.counts(j);
                                   for (std::size_t c = 0; c < nc; ++c) out[i * nc + c] = counts[c + 1] / num_trees;
                                 });
      return 0;
    }, Messages::Plain);
  });
  return std::move(shares);
}

py::array ForestHandle::apply(const py::object& X, int num_threads) const {
  check_threads(num_threads);
  py::array_t<int> leaves;
  with_rows(X, num_classes, [&](const auto& data) {
    const std::size_t nt = trees.size();
    leaves = py::array_t<int>({static_cast<py::ssize_t>(data.get_num_instances()), static_cast<py::ssize_t>(nt)});
    int* out = leaves.mutable_data();
    guarded([&] {
      with_flat([&](const auto& flat) {
        flat.check(data.get_num_features());
        py::gil_scoped_release unlocked;
        write_leaves(flat, data, num_threads, [&](std::size_t i, std::size_t k, int leaf) { out[i * nt + k] = leaf; });
      });
      return 0;
    }, Messages::Plain);
  });
  return std::move(leaves);
}

py::tuple ForestHandle::decision_path(const py::object& X) const {
  std::vector<std::int64_t> indptr{0}, indices, offsets{0};
  for (const Tree<double>& tree : trees) offsets.push_back(offsets.back() + static_cast<std::int64_t>(tree.size()));
  with_rows(X, num_classes, [&](const auto& data) {
    guarded([&] {
      with_flat([&](const auto& flat) { flat.check(data.get_num_features()); });
      py::gil_scoped_release unlocked;
      for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
        // Nodes are numbered after their parents and trees follow one
        // another, so each row's columns come out in increasing order.
        for (std::size_t t = 0; t < trees.size(); ++t) {
          const Tree<double>& tree = trees[t];
          std::size_t k = 0;
          for (;;) {
            indices.push_back(offsets[t] + static_cast<std::int64_t>(k));
            if (tree.is_leaf(k)) break;
            const double x = static_cast<double>(data.features[static_cast<std::size_t>(tree.feature[k])][i]);
            k = static_cast<std::size_t>(tree.goes_left(k, x) ? tree.left[k] : tree.right[k]);
          }
        }
        indptr.push_back(static_cast<std::int64_t>(indices.size()));
      }
      return 0;
    }, Messages::Plain);
  });
  const auto as_array = [](const std::vector<std::int64_t>& v) {
    py::array_t<std::int64_t> array(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), array.mutable_data());
    return array;
  };
  return py::make_tuple(as_array(indptr), as_array(indices), as_array(offsets));
}

py::list ForestHandle::tree_arrays() const {
  if (!arrays) {
    py::list made = PySylvor::tree_arrays(trees);
    for (const py::handle array : made) array.attr("flags").attr("writeable") = false;
    arrays = std::move(made);
  }
  return arrays;
}

py::object ForestHandle::tree_importances() const {
  if (importances.empty()) return py::none();
  return numpy_rows(importances, importances.front().size());
}

py::object ForestHandle::feature_importances() const {
  if (importances.empty()) return py::none();
  return numpy_copy(mean_importances(importances, importances.front().size(), static_cast<int>(importances.size())));
}

py::bytes ForestHandle::model_text(const std::string& format) const {
  if (format != "lisp" && format != "vectortxt") {
    throw py::value_error("format must be 'lisp' or 'vectortxt', not '" + format + "'");
  }
  std::ostringstream text;
  guarded([&] {
    write_forest(text, trees, format, &levels);
    return 0;
  }, Messages::Plain);
  return py::bytes(text.str());
}

namespace {

// The leaf samples of forests joined: their records in order, when every
// forest has them, of the same targets; else none.
template <class Handle>
std::shared_ptr<const LeafSamples> joined_leaf_samples(const std::vector<const Handle*>& forests) {
  for (const Handle* given : forests) {
    if (given->get_leaf_samples() == nullptr || forests.front()->get_leaf_samples() == nullptr ||
        given->get_leaf_samples()->targets != forests.front()->get_leaf_samples()->targets) {
      return nullptr;
    }
  }
  if (forests.size() == 1) return forests.front()->get_leaf_samples();
  auto joined = std::make_shared<LeafSamples>();
  joined->targets = forests.front()->get_leaf_samples()->targets;
  for (const Handle* given : forests) {
    const auto& records = given->get_leaf_samples()->trees;
    joined->trees.insert(joined->trees.end(), records.begin(), records.end());
  }
  return joined;
}

template <class T>
py::array_t<T> array_copy(const std::vector<T>& values) {
  py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

template <class T>
std::vector<T> vector_of(const py::handle& given, const std::string& what) {
  const auto array = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(given);
  if (!array || array.ndim() != 1) throw py::value_error("leaf samples: " + what + " must be a 1-d array");
  return std::vector<T>(array.data(), array.data() + array.shape(0));
}

}  // namespace

std::shared_ptr<const LeafSamples> leaf_samples_of(const py::object& given) {
  if (given.is_none()) return nullptr;
  const py::tuple pair = given.cast<py::tuple>();
  if (pair.size() != 2) throw py::value_error("leaf samples are (targets, per tree (offsets, draws))");
  auto samples = std::make_shared<LeafSamples>();
  samples->targets = vector_of<double>(pair[0], "the targets");
  for (const py::handle record : pair[1].cast<py::list>()) {
    const py::tuple arrays = record.cast<py::tuple>();
    if (arrays.size() != 2) throw py::value_error("leaf samples: each tree's record is (offsets, draws)");
    samples->trees.push_back(TreeLeafSamples{vector_of<std::uint32_t>(arrays[0], "offsets"),
                                             vector_of<std::uint32_t>(arrays[1], "draws")});
  }
  return samples;
}

void ForestHandle::set_leaf_samples(std::shared_ptr<const LeafSamples> given) {
  if (given != nullptr) {
    if (num_classes > 0) throw py::value_error("leaf samples are kept for regression forests only");
    try {
      check_leaf_samples(*given, trees);
    } catch (const Exception& e) {
      throw py::value_error(e.get_message());
    }
  }
  ranks = given == nullptr ? nullptr : std::make_shared<const TargetRanks>(rank_targets(given->targets));
  samples = std::move(given);
}

py::object ForestHandle::leaf_samples() const {
  if (samples == nullptr) return py::none();
  py::list records;
  for (const TreeLeafSamples& record : samples->trees) {
    records.append(py::make_tuple(array_copy(record.offsets), array_copy(record.instances)));
  }
  return py::make_tuple(array_copy(samples->targets), records);
}

py::array ForestHandle::predict_quantiles(const py::object& X, const std::vector<double>& quantiles, int num_threads,
                                          bool out_of_bag) const {
  check_threads(num_threads);
  if (samples == nullptr) {
    throw py::value_error("this forest kept no leaf samples: learn it with keep_leaf_samples=True for quantiles");
  }
  try {
    check_quantiles(quantiles);
  } catch (const Exception& e) {
    throw py::value_error(e.get_message());
  }
  py::array_t<double> result;
  with_rows(X, num_classes, [&](const auto& data) {
    const std::size_t nq = quantiles.size();
    result = py::array_t<double>({static_cast<py::ssize_t>(data.get_num_instances()), static_cast<py::ssize_t>(nq)});
    double* out = result.mutable_data();
    guarded([&] {
      py::gil_scoped_release unlocked;
      const std::vector<std::vector<bool>> in_bag = out_of_bag ? in_bag_of(*samples) : std::vector<std::vector<bool>>();
      Sylvor::predict_quantiles(
          values, *samples, *ranks, data, quantiles, num_threads,
          [&](std::size_t i, std::size_t j, double v) { out[i * nq + j] = v; }, out_of_bag ? &in_bag : nullptr);
      return 0;
    }, Messages::Plain);
  });
  return std::move(result);
}

namespace {

// The in-bag masks of an in_bag argument: trees x rows, nonzero for in bag.
std::vector<std::vector<bool>> in_bag_masks_of(const py::object& given, std::size_t trees) {
  const auto array = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(given);
  if (!array || array.ndim() != 2 || static_cast<std::size_t>(array.shape(0)) != trees) {
    throw py::value_error("in_bag must be an array of one row per tree (" + std::to_string(trees) + ") and one "
                          "column per training row");
  }
  std::vector<std::vector<bool>> masks(trees, std::vector<bool>(static_cast<std::size_t>(array.shape(1))));
  for (std::size_t t = 0; t < trees; ++t) {
    for (std::size_t i = 0; i < masks[t].size(); ++i) masks[t][i] = array.at(t, i) != 0;
  }
  return masks;
}

}  // namespace

py::object ForestHandle::proximity(const py::object& X, const py::object& Y, std::size_t top_k,
                                   const py::object& in_bag, int num_threads) const {
  check_threads(num_threads);
  if (!in_bag.is_none() && !Y.is_none()) throw py::value_error("out-of-bag proximities are between training rows: Y must be None");
  const std::vector<std::vector<bool>> masks = in_bag.is_none() ? std::vector<std::vector<bool>>() : in_bag_masks_of(in_bag, trees.size());
  std::vector<std::size_t> nodes;
  for (const Tree<double>& tree : trees) nodes.push_back(tree.size());
  py::object result;
  with_rows(X, num_classes, [&](const auto& x) {
    with_rows(Y.is_none() ? X : Y, num_classes, [&](const auto& y) {
      const std::size_t nx = x.get_num_instances(), ny = y.get_num_instances();
      if (top_k == 0) {
        py::array_t<double> dense({static_cast<py::ssize_t>(nx), static_cast<py::ssize_t>(ny)});
        double* out = dense.mutable_data();
        guarded([&] {
          with_flat([&](const auto& flat) {
            py::gil_scoped_release unlocked;
            forest_proximities(flat, nodes, x, y, 0, masks.empty() ? nullptr : &masks, num_threads,
                               [&](std::size_t i, std::size_t j, double v) { out[i * ny + j] = v; });
          });
          return 0;
        }, Messages::Plain);
        result = std::move(dense);
        return;
      }
      std::vector<std::vector<std::pair<std::int64_t, double>>> rows(nx);
      guarded([&] {
        with_flat([&](const auto& flat) {
          py::gil_scoped_release unlocked;
          forest_proximities(flat, nodes, x, y, top_k, masks.empty() ? nullptr : &masks, num_threads,
                             [&](std::size_t i, std::size_t j, double v) { rows[i].push_back({static_cast<std::int64_t>(j), v}); });
        });
        return 0;
      }, Messages::Plain);
      std::vector<std::int64_t> indptr{0}, indices;
      std::vector<double> values;
      for (const auto& row : rows) {
        for (const auto& [j, v] : row) {
          indices.push_back(j);
          values.push_back(v);
        }
        indptr.push_back(static_cast<std::int64_t>(indices.size()));
      }
      result = py::make_tuple(numpy_copy(indptr), numpy_copy(indices), numpy_copy(values));
    });
  });
  return result;
}

std::shared_ptr<ForestHandle> ForestHandle::extended(const ForestHandle& other) const {
  return join({this, &other});
}

std::shared_ptr<ForestHandle> ForestHandle::joined(const std::vector<std::shared_ptr<ForestHandle>>& forests) {
  std::vector<const ForestHandle*> handles;
  for (const auto& given : forests) handles.push_back(given.get());
  return join(handles);
}

std::shared_ptr<ForestHandle> ForestHandle::join(const std::vector<const ForestHandle*>& forests) {
  if (forests.empty()) throw py::value_error("joining needs at least one forest");
  const int num_classes = forests.front()->num_classes;
  const FeatureLevels& levels = forests.front()->levels;
  Forest<double> trees;
  std::vector<std::vector<double>> rows;
  bool every_importance = true;
  for (const ForestHandle* given : forests) {
    if (given->num_classes != num_classes) {
      throw py::value_error("a forest of " + std::to_string(num_classes) + " classes cannot take the trees of one of " +
                            std::to_string(given->num_classes));
    }
    if (!(given->levels == levels)) {
      throw py::value_error("forests of different categorical features or level names cannot be joined");
    }
    trees.insert(trees.end(), given->trees.begin(), given->trees.end());
    every_importance = every_importance && !given->importances.empty();
    rows.insert(rows.end(), given->importances.begin(), given->importances.end());
  }
  if (!every_importance) rows.clear();
  auto handle = std::make_shared<ForestHandle>(std::move(trees), num_classes, std::move(rows), levels);
  handle->set_leaf_samples(joined_leaf_samples(forests));
  return handle;
}

py::array column_medians(const py::object& X) {
  py::array result;
  with_rows(X, 1, [&](const auto& data) { result = numpy_copy(data.column_medians()); });
  return result;
}

py::object ForestHandle::missing_sides() const { return missing_side_arrays(trees); }

py::tuple ForestHandle::pickled() const {
  return py::make_tuple(tree_arrays(), num_classes, importances, missing_sides(), level_sets(),
                        get_feature_levels(), leaf_samples());
}

std::shared_ptr<ForestHandle> ForestHandle::unpickled(const py::tuple& state) {
  if (state.size() != 3 && state.size() != 4 && state.size() != 6 && state.size() != 7) {
    throw py::value_error("not the pickled state of a Forest");
  }
  const auto item = [&](std::size_t i) { return i < state.size() ? py::object(state[i]) : py::object(py::none()); };
  return from_arrays(state[0], state[1].cast<int>(), state[2], item(3), item(4), item(5), item(6));
}

namespace {

void register_quantiles(py::class_<ForestHandle, std::shared_ptr<ForestHandle>>& forest) {
  forest
      .def("predict_quantiles", &ForestHandle::predict_quantiles, py::arg("X"), py::arg("quantiles"),
           py::arg("num_threads") = 0, py::arg("out_of_bag") = false,
           "Per row and quantile (each in [0, 1]), the conditional quantile of a regressor that kept its leaf "
           "samples (float64): each tree whose leaf holds n draws gives each the weight 1/n, and the q-quantile "
           "is the smallest training target whose share of the weight, with the smaller targets', reaches q (no "
           "interpolation: always a training target; NaN for a row whose leaves hold no draws). With "
           "out_of_bag=True, X holds the training rows in order and each row is answered by the trees whose "
           "samples missed it (NaN when none did).")
      .def_property_readonly("has_leaf_samples", &ForestHandle::has_leaf_samples)
      .def("proximity", &ForestHandle::proximity, py::arg("X"), py::arg("Y") = py::none(), py::arg("top_k") = 0,
           py::arg("in_bag") = py::none(), py::arg("num_threads") = 0,
           "Proximities of the rows of X to those of Y (X itself when None): the share of the trees in which both "
           "reach the same leaf; float64 X rows x Y rows when top_k is 0, else (indptr, indices, values), the "
           "CSR rows of each X row's top_k largest positive proximities (largest first, equal ones by column). "
           "With in_bag (uint8, trees x training rows, as out_of_bag(..., in_bag_masks=True) gives it), X holds "
           "the training rows, Y is None, and a pair counts only the trees whose samples missed both.")
      .def("leaf_samples", &ForestHandle::leaf_samples,
           "None, or (targets float64, per tree (offsets uint32, draws uint32)): the draws of node k of a tree "
           "are draws[offsets[k]:offsets[k + 1]], training instance numbers (repeated as drawn) in ascending "
           "target order.");
}

void register_constructors(py::class_<ForestHandle, std::shared_ptr<ForestHandle>>& forest) {
  forest
      .def_static("from_arrays", &ForestHandle::from_arrays, py::arg("forest"), py::arg("num_classes"),
                  py::arg("tree_importances") = py::none(), py::arg("missing_sides") = py::none(),
                  py::arg("level_sets") = py::none(), py::arg("feature_levels") = py::none(),
                  py::arg("leaf_samples") = py::none(),
                  "The forest of tree arrays (or lisp text): a classifier of num_classes classes, or a regressor "
                  "for num_classes=0; tree_importances, when given, holds one row per tree; missing_sides, when "
                  "given, one array per tree array (1 where a node sends missing values left): trees that "
                  "learned where missing values go; level_sets and feature_levels, as Forest.level_sets() and "
                  "Forest.feature_levels give them, the nodes testing categorical features and their level names; "
                  "leaf_samples, as Forest.leaf_samples() gives them, a regressor's leaf samples (checked).")
      .def_static("joined", &ForestHandle::joined, py::arg("forests"),
                  "One forest of the trees of several, in order (their importances kept when all have them).")
      .def_static("from_model_text", &ForestHandle::from_model_text, py::arg("text"), py::arg("num_classes"),
                  "The forest of model text (bytes of a lisp or vectortxt model file).");
}

}  // namespace

void register_forest_handle(py::module_& m) {
  py::class_<ForestHandle, std::shared_ptr<ForestHandle>> forest(
      m, "Forest",
      "A forest held in the module: the trees and their packed form for prediction, built once. Rows are "
      "instances x features (float64 or float32). Made by learn(..., as_forest=True), Forest.from_arrays or "
      "Forest.from_model_text; never changed afterwards.");
  register_quantiles(forest);
  register_constructors(forest);
  forest
      .def("__len__", &ForestHandle::size)
      .def_property_readonly("num_classes", &ForestHandle::get_num_classes)
      .def_property_readonly("feature_levels", &ForestHandle::get_feature_levels,
                             "Per feature, None (a number) or the level names of a categorical feature by level "
                             "number (rows hold level numbers there); None when no feature is categorical.")
      .def("level_sets", &ForestHandle::level_sets,
           "Per tree, None when it tests no levels, else per node None or the levels it sends left (uint32, "
           "ascending); None when no tree tests levels.")
      .def("tree_dot", &ForestHandle::tree_dot, py::arg("tree"), py::arg("feature_names"), py::arg("class_names"),
           py::arg("max_depth") = -1,
           "The Graphviz DOT text of one tree: nodes deeper than max_depth (>= 0) elided, level sets named.")
      .def_property_readonly("missing_values", &ForestHandle::get_missing_values,
                             "'split' when the trees learned where missing values go (rows are taken as they "
                             "are), else 'median' (missing values are to be filled before asking).")
      .def("predict", &ForestHandle::predict, py::arg("X"), py::arg("num_threads") = 0,
           "Per row, the class voted for most (int32) or the mean of the leaves (float64).")
      .def("predict_proba", &ForestHandle::predict_proba, py::arg("X"), py::arg("num_threads") = 0,
           "Per row and class, the share of the trees voting for it.")
      .def("apply", &ForestHandle::apply, py::arg("X"), py::arg("num_threads") = 0,
           "Per row and tree, the breadth-first number of the leaf reached (int32).")
      .def("decision_path", &ForestHandle::decision_path, py::arg("X"),
           "The nodes each row passes: (indptr, indices, offsets), a CSR matrix of the trees' nodes side by side "
           "and the offset of each tree's nodes.")
      .def("tree_arrays", &ForestHandle::tree_arrays, "The (5, nodes) float64 arrays of the trees, read-only.")
      .def("missing_sides", &ForestHandle::missing_sides,
           "Per tree, the side each node sends missing values to (uint8, 1 for left), or None when the trees "
           "did not learn where they go.")
      .def("tree_importances", &ForestHandle::tree_importances,
           "Each tree's importances (trees x features), or None when learning did not record them.")
      .def("feature_importances", &ForestHandle::feature_importances,
           "The mean of the trees' importances, added in tree order, or None.")
      .def("model_text", &ForestHandle::model_text, py::arg("format") = "vectortxt",
           "The model text (bytes) of the forest, 'lisp' or 'vectortxt'.")
      .def("extended", &ForestHandle::extended, py::arg("other"),
           "A forest of these trees followed by those of other.")
      .def(py::pickle([](const ForestHandle& handle) { return handle.pickled(); },
                      [](const py::tuple& state) { return ForestHandle::unpickled(state); }));
  m.def("column_medians", &column_medians, py::arg("X"),
        "The upper median of the non-NaN values of each column of X (instances x features, float64 or float32; "
        "0 for a column without any), as float64: the values that fill missing ones.");
}

}  // namespace PySylvor
