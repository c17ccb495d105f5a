// PySylvor_wrap: the library on numpy arrays. Learns classification forests
// (class labels held as int32, float64 or float32) and regression forests,
// returns each tree as a (5, nodes) float64 array (the stored tree form row
// by row) and the feature importances, predicts labels, class-vote fractions
// and means from such arrays or from lisp text, reads and writes the
// program's model files and reads description files, and seeds the random
// generators.
//
// Every call owns what it builds (the data set copy, the trees, the
// predictor) and frees it before returning; between calls the module keeps
// only the generator pool and the OpenMP thread count. Arguments are checked
// before anything is read, so no array is read or written outside its
// bounds. The interpreter lock is released while a forest is learned or
// applied (only the library's own memory and the output arrays are touched
// then), so other Python threads run meanwhile. A progress line (verbose) is
// written to sys.stderr by a display thread of the call's own, which takes
// the lock for each write and is joined before the call takes it back.
#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "python/PySylvor/native_array_dataset.hpp"
#include "python/PySylvor/contiguous_array_2d.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/defs/random.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/medians_io.hpp"
#include "Sylvor/io/model_file.hpp"
#include "Sylvor/io/tree_dot.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/learn/forest.hpp"
#include "Sylvor/learn/out_of_bag.hpp"
#include "Sylvor/learn/seeding.hpp"
#include "Sylvor/learn/settings.hpp"
#include "Sylvor/predict/predictor.hpp"

namespace py = pybind11;
using namespace Sylvor;

namespace {

template <class T>
const char* dtype_name() {
  if (std::is_same<T, int>::value) return "int32";
  if (std::is_same<T, double>::value) return "float64";
  if (std::is_same<T, float>::value) return "float32";
  return "uint8";
}

// True for a numpy array that is not of a subclass.
bool is_exact_ndarray(const py::handle& obj) {
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

// How an entry words the library's failures: the 34 typed entries as the
// program's error lines less the program prefix ("error: ..." and a newline,
// which their callers may match), the general entries as plain messages.
enum class Messages { AsTheProgram, Plain };

// Runs `work`, turning the library's failures into RuntimeError.
template <class Work>
auto guarded(Work&& work, Messages style = Messages::AsTheProgram) -> decltype(work()) {
  const bool plain = style == Messages::Plain;
  try {
    return work();
  } catch (const DataIOException& e) {
    const std::string line = std::to_string(e.get_line_no());
    throw std::runtime_error(plain ? "line " + line + ": " + e.get_message()
                                   : "error (line " + line + "): " + e.get_message() + "\n");
  } catch (const Exception& e) {
    throw std::runtime_error(plain ? e.get_message() : "error: " + e.get_message() + "\n");
  } catch (const std::string& message) {
    throw std::runtime_error(message);
  }
}

// The thread count of a call, given to each of its parallel regions (the
// process-wide OpenMP setting is never changed, so concurrent calls with
// other counts do not disturb each other).
void check_threads(int num_threads) {
  if (num_threads > max_threads) {
    throw py::value_error("num_threads must be at most " + std::to_string(max_threads) + ", not " +
                          std::to_string(num_threads));
  }
}

// The module's generator pool: the library's process-wide pool, rebuilt by
// init_pool and set_seed and leased by learning with per-thread seeding.
// Every use holds this lock; `generation` counts the rebuilds.
struct PoolGuard {
  std::mutex mutex;
  unsigned long generation = 0;
};

PoolGuard& module_pool() {
  static PoolGuard guard;
  return guard;
}

// A copy of the pool's generators for one learning call (a pool from
// /dev/urandom is built when none exists yet), and the generation it was
// taken from.
std::pair<ForestGenerators, unsigned long> lease_generators() {
  PoolGuard& guard = module_pool();
  const std::lock_guard<std::mutex> lock(guard.mutex);
  const XorShiftRNGPool& pool = *get_pool("", default_pool_size(), 0, false);
  return {ForestGenerators::per_thread(pool), guard.generation};
}

// Puts the leased generators back as learning left them, so that the next
// learn continues their streams, unless the pool was rebuilt meanwhile.
void return_generators(const ForestGenerators& generators, unsigned long generation) {
  PoolGuard& guard = module_pool();
  const std::lock_guard<std::mutex> lock(guard.mutex);
  if (guard.generation != generation) return;
  XorShiftRNGPool& pool = *get_pool("", default_pool_size(), 0, false);
  const std::vector<XorShiftRNG>& streams = generators.get_streams();
  for (std::size_t i = 0; i < streams.size() && i < pool.size(); ++i) *pool.get_generator(i) = streams[i];
}

// Runs work(control) on a thread of its own while the calling thread, which
// holds the interpreter lock, waits for it in short slices without the lock
// and checks for signals between them. A pending signal (Ctrl-C) asks the
// work to stop, waits for it and raises the signal's exception
// (KeyboardInterrupt); the work's own exception is rethrown here.
template <class Result, class Work>
Result run_interruptibly(Work work, ProgressCounter* progress) {
  std::atomic<bool> stop{false};
  WorkControl control;
  control.progress = progress;
  control.stop = &stop;
  std::optional<Result> result;
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread worker([&] {
    try {
      result.emplace(work(control));
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
  });
  for (bool over = false; !over;) {
    {
      py::gil_scoped_release unlocked;
      std::unique_lock<std::mutex> lock(mutex);
      over = finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; });
    }
    if (!over && PyErr_CheckSignals() != 0) {
      stop = true;
      {
        py::gil_scoped_release unlocked;
        worker.join();
      }
      throw py::error_already_set();
    }
  }
  worker.join();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
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

// The tree of a tree array into `tree`; false for an array without columns.
template <class T, class L>
bool convert_array_to_tree(const py::handle& obj, Tree<L>& tree) {
  const Array2D<T> array = get_array_object<T>("forest[i]", obj);
  if (array.num_rows() < 5) throw std::string("decision tree array must have at least 5 rows");
  if (array.num_cols() == 0) return false;
  tree = tree_from_arrays<L>(array.num_cols(), array.get_row(0), array.get_row(1), array.get_row(2), array.get_row(3),
                             array.get_row(4));
  return true;
}

// Appends the trees of a forest argument: lisp text (str or bytes), or a
// sequence of float32/float64 tree arrays (other items are skipped).
template <class L>
void convert_forest(const py::object& obj, Forest<L>& forest) {
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
    if (dtype.equal(float64)) {
      made = convert_array_to_tree<double>(item, tree);
    } else if (dtype.equal(float32)) {
      made = convert_array_to_tree<float>(item, tree);
    } else {
      throw std::string("only float32/float64 supported for numpy arrays that encode decision trees");
    }
    if (made) forest.push_back(std::move(tree));
  }
}

// A float64 numpy array holding a copy of the values.
py::array_t<double> numpy_copy(const std::vector<double>& values) {
  py::array_t<double> array(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// What learning may add beyond the trees and importances.
struct LearnExtras {
  bool oob = false;           // out-of-bag votes or predictions of every instance
  bool permutation = false;   // permutation importances
  int verbose = 0;            // > 0: a progress line on sys.stderr
  std::optional<long long> seed;  // per-tree seeding from this seed; else the module's pool, per thread
  long long first_tree = 0;       // per tree: the number of the first tree (a part of a larger forest)
  bool tree_importances = false;  // each tree's importances (trees x features), with per-tree seeding
  Messages messages = Messages::AsTheProgram;  // how the library's failures are worded
  // Instead of learning: the trees of a forest learned with `seed`, whose
  // samples are drawn again for their out-of-bag record.
  const py::object* given_forest = nullptr;
};

// Writes progress text to sys.stderr, from the display thread: the
// interpreter lock is taken for the write (the learning thread has released
// it). A stream that fails ends the display (the learning goes on).
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

// The extras as a dict: "oob_trees" (int32, instances) with "oob_votes"
// (float64, instances x classes) or "oob_prediction" (float64, NaN for an
// instance without out-of-bag trees), and "permutation_importances".
template <class Task, class DataSet>
py::dict learn_extras(const Task& task, const DataSet& data, const LearnedForest<typename DataSet::label_type>& forest,
                      const ForestGenerators& generators, const LearnExtras& extras, int threads) {
  py::dict result;
  const py::ssize_t ni = static_cast<py::ssize_t>(data.get_num_instances());
  if (extras.oob) {
    const py::ssize_t nc = static_cast<py::ssize_t>(data.get_num_classes());
    py::array_t<int> trees(ni);
    py::array_t<double> values = Task::is_regression ? py::array_t<double>(ni) : py::array_t<double>({ni, nc});
    int* tree_counts = trees.mutable_data();
    double* out = values.mutable_data();
    // One walk of the out-of-bag trees gives the votes and the curve.
    std::vector<double> curve;
    {
      py::gil_scoped_release unlocked;
      const auto record_votes = [&](std::size_t i, int count, const typename Task::Votes& votes) {
        tree_counts[i] = count;
        if constexpr (Task::is_regression) {
          out[i] = count > 0 ? votes.result(0) : std::nan("");
        } else {
          for (py::ssize_t c = 0; c < nc; ++c) out[static_cast<py::ssize_t>(i) * nc + c] = votes.counts(0)[c + 1];
        }
      };
      for (const OutOfBagEstimate& point :
           out_of_bag_curve(task, data, forest.trees, forest.in_bag, threads, record_votes)) {
        curve.push_back(point.error);
      }
    }
    result["oob_trees"] = trees;
    result[Task::is_regression ? "oob_prediction" : "oob_votes"] = values;
    result["oob_curve"] = numpy_copy(curve);
  }
  if (extras.permutation) {
    std::vector<double> importances;
    {
      py::gil_scoped_release unlocked;
      importances = permutation_importances(task, data, forest.trees, forest.in_bag, generators.shuffle_key(),
                                            generators.first_tree(), threads);
    }
    result["permutation_importances"] = numpy_copy(importances);
  }
  if (extras.tree_importances) {
    const std::size_t nf = data.get_num_features();
    py::array_t<double> table({static_cast<py::ssize_t>(forest.tree_importances.size()), static_cast<py::ssize_t>(nf)});
    double* out = table.mutable_data();
    for (const std::vector<double>& tree : forest.tree_importances) out = std::copy(tree.begin(), tree.end(), out);
    result["tree_importances"] = table;
  }
  return result;
}

// Learns a forest: classification with class numbers 0 .. num_classes - 1
// (held in int, double or float labels), or regression with double
// targets.
template <class F, class L, class Task>
py::tuple learn_forest_wrap(const py::object& X, const py::object& Y, int num_classes, const ForestSettings& settings,
                            const Task& task, const LearnExtras& extras = LearnExtras()) {
  const py::array x = checked_array<F>(X, "X", 2);
  const py::array y = checked_array<L>(Y, "Y", 1);
  if (y.shape(0) != x.shape(1)) {
    std::string message =
        "the number of labels must be the same as the number of rows (instances) in the instance matrix";
    // One label per row of X: most likely X is instances x features.
    if (y.shape(0) == x.shape(0)) {
      message += " (X has one row per label: X is laid out features x instances, so pass X.T for an instances "
                 "x features array)";
    }
    throw std::runtime_error(message);
  }
  if (!Task::is_regression && num_classes < 1) {
    throw py::value_error("num_classes must be at least 1, not " + std::to_string(num_classes));
  }
  if (settings.num_trees < 0) {
    throw py::value_error("num_trees must not be negative, not " + std::to_string(settings.num_trees));
  }
  check_threads(settings.num_threads);
  if (extras.first_tree < 0) {
    throw py::value_error("first_tree must not be negative, not " + std::to_string(extras.first_tree));
  }
  return guarded([&]() -> py::tuple {
    const std::vector<L> labels = read_labels<L>(y);
    MemoryDataSet<F, L> data;
    copy_into(data, x, labels, Task::is_regression ? 1 : num_classes);
    if constexpr (Task::is_regression) {
      data.set_labeling(1, Regression);
    } else {
      check_labels(labels, num_classes);
    }
    data.impute();
    unsigned long generation = 0;
    ForestGenerators generators =
        extras.seed ? ForestGenerators::per_tree(static_cast<std::uint64_t>(*extras.seed),
                                                 static_cast<std::uint64_t>(extras.first_tree))
                    : [&] {
                        auto lease = lease_generators();
                        generation = lease.second;
                        return std::move(lease.first);
                      }();
    if (extras.given_forest != nullptr) {
      LearnedForest<L> given;
      convert_forest(*extras.given_forest, given.trees);
      {
        py::gil_scoped_release unlocked;
        given.in_bag = redraw_in_bag(data, settings, generators, given.trees.size());
      }
      return py::make_tuple(py::none(), py::none(),
                            learn_extras(task, data, given, generators, extras, settings.num_threads));
    }
    ProgressCounter progress(static_cast<std::size_t>(settings.num_trees));
    std::unique_ptr<ProgressLine> line;
    if (extras.verbose > 0) {
      line = std::make_unique<ProgressLine>(progress, "Learning", "trees", write_to_python_stderr);
    }
    LearnedForest<L> forest = run_interruptibly<LearnedForest<L>>(
        [&](const WorkControl& control) { return learn_forest(data, settings, task, generators, control); },
        &progress);
    if (line) {
      // The line is cleared before anything else is written.
      py::gil_scoped_release unlocked;
      line->stop();
    }
    if (!extras.seed) return_generators(generators, generation);
    py::object importance_array = py::none();
    if (settings.feature_importances) importance_array = numpy_copy(forest.feature_importances);
    const py::list trees = tree_arrays(forest.trees);
    if (!settings.out_of_bag && !extras.tree_importances) return py::make_tuple(trees, importance_array);
    return py::make_tuple(trees, importance_array,
                          learn_extras(task, data, forest, generators, extras, settings.num_threads));
  }, extras.messages);
}

// The positional learning entries: a minimum node size of 1.
template <class F, class L, class Criterion>
py::tuple learn_wrap(const py::object& X, const py::object& Y, int num_classes, int num_trees, double sampling_prop,
                     int fte_per_split, int max_depth, int num_threads, int compute_feature_importances) {
  ForestSettings settings;
  settings.num_trees = num_trees;
  settings.bootstrap_fraction = sampling_prop;
  settings.limits.features_per_split = fte_per_split;
  settings.limits.max_depth = max_depth;
  settings.limits.min_instances_per_node = 1;
  settings.feature_importances = compute_feature_importances != 0;
  settings.num_threads = num_threads;
  return learn_forest_wrap<F, L>(X, Y, num_classes, settings, ClassificationTask<Criterion>());
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

// The general learning entry: every learning option of the program.
typedef py::array_t<double, py::array::c_style | py::array::forcecast> WeightArray;

// The criterion of a name, or ValueError.
CriterionKind criterion_of(const std::string& name) {
  const std::optional<CriterionKind> kind = criterion_from_name(name);
  if (!kind) {
    throw py::value_error("unknown criterion '" + name +
                          "' (valid criteria: 'gini', 'infogain', 'gainratio', 'variance')");
  }
  return *kind;
}

// How the trees' samples are drawn, from the general entries' keywords.
void set_sampling(ForestSettings& settings, double sample_prop, long long sample_size, bool bootstrap,
                  const std::optional<WeightArray>& sample_weight) {
  settings.bootstrap_fraction = sample_prop;
  if (sample_size < 0) throw py::value_error("sample_size must not be negative, not " + std::to_string(sample_size));
  settings.sample_size = static_cast<std::size_t>(sample_size);
  settings.bootstrap = bootstrap;
  if (sample_weight) {
    if (sample_weight->ndim() != 1) throw py::value_error("sample_weight must be a one-dimensional array");
    const double* w = sample_weight->data();
    settings.draw_weights.assign(w, w + sample_weight->shape(0));
  }
}

// What the general entries ask of learning besides the forest, worded
// plainly.
LearnExtras general_extras(bool oob, bool permutation, std::optional<long long> seed, long long first_tree) {
  LearnExtras extras;
  extras.oob = oob;
  extras.permutation = permutation;
  extras.messages = Messages::Plain;
  extras.seed = seed;
  extras.first_tree = first_tree;
  return extras;
}

// Calls run(F{}, task) with X's feature type and the criterion's task.
template <class Run>
py::tuple with_dtype_and_task(const py::object& X, CriterionKind kind, double leaf_variance, Run&& run) {
  return with_feature_dtype(X, [&](auto f) -> py::tuple {
    if (kind == CriterionKind::Variance) return run(f, RegressionTask(leaf_variance));
    return with_classification_task(kind, [&](const auto& task) { return run(f, task); });
  });
}

// The out-of-bag record of a forest learned by learn with a seed: its
// trees' samples drawn again, then what learn's oob and
// permutation_importances give.
py::dict out_of_bag_general(const py::object& X, const py::object& Y, const py::object& forest,
                            const std::string& criterion, int num_classes, long long seed, long long first_tree,
                            double sample_prop, long long sample_size, bool bootstrap,
                            const std::optional<WeightArray>& sample_weight, bool permutation_importances,
                            int num_threads) {
  const CriterionKind kind = criterion_of(criterion);
  ForestSettings settings;
  settings.num_trees = 0;
  set_sampling(settings, sample_prop, sample_size, bootstrap, sample_weight);
  settings.criterion = kind;
  settings.out_of_bag = true;
  settings.num_threads = num_threads;
  LearnExtras extras = general_extras(true, permutation_importances, seed, first_tree);
  extras.given_forest = &forest;
  const py::tuple result = with_dtype_and_task(X, kind, 1e-5, [&](auto f, const auto& task) -> py::tuple {
    typedef decltype(f) F;
    typedef std::conditional_t<std::decay_t<decltype(task)>::is_regression, double, int> L;
    return learn_forest_wrap<F, L>(X, Y, num_classes, settings, task, extras);
  });
  return result[2].cast<py::dict>();
}

py::tuple learn_general(const py::object& X, const py::object& Y, const std::string& criterion, int num_classes,
                        int num_trees, double sample_prop, int fte_per_split, int max_depth,
                        int min_instances_per_node, int min_leaf_size, int max_leaf_nodes, int num_threads,
                        bool compute_importances, bool oob, bool permutation_importances, int verbose,
                        std::optional<long long> seed, long long first_tree, long long sample_size, bool bootstrap,
                        bool tree_importances, double leaf_variance,
                        const std::optional<WeightArray>& sample_weight) {
  const CriterionKind kind = criterion_of(criterion);
  ForestSettings settings;
  settings.num_trees = num_trees;
  set_sampling(settings, sample_prop, sample_size, bootstrap, sample_weight);
  settings.limits.features_per_split = fte_per_split;
  settings.limits.max_depth = max_depth;
  settings.limits.min_instances_per_node = min_instances_per_node;
  if (min_leaf_size < 1) {
    throw py::value_error("min_leaf_size must be at least 1, not " + std::to_string(min_leaf_size));
  }
  settings.limits.min_leaf_size = min_leaf_size;
  if (max_leaf_nodes < 0) {
    throw py::value_error("max_leaf_nodes must not be negative (0 for no limit), not " + std::to_string(max_leaf_nodes));
  }
  settings.limits.max_leaf_nodes = max_leaf_nodes;
  settings.criterion = kind;
  settings.feature_importances = compute_importances;
  settings.out_of_bag = oob || permutation_importances;
  settings.num_threads = num_threads;
  LearnExtras extras = general_extras(oob, permutation_importances, seed, first_tree);
  extras.verbose = verbose;
  extras.tree_importances = tree_importances;
  settings.tree_importances = tree_importances;
  if (tree_importances) settings.feature_importances = true;
  return with_dtype_and_task(X, kind, leaf_variance, [&](auto f, const auto& task) -> py::tuple {
    typedef decltype(f) F;
    typedef std::conditional_t<std::decay_t<decltype(task)>::is_regression, double, int> L;
    return learn_forest_wrap<F, L>(X, Y, num_classes, settings, task, extras);
  });
}

// The trees of the forest argument and the data of X, ready for prediction.
template <class F, class L>
void prepare_prediction(const py::object& forest_argument, const py::array& x, int num_classes, Forest<L>& forest,
                        MemoryDataSet<F, L>& data) {
  convert_forest(forest_argument, forest);
  copy_into(data, x, std::vector<L>(static_cast<std::size_t>(x.shape(1)), L()), num_classes);
  data.impute();
}

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
  if (num_classes < 1) throw py::value_error("num_classes must be at least 1, not " + std::to_string(num_classes));
  return guarded([&]() -> double {
    Forest<int> forest;
    MemoryDataSet<F, int> data;
    prepare_prediction(forest_argument, x, num_classes, forest, data);
    check_leaf_classes(forest, false, num_classes);
    BaseForestClassifier predictor(static_cast<std::size_t>(num_classes));
    predictor.use_forest(forest);
    predictor.set_num_threads(num_threads);
    std::vector<int> predicted;
    Array1D<int> output(static_cast<char*>(labels.mutable_data()), labels.shape(0), labels.strides(0));
    py::gil_scoped_release unlocked;
    predictor.predict(data, predicted);
    for (std::size_t i = 0; i < predicted.size(); ++i) output[i] = predicted[i];
    return 0.0;
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
  if (num_classes < 1) throw py::value_error("num_classes must be at least 1, not " + std::to_string(num_classes));
  return guarded([&]() -> double {
    Forest<int> forest;
    MemoryDataSet<F, int> data;
    prepare_prediction(forest_argument, x, num_classes, forest, data);
    check_leaf_classes(forest, false, num_classes);
    BaseForestClassifier predictor(static_cast<std::size_t>(num_classes));
    predictor.use_forest(forest);
    predictor.set_num_threads(num_threads);
    Array2D<P> output(static_cast<char*>(probabilities.mutable_data()), probabilities.shape(0),
                      probabilities.shape(1), probabilities.strides(0), probabilities.strides(1));
    py::gil_scoped_release unlocked;
    predictor.compute_probabilities(data, output);
    return 0.0;
  });
}

// X as the forest's features: converted to `learned_dtype` (the type the
// forest learned on, None to take X as it is), so that a value compares
// with a threshold as it did in learning (a float64 value next to a
// float32 threshold would fall on the other side).
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

// Mean of the leaves (regression) for every instance of X into `out`.
double predict_regression(const py::object& X_given, const py::object& forest_argument, const py::object& out,
                          int num_threads, const py::object& learned_dtype) {
  check_threads(num_threads);
  const py::object X = as_learned(X_given, learned_dtype);
  return with_feature_dtype(X, [&](auto f) -> double {
    typedef decltype(f) F;
    const py::array x = checked_array<F>(X, "X", 2);
    py::array values = checked_output<double>(out, "the prediction output", 1);
    if (values.shape(0) != x.shape(1)) {
      throw py::value_error("the prediction output must have one entry per instance (" +
                            std::to_string(x.shape(1)) + "), not " + std::to_string(values.shape(0)));
    }
    return guarded([&]() -> double {
      Forest<double> forest;
      MemoryDataSet<F, double> data;
      prepare_prediction(forest_argument, x, 1, forest, data);
      data.set_labeling(1, Regression);
      BaseForestRegressor predictor;
      predictor.use_forest(forest);
      predictor.set_num_threads(num_threads);
      std::vector<double> predicted;
      Array1D<double> output(static_cast<char*>(values.mutable_data()), values.shape(0), values.strides(0));
      py::gil_scoped_release unlocked;
      predictor.predict(data, predicted);
      for (std::size_t i = 0; i < predicted.size(); ++i) output[i] = predicted[i];
      return 0.0;
    }, Messages::Plain);
  });
}

// The number of the leaf (breadth first, the numbering of the tree arrays)
// that every instance reaches in every tree: out[i, k] for instance i and
// tree k.
double apply_forest(const py::object& X_given, const py::object& forest_argument, const py::object& out,
                    int num_threads, const py::object& learned_dtype) {
  check_threads(num_threads);
  const py::object X = as_learned(X_given, learned_dtype);
  return with_feature_dtype(X, [&](auto f) -> double {
    typedef decltype(f) F;
    const py::array x = checked_array<F>(X, "X", 2);
    py::array leaves = checked_output<int>(out, "the leaf output", 2);
    return guarded([&]() -> double {
      Forest<double> forest;
      MemoryDataSet<F, double> data;
      prepare_prediction(forest_argument, x, 1, forest, data);
      if (leaves.shape(0) != x.shape(1) || leaves.shape(1) != static_cast<py::ssize_t>(forest.size())) {
        throw py::value_error("the leaf output must have shape (instances, trees) = (" + std::to_string(x.shape(1)) +
                              ", " + std::to_string(forest.size()) + ")");
      }
      const FlatForest<double> flat(forest);
      flat.check(data.get_num_features());
      const auto columns = column_pointers(data);
      Array2D<int> output(static_cast<char*>(leaves.mutable_data()), leaves.shape(0), leaves.shape(1),
                          leaves.strides(0), leaves.strides(1));
      const long ni = static_cast<long>(data.get_num_instances());
      py::gil_scoped_release unlocked;
#pragma omp parallel for schedule(static) num_threads(team_size(num_threads))
      for (long i = 0; i < ni; ++i) {
        for (std::size_t k = 0; k < flat.size(); ++k) {
          output(static_cast<std::size_t>(i), k) =
              static_cast<int>(flat.leaf_of(k, columns.data(), static_cast<std::size_t>(i)));
        }
      }
      return 0.0;
    }, Messages::Plain);
  });
}

// The trees of a model file (lisp or vectortxt, found by trial) as tree arrays.
// The trees of model text (bytes of a lisp or vectortxt model file, the
// format found by trial) as tree arrays; text without trees is an error.
py::list parse_model(const py::bytes& text) {
  const std::string bytes = text;
  return guarded([&]() -> py::list {
    Forest<double> forest;
    for (const char* format : {"vectortxt", "lisp"}) {
      std::istringstream in(bytes);
      try {
        if (std::string(format) == "vectortxt") {
          read_forest_as_vectorized_txt(in, forest);
        } else {
          read_forest_as_lisp(in, forest);
        }
        if (forest.empty()) throw Exception("the model text holds no trees");
        return tree_arrays(forest);
      } catch (const FileFormatException&) {
        forest.clear();
      }
    }
    throw Exception("the model text is neither in the vectortxt nor in the lisp format");
  }, Messages::Plain);
}

py::list read_model(const std::string& path) {
  return guarded([&]() -> py::list {
    check_model_file(path);
    Forest<double> forest;
    read_forest(path, forest);
    if (forest.empty()) throw Exception("model file `" + path + "' holds no trees");
    return tree_arrays(forest);
  }, Messages::Plain);
}

// The Graphviz DOT text of one tree array.
std::string tree_dot(const py::object& tree_array, const std::vector<std::string>& feature_names,
                     const std::vector<std::string>& class_names, int max_depth) {
  const auto array = py::array_t<double, py::array::forcecast>::ensure(tree_array);
  if (!array) throw py::type_error("tree must be a (5, nodes) array of numbers");
  return guarded([&]() -> std::string {
    Tree<double> tree;
    if (!convert_array_to_tree<double>(array, tree)) throw Exception("the tree array has no nodes");
    return tree_to_dot(tree, DotNames::from_lists(feature_names, class_names), max_depth);
  }, Messages::Plain);
}

// The medians of a write, or none.
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

// Writes a forest argument (tree arrays or lisp text) as a model file of the
// program in the format "lisp" or "vectortxt", and with medians (float64,
// one per feature) their companion file PATH.medians.
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

// The text of a model file holding a forest argument, as bytes.
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

// Writes model text (bytes) as it is to `path`, with medians their
// companion PATH.medians, fingerprinted with these bytes, and each of
// `companions` (suffix -> bytes) as PATH + suffix: every file is written
// before any is put in place, the model last.
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

// The medians recorded beside a model file: ("recorded", float64 array),
// ("absent", None) or ("stale", None) for a companion written for other
// model bytes than those of the file (or `model_text`, when given).
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

// The number of features (None when the file does not give it), the class
// names by class number and the label type of a description file.
// The description as the package reads it: (number of features or None,
// {class number: name}, label type).
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

// The same of description text (bytes) a caller has read.
py::tuple parse_description(const py::bytes& text) {
  const std::string bytes = text;
  return guarded([&]() -> py::tuple {
    std::istringstream in(bytes);
    const DataSetDescription desc = SylvorDescriptionReader().read(in);
    check_class_numbers(desc);
    return description_tuple(desc);
  }, Messages::Plain);
}

// Rebuilds the module's pool (under its lock: learning calls running now
// keep their own copies of the generators).
double rebuild_pool(const std::string& file, int seed) {
  return guarded([&] {
    PoolGuard& guard = module_pool();
    const std::lock_guard<std::mutex> lock(guard.mutex);
    ++guard.generation;
    init_pool(file, seed);
    return 0.0;
  });
}

double init_pool_wrap(const std::string& name) { return rebuild_pool(name, 0); }

double set_seed_wrap(long seed) { return rebuild_pool("", static_cast<int>(seed)); }

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
  def_entry(m, "init_pool", &init_pool_wrap,
            "Rebuilds the generator pool from a file of random bytes. Returns 0.0.", "name");
  def_entry(m, "set_seed", &set_seed_wrap,
            "Rebuilds the generator pool from an integer seed, so that later learning calls without their own "
            "seed reproduce. Returns 0.0.", "seed");
  // Beyond the 34 entries above: the general forms used by the sylvor package.
  m.def("learn", &learn_general, py::arg("X"), py::arg("y"), py::kw_only(), py::arg("criterion") = "gini",
        py::arg("num_classes") = 2, py::arg("num_trees") = 30, py::arg("sample_prop") = 1.0,
        py::arg("fte_per_split") = 0, py::arg("max_depth") = 0, py::arg("min_instances_per_node") = 1,
        py::arg("min_leaf_size") = 2, py::arg("max_leaf_nodes") = 0, py::arg("num_threads") = 0,
        py::arg("compute_importances") = false, py::arg("oob") = false, py::arg("permutation_importances") = false,
        py::arg("verbose") = 0, py::arg("seed") = py::none(), py::arg("first_tree") = 0, py::arg("sample_size") = 0,
        py::arg("bootstrap") = true, py::arg("tree_importances") = false, py::arg("leaf_variance") = 1e-5,
        py::arg("sample_weight") = py::none(),
        "Learns a forest from X (features x instances) and y: classification with int32 class numbers "
        "0 .. num_classes - 1 and the criterion 'gini', 'infogain' or 'gainratio', or regression with float64 "
        "targets and 'variance'. Returns (list of (5, nodes) float64 tree arrays, importances or None). With "
        "oob or permutation_importances it returns a third item, a dict: 'oob_trees' (int32, the out-of-bag "
        "trees of each instance) with 'oob_votes' (float64, instances x classes) or 'oob_prediction' (float64, "
        "NaN without out-of-bag trees) and 'oob_curve' (float64, the out-of-bag error rate or mean squared "
        "error of the first 1, 2, ... trees), and 'permutation_importances' (float64, one per feature). With "
        "tree_importances (and seed) the dict is returned too, holding 'tree_importances' (float64, trees x "
        "features: each tree's normalised importances). verbose=1 "
        "shows a progress line on sys.stderr while the trees grow. Each tree's sample holds sample_size "
        "instances (when positive) or sample_prop times their number, drawn with replacement, by weight when "
        "sample_weight (float64, one per instance) is given; bootstrap=False grows every tree on every "
        "instance once. A node of at most min_instances_per_node instances is a leaf, and in regression one "
        "whose targets' variance is below leaf_variance; a split leaves at least min_leaf_size instances in "
        "each child. max_leaf_nodes >= 1 grows each tree best first (the split with the largest weighted "
        "impurity decrease next) up to that many leaves; 0 grows breadth first. "
        "Seeding: without seed, thread t draws from "
        "generator t of the pool that set_seed or init_pool built (the forest depends on num_threads; the "
        "next learn continues the streams); with seed, tree k draws from a generator derived from seed and "
        "first_tree + k alone (the same forest for every num_threads, and the trees of a forest learned in "
        "parts). Ctrl-C stops the learning between nodes and raises KeyboardInterrupt.");
  m.def("out_of_bag", &out_of_bag_general, py::arg("X"), py::arg("y"), py::arg("forest"), py::kw_only(),
        py::arg("criterion") = "gini", py::arg("num_classes") = 2, py::arg("seed"), py::arg("first_tree") = 0,
        py::arg("sample_prop") = 1.0, py::arg("sample_size") = 0, py::arg("bootstrap") = true,
        py::arg("sample_weight") = py::none(), py::arg("permutation_importances") = false,
        py::arg("num_threads") = 0,
        "The out-of-bag record of a forest that learn grew with seed=seed and first_tree=first_tree from X and "
        "y, with the same sampling keywords: each tree's sample is drawn again from its own generator, then the "
        "dict that learn gives with oob (and permutation_importances) is worked out for the trees given. For "
        "forests joined from parts or grown in steps.");
  m.def("predict_regression", &predict_regression, py::arg("X"), py::arg("forest"), py::arg("out"),
        py::arg("num_threads") = 0, py::kw_only(), py::arg("learned_dtype") = py::none(),
        "Writes the mean of the trees' leaves for every instance into out (float64). With learned_dtype "
        "(float32 or float64, the type of the X the forest learned from), X is converted to it first, so that "
        "each value meets the thresholds as in learning.");
  m.def("apply", &apply_forest, py::arg("X"), py::arg("forest"), py::arg("out"), py::arg("num_threads") = 0,
        py::kw_only(), py::arg("learned_dtype") = py::none(),
        "Writes the breadth-first number of the leaf reached in every tree into out (int32, instances x trees); "
        "learned_dtype as for predict_regression.");
  m.def("tree_dot", &tree_dot, py::arg("tree"), py::arg("feature_names") = std::vector<std::string>(),
        py::arg("class_names") = std::vector<std::string>(), py::arg("max_depth") = -1,
        "The Graphviz DOT text of a (5, nodes) float64 tree array: split nodes show the feature's name (from "
        "feature_names, else 'feature K') and threshold, leaves the class name of their class number (from "
        "class_names) or their value; nodes deeper than max_depth (when >= 0) are elided as '(...)'.");
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
