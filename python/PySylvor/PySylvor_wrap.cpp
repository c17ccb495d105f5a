// PySylvor_wrap: the library on numpy arrays. This file only registers the
// module's entries; what they do lives by concern beside it: arrays (checks
// and copies), errors, interruption (Ctrl-C and the progress line), pool
// (the seeded generators), learning, prediction and files.
//
// Every call owns what it builds (the data set copy, the trees, the
// predictor) and frees it before returning; between calls the module keeps
// only the generator pool. Arguments are checked before anything is read,
// so no array is read or written outside its bounds. The interpreter lock
// is released while a forest is learned or applied (only the library's own
// memory and the output arrays are touched then), so other Python threads
// run meanwhile.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "python/PySylvor/files.hpp"
#include "python/PySylvor/forest_handle.hpp"
#include "python/PySylvor/learning.hpp"
#include "python/PySylvor/pool.hpp"
#include "python/PySylvor/prediction.hpp"

namespace py = pybind11;
using namespace Sylvor;
using namespace PySylvor;

namespace {

// Registers one entry of the fixed family: positional arguments as ever,
// now with names (so keywords work too) and a docstring made from the
// entry's types.
template <class Function, class... Names>
void def_entry(py::module_& m, const char* name, Function function, const std::string& doc, Names... names) {
  m.def(name, function, py::arg(names)..., doc.c_str());  // pybind11 copies the docstring
}

template <class F, class L, class Criterion>
void def_learn(py::module_& m, const char* name, const char* feature_type, const char* label_type,
               const char* criterion) {
  def_entry(m, name, &learn_wrap<F, L, Criterion>,
            std::string("Learns a classification forest with the ") + criterion + " criterion from X (" +
                feature_type + ", features x instances: one row per feature) and Y (" + label_type +
                ", one class number 0 .. num_classes - 1 per instance), num_trees trees on bootstrap samples of "
                "sampling_prop times the instances, fte_per_split features tried per split (0 for all), "
                "max_depth (0 for none), num_threads threads (0 for all). Returns (list of (5, nodes) float64 "
                "tree arrays, float64 feature importances or None unless compute_feature_importances is 1).",
            "X", "Y", "num_classes", "num_trees", "sampling_prop", "fte_per_split", "max_depth", "num_threads",
            "compute_feature_importances");
}

template <class F>
void def_test(py::module_& m, const char* name, const char* feature_type) {
  def_entry(m, name, &test_wrap<F>,
            std::string("Predicts the class of every instance of X (") + feature_type +
                ", features x instances) by the majority of the forest's trees (a list of tree arrays or lisp "
                "text) into out (int32, one entry per instance). Returns 0.0.",
            "X", "forest", "num_classes", "out", "num_threads");
}

template <class F, class P>
void def_prob(py::module_& m, const char* name, const char* feature_type, const char* out_type) {
  def_entry(m, name, &prob_wrap<F, P>,
            std::string("Writes, for every instance of X (") + feature_type +
                ", features x instances), the fraction of the forest's trees voting for each class into out (" +
                out_type + ", instances x num_classes). Returns 0.0.",
            "X", "forest", "num_classes", "out", "num_threads");
}


// The typed learning entries learn_<x><y>_<criterion>.
void register_typed_learning(py::module_& m) {
  def_learn<int, int, TwoSplitInfoGain>(m, "learn_ii_infogain", "int32", "int32", "information gain");
  def_learn<double, int, TwoSplitInfoGain>(m, "learn_di_infogain", "float64", "int32", "information gain");
  def_learn<float, int, TwoSplitInfoGain>(m, "learn_si_infogain", "float32", "int32", "information gain");
  def_learn<unsigned char, int, TwoSplitInfoGain>(m, "learn_bi_infogain", "uint8", "int32", "information gain");
  def_learn<int, int, TwoSplitGiniImpurity>(m, "learn_ii_gini", "int32", "int32", "Gini impurity");
  def_learn<double, int, TwoSplitGiniImpurity>(m, "learn_di_gini", "float64", "int32", "Gini impurity");
  def_learn<float, int, TwoSplitGiniImpurity>(m, "learn_si_gini", "float32", "int32", "Gini impurity");
  def_learn<unsigned char, int, TwoSplitGiniImpurity>(m, "learn_bi_gini", "uint8", "int32", "Gini impurity");
  def_learn<int, int, TwoSplitGainRatio>(m, "learn_ii_gainratio", "int32", "int32", "gain ratio");
  def_learn<double, int, TwoSplitGainRatio>(m, "learn_di_gainratio", "float64", "int32", "gain ratio");
  def_learn<float, int, TwoSplitGainRatio>(m, "learn_si_gainratio", "float32", "int32", "gain ratio");
  def_learn<unsigned char, int, TwoSplitGainRatio>(m, "learn_bi_gainratio", "uint8", "int32", "gain ratio");
  // Class numbers held in float64 / float32 labels; learned with gain ratio.
  const char* ratio = "gain ratio (class numbers held in floating labels)";
  def_learn<int, double, TwoSplitGainRatio>(m, "learn_id_variance", "int32", "float64", ratio);
  def_learn<double, double, TwoSplitGainRatio>(m, "learn_dd_variance", "float64", "float64", ratio);
  def_learn<float, double, TwoSplitGainRatio>(m, "learn_sd_variance", "float32", "float64", ratio);
  def_learn<unsigned char, double, TwoSplitGainRatio>(m, "learn_bd_variance", "uint8", "float64", ratio);
  def_learn<int, float, TwoSplitGainRatio>(m, "learn_is_variance", "int32", "float32", ratio);
  def_learn<double, float, TwoSplitGainRatio>(m, "learn_ds_variance", "float64", "float32", ratio);
  def_learn<float, float, TwoSplitGainRatio>(m, "learn_ss_variance", "float32", "float32", ratio);
  def_learn<unsigned char, float, TwoSplitGainRatio>(m, "learn_bs_variance", "uint8", "float32", ratio);
}

// The typed prediction entries test_<x> and prob_<x><p>.
void register_typed_prediction(py::module_& m) {
  def_test<int>(m, "test_ii", "int32");
  def_test<double>(m, "test_di", "float64");
  def_test<float>(m, "test_si", "float32");
  def_test<unsigned char>(m, "test_bi", "uint8");
  def_prob<double, double>(m, "prob_dd", "float64", "float64");
  def_prob<double, float>(m, "prob_ds", "float64", "float32");
  def_prob<float, double>(m, "prob_sd", "float32", "float64");
  def_prob<float, float>(m, "prob_ss", "float32", "float32");
  def_prob<int, double>(m, "prob_id", "int32", "float64");
  def_prob<int, float>(m, "prob_is", "int32", "float32");
  def_prob<unsigned char, double>(m, "prob_bd", "uint8", "float64");
  def_prob<unsigned char, float>(m, "prob_bs", "uint8", "float32");
}

// The entries that seed the generators.
void register_seeding(py::module_& m) {
  def_entry(m, "init_pool", &init_pool_wrap,
            "Rebuilds the generator pool from a file of random bytes. Returns 0.0.", "name");
  def_entry(m, "set_seed", &set_seed_wrap,
            "Rebuilds the generator pool from an integer seed, so that later learning calls without their own "
            "seed reproduce. Returns 0.0.", "seed");
}

// Beyond the 34 typed entries, the general forms the sylvor package uses:
// learning and out-of-bag records.
void register_general_learning(py::module_& m) {
  m.def("learn", &learn_general, py::arg("X"), py::arg("y"),
        "learn(X, y, **keywords): learns a forest from X (features x instances) and y: classification with int32 "
        "class numbers 0 .. num_classes - 1 (num_classes=2) and the criterion 'gini' (the default), 'infogain' "
        "or 'gainratio', or regression with float64 targets and 'variance'. Returns (list of (5, nodes) float64 "
        "tree arrays, importances or None); as_forest=True returns a Forest in place of the list (its leaves "
        "multiplied by 2^leaf_exponent, exactly). With oob or permutation_importances it returns a third item, "
        "a dict: 'oob_trees' (int32, the out-of-bag trees of each instance) with 'oob_votes' (float64, "
        "instances x classes) or 'oob_prediction' (float64, NaN without out-of-bag trees) and 'oob_curve' "
        "(float64, the out-of-bag error rate or mean squared error of the first 1, 2, ... trees), and "
        "'permutation_importances' (float64, one per feature). With tree_importances (and seed) the dict is "
        "returned too, holding 'tree_importances' (float64, trees x features: each tree's normalised "
        "importances). compute_importances asks for the importances. verbose=1 shows a progress line on "
        "sys.stderr while the trees grow. num_trees (30) trees; each tree's sample holds sample_size instances "
        "(when positive) or sample_prop (1.0) times their number, drawn with replacement, by weight when "
        "sample_weight (float64, one per instance) is given; bootstrap=False grows every tree on every "
        "instance once. fte_per_split features are tried per split (0: all); max_depth limits the depth (0: "
        "none). A node of at most min_instances_per_node (1) instances is a leaf, and in regression one whose "
        "targets' variance is below leaf_variance (1e-5); a split leaves at least min_leaf_size (2) instances "
        "in each child, and only when its weighted impurity decrease (the node's share of the sample times the "
        "decrease of its Gini impurity, whatever the criterion, or of its variance) is at least "
        "min_impurity_decrease (0.0). max_leaf_nodes >= 1 grows each tree best first (the split with the largest weighted "
        "impurity decrease next) up to that many leaves; 0 grows breadth first. num_threads threads (0: all). "
        "Seeding: without seed, thread t draws from generator t of the pool that set_seed or init_pool built "
        "(the forest depends on num_threads; the next learn continues the streams); with seed, tree k draws "
        "from a generator derived from seed and first_tree + k alone (the same forest for every num_threads, "
        "and the trees of a forest learned as subforests). missing_values='median' (the default) fills the "
        "missing values (NaN) of each column with its upper median; 'split' leaves them, and each split "
        "learns the side they go to (the trees' arrays then have a sixth row, the missing sides). "
        "feature_levels (with missing_values='split' and as_forest=True) makes features categorical: per "
        "feature None (a number) or its level names, ascending, one word each; X then holds level numbers "
        "(0, 1, ..., or NaN) for those features, and each split on one sends a set of its levels left. "
        "keep_leaf_samples=True (regression, with as_forest=True) keeps in the Forest the draws each leaf holds "
        "and the targets, for Forest.predict_quantiles. Ctrl-C "
        "stops the learning between nodes and raises KeyboardInterrupt.");
  m.def("out_of_bag", &out_of_bag_general, py::arg("X"), py::arg("y"), py::arg("forest"),
        "out_of_bag(X, y, forest, seed=..., **keywords): the out-of-bag record of a forest (a Forest or tree "
        "arrays) that learn grew with seed=seed and first_tree=first_tree (0) from X and y, with the same "
        "criterion, num_classes, sample_prop, sample_size, bootstrap, sample_weight, missing_values and "
        "num_threads keywords: "
        "each tree's sample is drawn again from its own generator, then the dict that learn gives with oob (and "
        "permutation_importances) is worked out for the trees given. For forests joined from subforests or grown "
        "in steps.");
}

// Regression means and leaves.
void register_general_prediction(py::module_& m) {
  m.def("predict_regression", &predict_regression, py::arg("X"), py::arg("forest"), py::arg("out"),
        py::arg("num_threads") = 0, py::kw_only(), py::arg("learned_dtype") = py::none(),
        "Writes the mean of the trees' leaves for every instance into out (float64). With learned_dtype "
        "(float32 or float64, the type of the X the forest learned from), X is converted to it first, so that "
        "each value meets the thresholds as in learning.");
  m.def("apply", &apply_forest, py::arg("X"), py::arg("forest"), py::arg("out"), py::arg("num_threads") = 0,
        py::kw_only(), py::arg("learned_dtype") = py::none(),
        "Writes the breadth-first number of the leaf reached in every tree into out (int32, instances x trees); "
        "learned_dtype as for predict_regression.");
}

// The program's files and the DOT drawing of a tree.
void register_files(py::module_& m) {
  m.def("tree_dot", &tree_dot, py::arg("tree"), py::arg("feature_names") = std::vector<std::string>(),
        py::arg("class_names") = std::vector<std::string>(), py::arg("max_depth") = -1,
        py::arg("missing_sides") = py::none(),
        "The Graphviz DOT text of a (5, nodes) float64 tree array: split nodes show the feature's name (from "
        "feature_names, else 'feature K') and threshold, leaves the class name of their class number (from "
        "class_names) or their value; nodes deeper than max_depth (when >= 0) are elided as '(...)'. With "
        "missing_sides (one per node, 1 for left), the edge missing values take is labelled 'missing'.");
  m.def("read_model", &read_model, py::arg("path"),
        "Reads a lisp or vectortxt model file into a list of (5, nodes) float64 tree arrays; a missing, empty or "
        "non-regular file, or one without trees, is an error.");
  m.def("write_model", &write_model, py::arg("path"), py::arg("forest"), py::arg("format") = "vectortxt",
        py::arg("medians") = py::none(),
        "Writes a forest (tree arrays or lisp text) as a model file of the sylvor program, format 'lisp' or "
        "'vectortxt'; with medians (float64, the training columns' medians) also PATH.medians, which the "
        "program's test commands fill missing values with. Each file is written whole or not at all.");
  m.def("read_medians", &read_medians, py::arg("path"), py::arg("model_text") = py::none(),
        "The medians recorded beside a model file: ('recorded', float64 array), ('absent', None), or "
        "('stale', None) when PATH.medians was written for other model bytes than those of PATH, or those of "
        "model_text (bytes) when given: the bytes a caller read, which the file may no longer hold.");
  m.def("parse_model", &parse_model, py::arg("text"),
        "The trees of model text (the bytes of a lisp or vectortxt model file) as a list of (5, nodes) float64 "
        "tree arrays; text without trees is an error.");
  m.def("model_text", &model_text, py::arg("forest"), py::arg("format") = "vectortxt",
        "The text (bytes) of a model file of the sylvor program holding a forest (tree arrays or lisp text), "
        "format 'lisp' or 'vectortxt'.");
  m.def("write_model_text", &write_model_text_wrap, py::arg("path"), py::arg("text"),
        py::arg("medians") = py::none(), py::arg("companions") = std::vector<std::pair<std::string, py::bytes>>(),
        "Writes model text (bytes, as model_text makes it) to path; with medians also PATH.medians, recording "
        "the fingerprint of these very bytes, and each companion (a list of (suffix, bytes), such as "
        "('.meta', text)) as PATH + suffix. Every file is written before any is put in place; the companions "
        "go in place first, the model last.");
  m.def("parse_description", &parse_description, py::arg("text"),
        "read_description of description text (bytes) already read.");
  m.def("read_description", &read_description, py::arg("path"),
        "Reads a description file: (number of features or None, dict of class number -> class name, label "
        "type: 'discrete-zero-onward', 'plus-one-minus-one' or 'regression').");
}

}  // namespace

PYBIND11_MODULE(PySylvor_wrap, m) {
  m.doc() =
      "Sylvor random forests on numpy arrays. X is always features x instances (one row per feature; pass "
      "X.T for the usual instances x features layout). The fixed family learn_<x><y>_<criterion>, "
      "test_<x>, prob_<x><p> is typed by its letters (i int32, d float64, s float32, b uint8 features or "
      "labels; p the probability output); learn, predict_regression and apply are the general forms the "
      "sylvor package uses. set_seed and init_pool seed the generators; read_model, write_model, "
      "read_medians and read_description read and write the sylvor program's files. Trees are (5, nodes) "
      "float64 arrays: left child, right child, feature, threshold, value.";
  register_typed_learning(m);
  register_typed_prediction(m);
  register_seeding(m);
  register_forest_handle(m);
  register_general_learning(m);
  register_general_prediction(m);
  register_files(m);
}
