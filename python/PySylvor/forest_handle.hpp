// A forest owned across the Python boundary: the module's class Forest.
// It holds the trees in their stored form (values as doubles: class numbers
// 0 .. K - 1 of a classifier, or means of a regressor), the packed form that
// prediction walks, built once when the handle is made, and each tree's
// importances when learning knew them. It predicts labels or means, class
// vote fractions, the leaves and the decision paths of rows (instances x
// features, float64 or float32), writes model text, pickles through its
// tree arrays (every field exactly, where model text writes NaN thresholds
// as 0), and joins with others. A forest learned with categorical features
// keeps their level names (model text writes them) and each node's set of
// levels sent left; rows hold level numbers for those features. A regressor
// learned with its leaf samples keeps them (the draws in each leaf and the
// training targets) and answers conditional quantiles.
//
// A handle never changes once made, so any number of Python threads may use
// one at once: the interpreter lock is released while it walks rows. The
// tree arrays are made on first request (under the lock) and kept,
// read-only.
#ifndef PYSYLVOR_FOREST_HANDLE_HPP
#define PYSYLVOR_FOREST_HANDLE_HPP

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "Sylvor/model/flat_forest.hpp"
#include "Sylvor/model/leaf_samples.hpp"
#include "Sylvor/model/levels.hpp"
#include "Sylvor/predict/quantiles.hpp"
#include "Sylvor/model/tree.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

class ForestHandle {
public:
  // A classifier of num_classes classes (at least 1; every leaf votes for
  // one of them), or a regressor (num_classes 0). `tree_importances` holds
  // one row per tree, or nothing.
  // `levels` names the levels of the categorical features: every node
  // testing levels must test one of them and send left only levels it names
  // (ValueError otherwise).
  ForestHandle(Forest<double> trees, int num_classes, std::vector<std::vector<double>> tree_importances = {},
               FeatureLevels levels = {});

  // The handle of a forest argument (tree arrays or lisp text; with
  // `missing_sides`, one array per tree array, trees that learned where
  // missing values go; with `level_sets` and `feature_levels`, as
  // level_sets() and get_feature_levels() give them), or of model text
  // (bytes of a lisp or vectortxt model file, its level names included).
  // `leaf_samples`, when given, as leaf_samples() gives them.
  static std::shared_ptr<ForestHandle> from_arrays(const py::object& forest, int num_classes,
                                                   const py::object& tree_importances = py::none(),
                                                   const py::object& missing_sides = py::none(),
                                                   const py::object& level_sets = py::none(),
                                                   const py::object& feature_levels = py::none(),
                                                   const py::object& leaf_samples = py::none());
  static std::shared_ptr<ForestHandle> from_model_text(const py::bytes& text, int num_classes);

  std::size_t size() const { return trees.size(); }
  int get_num_classes() const { return num_classes; }
  // "split" when the trees learned where missing values go, else "median".
  std::string get_missing_values() const {
    return !trees.empty() && trees.front().missing_learned ? "split" : "median";
  }
  const Forest<double>& get_trees() const { return trees; }
  const FeatureLevels& get_levels() const { return levels; }
  // Per feature up to the last categorical one, None (numeric) or its level
  // names by level number; None when no feature is categorical.
  py::object get_feature_levels() const;
  // Per tree, None when it tests no levels, else per node None or the
  // levels the node sends left (uint32, ascending); None when no tree tests
  // levels.
  py::object level_sets() const;
  // The Graphviz DOT text of tree k (level names in its level tests).
  std::string tree_dot(std::size_t k, const std::vector<std::string>& feature_names,
                       const std::vector<std::string>& class_names, int max_depth) const;

  // Per row: the class voted for most (int32; the smallest among ties), or
  // the mean of the leaves (float64).
  py::array predict(const py::object& X, int num_threads) const;
  // Per row and class: the share of the trees voting for it (float64).
  py::array predict_proba(const py::object& X, int num_threads) const;
  // Per row and tree: the breadth-first number of the leaf reached (int32).
  py::array apply(const py::object& X, int num_threads) const;
  // Per row and quantile: the conditional quantile of a regressor with leaf
  // samples (see Sylvor/predict/quantiles.hpp), float64; out of bag, X
  // holds the training rows in order, each answered by the trees whose
  // samples missed it.
  py::array predict_quantiles(const py::object& X, const std::vector<double>& quantiles, int num_threads,
                              bool out_of_bag) const;

  // Proximities of the rows of X to those of Y (X itself when None): the
  // share of trees in which both reach the same leaf, float64 X rows x Y
  // rows when top_k is 0, else (indptr, indices, values) of the top_k
  // largest positive ones per X row (int64, int64, float64). With
  // `in_bag` (uint8, trees x rows), X holds the training rows and Y is
  // None: out-of-bag proximities.
  py::object proximity(const py::object& X, const py::object& Y, std::size_t top_k, const py::object& in_bag,
                       int num_threads) const;

  // Keeps `samples` (one record per tree, checked against the trees;
  // ValueError otherwise), or none for a null pointer.
  void set_leaf_samples(std::shared_ptr<const LeafSamples> samples);
  bool has_leaf_samples() const { return samples != nullptr; }
  const std::shared_ptr<const LeafSamples>& get_leaf_samples() const { return samples; }
  // None, or (targets float64, list per tree of (offsets uint32, draws
  // uint32)), copies.
  py::object leaf_samples() const;
  // The nodes each row passes, as a CSR matrix of the trees' nodes side by
  // side: (indptr, indices, offsets of each tree's nodes), int64.
  py::tuple decision_path(const py::object& X) const;

  // The (5, nodes) float64 arrays of the trees, read-only, made once.
  py::list tree_arrays() const;
  // Per tree, its nodes' missing sides (uint8, 1 for left), or None for
  // trees that did not learn them.
  py::object missing_sides() const;
  // Each tree's importances (trees x features, float64) and their mean in
  // tree order, or None when learning did not record them.
  py::object tree_importances() const;
  py::object feature_importances() const;

  // The model text of the forest, "lisp" or "vectortxt" (bytes).
  py::bytes model_text(const std::string& format) const;

  // A handle of these trees followed by those of `other` (of the same task),
  // and one of the trees of several handles in order. The leaf samples are
  // kept when every forest has them, of the same targets.
  std::shared_ptr<ForestHandle> extended(const ForestHandle& other) const;
  static std::shared_ptr<ForestHandle> joined(const std::vector<std::shared_ptr<ForestHandle>>& forests);

  // What pickling keeps: (tree arrays, num_classes, tree importances,
  // missing sides, level sets, feature levels, leaf samples); states of the
  // first three, four or six alone read too.
  py::tuple pickled() const;
  static std::shared_ptr<ForestHandle> unpickled(const py::tuple& state);

private:
  static std::shared_ptr<ForestHandle> join(const std::vector<const ForestHandle*>& forests);

  template <class Visit>
  auto with_flat(Visit visit) const {
    return num_classes > 0 ? visit(classes) : visit(values);
  }

  Forest<double> trees;
  int num_classes;
  std::vector<std::vector<double>> importances;  // per tree, or empty
  FeatureLevels levels;                           // the categorical features' level names
  FlatForest<int> classes;                        // a classifier's packed trees
  FlatForest<double> values;                      // a regressor's
  mutable py::object arrays;                      // the tree arrays once made
  std::shared_ptr<const LeafSamples> samples;     // a regressor's leaf samples, or none
  std::shared_ptr<const TargetRanks> ranks;       // their targets' ranks, with them
};

// The leaf samples of a leaf_samples argument (as ForestHandle::leaf_samples
// gives them); ValueError naming what is wrong.
std::shared_ptr<const LeafSamples> leaf_samples_of(const py::object& given);

// The upper median of the non-NaN values of each column of X (instances x
// features, float64 or float32; 0 for a column without any), as float64.
py::array column_medians(const py::object& X);

// The level names of a feature_levels argument: None, or per feature None
// or a sequence of level names (str) by level number; ValueError for names
// a model cannot hold.
FeatureLevels feature_levels_of(const py::object& feature_levels);

// Registers the class Forest and column_medians in the module.
void register_forest_handle(py::module_& m);

}  // namespace PySylvor

#endif
