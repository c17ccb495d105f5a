// Trees as numpy arrays: each tree a (5, nodes) float64 array of the
// stored form row by row (left, right, feature, threshold, value), and
// forest arguments (sequences of such arrays, float64 or float32, or lisp
// text) turned into the library's trees, checked and renumbered. The
// missing sides of trees that learned where missing values go travel
// beside the arrays, one uint8 array per tree (1: the node sends them
// left), since a sixth row of a tree array has always been ignored. Called
// with the interpreter lock held.
#ifndef PYSYLVOR_TREE_ARRAYS_HPP
#define PYSYLVOR_TREE_ARRAYS_HPP

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/model/tree.hpp"
#include "python/PySylvor/arrays.hpp"
#include "python/PySylvor/forest_handle.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

// The tree array of a tree: float64, shape (5, nodes), C order.
template <class L>
py::array get_numpy_array_from_tree(const Tree<L>& tree) {
  const std::size_t n = tree.size();
  py::array_t<double> array({static_cast<py::ssize_t>(5), static_cast<py::ssize_t>(n)});
  double* out = array.mutable_data();
  std::copy(tree.left.begin(), tree.left.end(), out);
  std::copy(tree.right.begin(), tree.right.end(), out + n);
  std::copy(tree.feature.begin(), tree.feature.end(), out + 2 * n);
  std::copy(tree.threshold.begin(), tree.threshold.end(), out + 3 * n);
  std::copy(tree.value.begin(), tree.value.end(), out + 4 * n);
  return std::move(array);
}

// A list of the tree arrays of a forest.
template <class L>
py::list tree_arrays(const Forest<L>& forest) {
  py::list trees(forest.size());
  for (std::size_t k = 0; k < forest.size(); ++k) trees[k] = get_numpy_array_from_tree(forest[k]);
  return trees;
}

// A two-dimensional view of a numpy array (one dimension counts as one row).
template <class T>
Array2D<T> get_array_object(const std::string& name, const py::handle& obj) {
  if (!is_exact_ndarray(obj)) {
    throw name + ": must be a dense, non-record Python array.";
  }
  const py::array array = py::reinterpret_borrow<py::array>(obj);
  char* data = static_cast<char*>(const_cast<void*>(array.data()));
  if (array.ndim() == 2) return Array2D<T>(data, array.shape(0), array.shape(1), array.strides(0), array.strides(1));
  if (array.ndim() == 1) return Array2D<T>(data, 1, array.shape(0), 1, array.strides(0));
  throw name + ": only 1D or 2D arrays supported.";
}

// A copy of a tree whose values are of type L (truncated toward zero for an
// integer type).
template <class L, class From>
Tree<L> with_values_as(const Tree<From>& stored) {
  Tree<L> tree;
  tree.left = stored.left;
  tree.right = stored.right;
  tree.feature = stored.feature;
  tree.threshold = stored.threshold;
  tree.missing_left = stored.missing_left;
  tree.missing_learned = stored.missing_learned;
  tree.level_set = stored.level_set;
  tree.level_words = stored.level_words;
  tree.value.resize(stored.size());
  for (std::size_t k = 0; k < stored.size(); ++k) tree.value[k] = detail::truncate_to<L>(stored.value[k]);
  return tree;
}

// The missing sides of each tree of a forest that learned them (one uint8
// array per tree, in node order), or None.
template <class L>
py::object missing_side_arrays(const Forest<L>& forest) {
  if (forest.empty() || !forest.front().missing_learned) return py::none();
  py::list sides(forest.size());
  for (std::size_t k = 0; k < forest.size(); ++k) {
    py::array_t<std::uint8_t> side(static_cast<py::ssize_t>(forest[k].size()));
    std::copy(forest[k].missing_left.begin(), forest[k].missing_left.end(), side.mutable_data());
    sides[k] = side;
  }
  return std::move(sides);
}

// The tree of a tree array into `tree`, with the missing sides `sides` (a
// one-dimensional array, one entry per node) when not None; false for an
// array without columns.
template <class T, class L>
bool convert_array_to_tree(const py::handle& obj, Tree<L>& tree, const py::handle& sides = py::none()) {
  const Array2D<T> array = get_array_object<T>("forest[i]", obj);
  if (array.num_rows() < 5) throw std::string("decision tree array must have at least 5 rows");
  if (array.num_cols() == 0) return false;
  if (sides.is_none()) {
    tree = tree_from_arrays<L>(array.num_cols(), array.get_row(0), array.get_row(1), array.get_row(2),
                               array.get_row(3), array.get_row(4));
  } else {
    const py::array_t<double, py::array::c_style | py::array::forcecast> side =
        py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(sides);
    if (!side || side.ndim() != 1 || static_cast<std::size_t>(side.shape(0)) != array.num_cols()) {
      throw std::string("the missing sides of a tree must be one number per node");
    }
    tree = tree_from_arrays<L>(array.num_cols(), array.get_row(0), array.get_row(1), array.get_row(2),
                               array.get_row(3), array.get_row(4), std::vector<double>(side.data(), side.data() + side.shape(0)));
  }
  return true;
}

// Appends the trees of a forest argument: a Forest, lisp text (str or
// bytes), or a sequence of float32/float64 tree arrays (other items are
// skipped), with `missing_sides` (not None) a sequence of one array per
// tree array.
template <class L>
void convert_forest(const py::object& obj, Forest<L>& forest, const py::object& missing_sides = py::none()) {
  if (py::isinstance<ForestHandle>(obj)) {
    for (const Tree<double>& stored : obj.cast<const ForestHandle&>().get_trees()) {
      forest.push_back(with_values_as<L>(stored));
    }
    return;
  }
  if (py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj)) {
    std::istringstream in(py::isinstance<py::str>(obj) ? obj.cast<std::string>()
                                                       : std::string(py::reinterpret_borrow<py::bytes>(obj)));
    read_forest_as_lisp(in, forest);
    return;
  }
  if (!PySequence_Check(obj.ptr())) throw std::string("forest must be a string or a sequence of float32/float64 arrays");
  const Py_ssize_t length = PySequence_Size(obj.ptr());
  if (length < 0) {
    PyErr_Clear();
    throw std::string("invalid sequence to represent python objects");
  }
  const py::object float32 = py::dtype::of<float>(), float64 = py::dtype::of<double>();
  const bool with_sides = !missing_sides.is_none();
  if (with_sides && (!PySequence_Check(missing_sides.ptr()) || py::len(missing_sides) != static_cast<std::size_t>(length))) {
    throw std::string("missing_sides must hold one array per tree array");
  }
  Tree<L> tree;
  for (Py_ssize_t k = 0; k < length; ++k) {
    PyObject* raw = PySequence_GetItem(obj.ptr(), k);
    if (raw == nullptr) {
      PyErr_Clear();
      continue;
    }
    const py::object item = py::reinterpret_steal<py::object>(raw);  // released after use
    if (!is_exact_ndarray(item)) continue;
    const py::dtype dtype = py::reinterpret_borrow<py::array>(item).dtype();
    bool made;
    const py::object sides = with_sides ? py::object(missing_sides[py::int_(k)]) : py::object(py::none());
    if (dtype.equal(float64)) {
      made = convert_array_to_tree<double>(item, tree, sides);
    } else if (dtype.equal(float32)) {
      made = convert_array_to_tree<float>(item, tree, sides);
    } else {
      throw std::string("only float32/float64 supported for numpy arrays that encode decision trees");
    }
    if (made) forest.push_back(std::move(tree));
  }
}

}  // namespace PySylvor

#endif
