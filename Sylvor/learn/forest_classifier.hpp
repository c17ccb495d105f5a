// Prediction by a forest: majority vote of the trees' leaves for
// classification (the smallest label wins ties), the running mean of the
// leaves in tree order for regression, and class-vote fractions.
//
// A predictor holds root pointers only and never frees a tree. Its scratch
// state (vote counts, per-tree votes) belongs to the last prediction, so one
// predictor must not serve two callers at once. A single instance is
// predicted with the trees spread over the OpenMP team; whole data sets are
// predicted in contiguous blocks of instances, one block per team member,
// walked chunk by chunk and tree by tree for cache locality. Each
// instance's result is computed exactly as the single-instance form would
// (vote counts, then the arg-max; or the running mean in tree order), so
// results never depend on the thread count. Trees are checked once per
// feature count before use: every inner node must test a feature of the
// data, and leaves may carry only the labels -1 .. number of classes.
// A predictor given a progress counter adds each finished chunk's
// instances to it (from the team members, atomically).
#ifndef SYLVOR_LEARN_FOREST_CLASSIFIER_HPP
#define SYLVOR_LEARN_FOREST_CLASSIFIER_HPP

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/learn/tree.hpp"

namespace Sylvor {

// Instances predicted together, tree by tree, by one team member.
constexpr std::size_t prediction_chunk = 512;

namespace detail {

// Throws Exception when an inner node of a tree tests a feature outside
// 0 .. num_features - 1 (a model learned on other data).
template <class L>
void check_feature_indices(const std::vector<Node<L>*>& forest, std::size_t num_features) {
  std::vector<const Node<L>*> pending;
  for (std::size_t k = 0; k < forest.size(); ++k) {
    pending.assign(1, forest[k]);
    while (!pending.empty()) {
      const Node<L>* node = pending.back();
      pending.pop_back();
      if (node == nullptr || node->is_leaf()) continue;
      const int f = node->get_feature_index();
      if (f < 0 || static_cast<std::size_t>(f) >= num_features) {
        throw Exception("tree " + std::to_string(k) + " tests feature " + std::to_string(f) +
                        " but the data have " + std::to_string(num_features) +
                        " features: was the model learned on other data?");
      }
      pending.push_back(node->get_right());
      pending.push_back(node->get_left());
    }
  }
}

// The label with the most votes, from counts indexed by label + 1; the
// smallest label wins ties, and -2 stands for no vote at all.
inline int vote_winner(const std::vector<int>& counts) {
  int best_label = -2, best_count = 0;
  for (std::size_t j = 0; j < counts.size(); ++j) {
    if (counts[j] > best_count) {
      best_label = static_cast<int>(j) - 1;
      best_count = counts[j];
    }
  }
  return best_label;
}

[[noreturn]] inline void empty_forest() { throw Exception("forest is empty: cannot predict"); }

}  // namespace detail

// A read-only copy of a forest laid out for fast whole-data-set prediction:
// each tree's nodes contiguous, breadth first, the two children of a node
// side by side, 16 bytes a node. Walks exactly as Node::predict does, several
// instances at a time so that their memory accesses overlap.
template <class L>
class FlatForest {
public:
  void build(const std::vector<Node<L>*>& forest) {
    nodes.clear();
    roots.clear();
    std::vector<const Node<L>*> level;
    for (const Node<L>* root : forest) {
      roots.push_back(nodes.size());
      // Breadth first: a node's children are appended together, so the
      // right child always follows the left one.
      level.assign(1, root);
      nodes.push_back(FlatNode());
      for (std::size_t k = 0, at = roots.back(); k < level.size(); ++k, ++at) {
        const Node<L>* node = level[k];
        FlatNode& flat = nodes[at];
        if (node->is_leaf()) {
          flat.feature = -1;
          if constexpr (std::is_integral<L>::value) {
            flat.child_or_label = static_cast<int>(node->get_label());
          } else {
            flat.threshold_or_value = static_cast<double>(node->get_label());
          }
        } else {
          flat.feature = node->get_feature_index();
          flat.threshold_or_value = node->get_threshold();
          flat.child_or_label = static_cast<int>(nodes.size() - roots.back());
          level.push_back(node->get_left());
          level.push_back(node->get_right());
          nodes.push_back(FlatNode());
          nodes.push_back(FlatNode());
        }
      }
    }
  }

  std::size_t size() const { return roots.size(); }

  // The number (breadth first, as root_to_vector numbers it) of the leaf
  // that instance i reaches in tree `tree`.
  template <class F>
  std::size_t leaf_number(std::size_t tree, const F* const* columns, std::size_t i) const {
    const FlatNode* base = nodes.data() + roots[tree];
    const FlatNode* node = base;
    while (node->feature >= 0) {
      const double value = static_cast<double>(columns[node->feature][i]);
      node = base + node->child_or_label + (node->threshold_or_value > value ? 0 : 1);
    }
    return static_cast<std::size_t>(node - base);
  }

  // Walks up to `lanes` instances first, first + 1, ... through tree `tree`
  // side by side, so that their memory accesses overlap, and stores their
  // leaf values in out[0 .. count - 1].
  static constexpr std::size_t lanes = 16;
  template <class F>
  void predict_lanes(std::size_t tree, const F* const* columns, std::size_t first, std::size_t count,
                     L* out) const {
    const FlatNode* base = nodes.data() + roots[tree];
    const FlatNode* at[lanes];
    for (std::size_t j = 0; j < count; ++j) at[j] = base;
    for (bool moved = true; moved;) {
      moved = false;
      for (std::size_t j = 0; j < count; ++j) {
        const FlatNode* node = at[j];
        if (node->feature < 0) continue;
        const double value = static_cast<double>(columns[node->feature][first + j]);
        at[j] = base + node->child_or_label + (node->threshold_or_value > value ? 0 : 1);
        moved = true;
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      if constexpr (std::is_integral<L>::value) {
        out[j] = static_cast<L>(at[j]->child_or_label);
      } else {
        out[j] = static_cast<L>(at[j]->threshold_or_value);
      }
    }
  }

private:
  struct FlatNode {
    double threshold_or_value = 0.0;  // inner: threshold; leaf of a real-valued forest: its value
    int feature = -1;                 // -1 for a leaf
    int child_or_label = 0;           // inner: left child (right = left + 1); leaf: class label
  };
  std::vector<FlatNode> nodes;
  std::vector<std::size_t> roots;
};

// The column pointers of a data set, features[f].data().
template <class DataSet>
std::vector<const typename DataSet::feature_type*> column_pointers(const DataSet& data) {
  std::vector<const typename DataSet::feature_type*> columns;
  for (const auto& column : data.features) columns.push_back(column.data());
  return columns;
}

// What both predictors share: the forest (root pointers, not owned), its
// flat copy and the check against the data, and the single-instance walk
// of the trees over the team.
template <class L>
class ForestHolder {
public:
  void use_forest(const std::vector<Node<L>*>& other_forest) {
    // (push_back rather than a range insert, which GCC 12 warns about spuriously)
    forest.reserve(forest.size() + other_forest.size());
    for (auto* root : other_forest) forest.push_back(root);
    checked_num_features = unchecked;
    flat = FlatForest<L>();
  }
  const std::vector<Node<L>*>& get_forest() const { return forest; }

  // Whole-data-set predictions add the instances of each finished chunk to
  // `counter` (null for none); the counter must outlive those calls.
  void report_progress_to(ProgressCounter* counter) { progress = counter; }

protected:
  static constexpr std::size_t unchecked = static_cast<std::size_t>(-1);

  // Checks the trees against the data's features once per feature count,
  // and builds the flat copy once.
  template <class DataSet>
  void check(const DataSet& data) {
    if (checked_num_features != data.get_num_features()) {
      detail::check_feature_indices(forest, data.get_num_features());
      checked_num_features = data.get_num_features();
    }
    if (flat.size() != forest.size()) flat.build(forest);
  }

  // Fills votes_for_each_tree with the leaf of every tree for one instance,
  // the trees in contiguous blocks over the team.
  template <class DataSet>
  void walk_trees(const DataSet& data, std::size_t instance_index) {
    if (forest.empty()) detail::empty_forest();
    check(data);
    if (votes_for_each_tree.size() != forest.size()) votes_for_each_tree.resize(forest.size());
#pragma omp parallel
    {
      const auto [begin, end] = block_range(static_cast<long>(forest.size()), omp_get_num_threads(),
                                            omp_get_thread_num());
      for (long k = begin; k < end; ++k) {
        votes_for_each_tree[static_cast<std::size_t>(k)] =
            forest[static_cast<std::size_t>(k)]->predict(data, instance_index);
      }
    }
  }

  void chunk_done(std::size_t instances) {
    if (progress != nullptr) progress->add(instances);
  }

  FlatForest<L> flat;
  ProgressCounter* progress = nullptr;
  std::vector<L> votes_for_each_tree;
  std::vector<Node<L>*> forest;
  std::size_t checked_num_features = unchecked;
};

class BaseForestClassifier : public ForestHolder<int> {
public:
  typedef int label_type;

  explicit BaseForestClassifier(std::size_t num_classes) : counts(num_classes + 2, 0) {}

  void clear() { std::fill(counts.begin(), counts.end(), 0); }

  // Adds `weight` votes for `label`; labels outside -1 .. number of classes
  // are an error.
  void vote(int weight, int label) { counts[slot_of(label, counts.size())] += weight; }

  // Vote counts of the last single-instance prediction: entry label + 1.
  const std::vector<int>& get_counts() const { return counts; }
  std::size_t get_num_classes() const { return counts.size() - 2; }

  template <class DataSet>
  int predict(const DataSet& data, std::size_t instance_index) {
    walk_trees(data, instance_index);
    clear();
    for (const int label : votes_for_each_tree) vote(1, label);
    return arg_max(counts);
  }

  // Predicts every instance of `data`, in blocks of instances over the team.
  template <class DataSet>
  void predict(const DataSet& data, std::vector<int>& predicted_labels) {
    const std::size_t ni = data.get_num_instances();
    predicted_labels.resize(ni);
    for_each_instance(data, [&](std::size_t i, const std::vector<int>& instance_counts) {
      predicted_labels[i] = arg_max(instance_counts);
    });
  }

  // As above, with the description's text for each predicted label.
  template <class DataSet>
  void predict(const DataSetDescription& desc, const DataSet& data,
               std::vector<std::string>& predicted_labels) {
    std::vector<int> numbers;
    predict(data, numbers);
    predicted_labels.resize(numbers.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) predicted_labels[i] = desc.get_string_label(numbers[i]);
  }

  // Fills probs(i, c) with the share of trees voting for class c: classes
  // 0 .. nc - 1 for DiscreteZeroOnward, the columns -1 and +1 for
  // PlusOneMinusOne. `probs` is any writable (instance, class) view; the
  // fractions are computed in double and stored in its element type.
  template <class DataSet, class Probabilities>
  void compute_probabilities(const DataSet& data, Probabilities& probs) {
    if (data.get_labeling() == Regression) {
      throw Exception("cannot compute probabilities for regression");
    }
    const double num_trees = static_cast<double>(forest.size());
    const std::size_t nc = data.get_num_classes();
    const bool plus_minus = data.get_labeling() == PlusOneMinusOne;
    for_each_instance(data, [&](std::size_t i, const std::vector<int>& instance_counts) {
      if (plus_minus) {
        probs(i, 0) = instance_counts[0] / num_trees;
        probs(i, 1) = instance_counts[2] / num_trees;
      } else {
        for (std::size_t c = 0; c < nc; ++c) {
          probs(i, c) = at_or_zero(instance_counts, c + 1) / num_trees;
        }
      }
    });
  }

private:
  static std::size_t slot_of(int label, std::size_t size) {
    const long slot = static_cast<long>(label) + 1;
    if (slot < 0 || static_cast<std::size_t>(slot) >= size) {
      throw Exception("the forest votes for label " + std::to_string(label) + " but the data have " +
                      std::to_string(size - 2) + " classes (labels -1 to " + std::to_string(size - 2) +
                      "): was the model learned with more classes?");
    }
    return static_cast<std::size_t>(slot);
  }

  static double at_or_zero(const std::vector<int>& v, std::size_t i) {
    return i < v.size() ? static_cast<double>(v[i]) : 0.0;
  }

  static int arg_max(const std::vector<int>& instance_counts) { return detail::vote_winner(instance_counts); }

  // Calls done(i, counts of instance i) for every instance. The instances
  // are split in contiguous blocks over the team; each member walks its
  // block in chunks, tree by tree (so that a tree stays in cache while the
  // chunk passes through it), counting votes in a table of its own.
  template <class DataSet, class Done>
  void for_each_instance(const DataSet& data, Done done) {
    const std::size_t ni = data.get_num_instances();
    if (ni == 0) return;
    if (forest.empty()) detail::empty_forest();
    check(data);
    const std::size_t size = counts.size();
    TeamErrors errors;
#pragma omp parallel
    {
      try {
        std::vector<int> table(prediction_chunk * size);
        std::vector<int> instance_counts(size);
        const auto columns = column_pointers(data);
        const auto [begin, end] = block_range(static_cast<long>(ni), omp_get_num_threads(),
                                              omp_get_thread_num());
        for (long first = begin; first < end && !errors.any(); first += prediction_chunk) {
          const std::size_t chunk =
              static_cast<std::size_t>(std::min<long>(end - first, static_cast<long>(prediction_chunk)));
          std::fill(table.begin(), table.end(), 0);
          int leaves[FlatForest<int>::lanes];
          for (std::size_t k = 0; k < flat.size(); ++k) {
            for (std::size_t j = 0; j < chunk; j += FlatForest<int>::lanes) {
              const std::size_t count = std::min(FlatForest<int>::lanes, chunk - j);
              flat.predict_lanes(k, columns.data(), static_cast<std::size_t>(first) + j, count, leaves);
              for (std::size_t l = 0; l < count; ++l) ++table[(j + l) * size + slot_of(leaves[l], size)];
            }
          }
          for (std::size_t j = 0; j < chunk; ++j) {
            std::copy(table.begin() + static_cast<long>(j * size), table.begin() + static_cast<long>((j + 1) * size),
                      instance_counts.begin());
            done(static_cast<std::size_t>(first) + j, instance_counts);
          }
          chunk_done(chunk);
        }
      } catch (...) {
        errors.capture();
      }
    }
    errors.rethrow();
  }

  std::vector<int> counts;
};

class BaseForestRegressor : public ForestHolder<double> {
public:
  typedef double label_type;

  explicit BaseForestRegressor(std::size_t /*num_classes*/ = 1) {}

  void clear() {
    mean = 0.0;
    n = 0;
  }

  void vote(double label) {
    ++n;
    const double delta = label - mean;
    mean += delta / n;
  }

  template <class DataSet>
  double predict(const DataSet& data, std::size_t instance_index) {
    walk_trees(data, instance_index);
    clear();
    for (const double label : votes_for_each_tree) vote(label);
    return mean;
  }

  // Predicts every instance: the running mean of the leaves in tree order.
  template <class DataSet>
  void predict(const DataSet& data, std::vector<double>& predicted_labels) {
    const std::size_t ni = data.get_num_instances();
    predicted_labels.resize(ni, 0.0);
    if (ni == 0) return;
    if (forest.empty()) detail::empty_forest();
    check(data);
    TeamErrors errors;
#pragma omp parallel
    {
      try {
        std::vector<int> votes(prediction_chunk);
        const auto columns = column_pointers(data);
        const auto [begin, end] = block_range(static_cast<long>(ni), omp_get_num_threads(),
                                              omp_get_thread_num());
        for (long first = begin; first < end; first += prediction_chunk) {
          const std::size_t chunk =
              static_cast<std::size_t>(std::min<long>(end - first, static_cast<long>(prediction_chunk)));
          double* running = predicted_labels.data() + first;
          std::fill(running, running + chunk, 0.0);
          std::fill(votes.begin(), votes.end(), 0);
          // The running mean of each instance, tree after tree in order.
          double leaves[FlatForest<double>::lanes];
          for (std::size_t k = 0; k < flat.size(); ++k) {
            for (std::size_t j = 0; j < chunk; j += FlatForest<double>::lanes) {
              const std::size_t count = std::min(FlatForest<double>::lanes, chunk - j);
              flat.predict_lanes(k, columns.data(), static_cast<std::size_t>(first) + j, count, leaves);
              for (std::size_t l = 0; l < count; ++l) {
                ++votes[j + l];
                running[j + l] += (leaves[l] - running[j + l]) / votes[j + l];
              }
            }
          }
          chunk_done(chunk);
        }
      } catch (...) {
        errors.capture();
      }
    }
    errors.rethrow();
  }

  // As above, each number written as an output stream writes a double.
  template <class DataSet>
  void predict(const DataSet& data, std::vector<std::string>& predicted_labels) {
    std::vector<double> numbers;
    predict(data, numbers);
    predicted_labels.resize(numbers.size());
    std::ostringstream text;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      text.str("");
      text << numbers[i];
      predicted_labels[i] = text.str();
    }
  }

private:
  double mean = 0.0;
  int n = 0;
};

namespace detail {
template <class L>
struct PredictorFor;
template <>
struct PredictorFor<int> {
  typedef BaseForestClassifier type;
};
template <>
struct PredictorFor<double> {
  typedef BaseForestRegressor type;
};
}  // namespace detail

// The predictor of a forest with labels of type L: a classifier for int, a
// regressor for double; both are built with the number of classes.
template <class L>
using ForestPredictor = typename detail::PredictorFor<L>::type;

}  // namespace Sylvor

#endif
