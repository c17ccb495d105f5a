// Prediction by a forest: majority vote of the trees' leaves for
// classification (the smallest label wins ties), the running mean of the
// leaves in tree order for regression, and class-vote fractions.
//
// A predictor holds root pointers only and never frees a tree. Its scratch
// state (vote counts, per-tree votes) belongs to the last prediction, so one
// predictor must not serve two callers at once. A single instance is
// predicted with the trees spread over the OpenMP team; whole data sets are
// predicted in contiguous blocks of instances, one block per team member,
// each instance's result computed exactly as the single-instance form would,
// so results never depend on the thread count. Trees are checked once per
// feature count before use: every inner node must test a feature of the
// data, and leaves may carry only the labels -1 .. number of classes.
#ifndef SYLVOR_LEARN_FOREST_CLASSIFIER_HPP
#define SYLVOR_LEARN_FOREST_CLASSIFIER_HPP

#include <omp.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/learn/tree.hpp"

namespace Sylvor {

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

[[noreturn]] inline void empty_forest() { throw Exception("forest is empty: cannot predict"); }

}  // namespace detail

class BaseForestClassifier {
public:
  typedef int label_type;

  explicit BaseForestClassifier(std::size_t num_classes) : counts(num_classes + 2, 0) {}

  void use_forest(const std::vector<Node<int>*>& other_forest) {
    // (push_back rather than a range insert, which GCC 12 warns about spuriously)
    forest.reserve(forest.size() + other_forest.size());
    for (auto* root : other_forest) forest.push_back(root);
    checked_num_features = unchecked;
  }
  const std::vector<Node<int>*>& get_forest() const { return forest; }

  void clear() { std::fill(counts.begin(), counts.end(), 0); }

  // Adds `weight` votes for `label`; labels outside -1 .. number of classes
  // are an error.
  void vote(int weight, int label) { counts[slot_of(label, counts.size())] += weight; }

  // Vote counts of the last single-instance prediction: entry label + 1.
  const std::vector<int>& get_counts() const { return counts; }
  std::size_t get_num_classes() const { return counts.size() - 2; }

  template <class DataSet>
  int predict(const DataSet& data, std::size_t instance_index) {
    if (forest.empty()) detail::empty_forest();
    check(data);
    clear();
    if (votes_for_each_tree.size() != forest.size()) votes_for_each_tree.resize(forest.size());
    TeamErrors errors;
#pragma omp parallel
    {
      const auto [begin, end] = block_range(static_cast<long>(forest.size()), omp_get_num_threads(),
                                            omp_get_thread_num());
      for (long k = begin; k < end; ++k) {
        votes_for_each_tree[static_cast<std::size_t>(k)] =
            forest[static_cast<std::size_t>(k)]->predict(data, instance_index);
      }
    }
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
  // PlusOneMinusOne. `probs` is any writable (instance, class) view.
  template <class DataSet, class Probabilities>
  void compute_probabilities(const DataSet& data, Probabilities& probs) {
    if (data.get_labeling() == Regression) {
      throw Exception("cannot compute probabilities for regression");
    }
    typedef typename std::decay<decltype(probs(0, 0))>::type Element;
    const double num_trees = static_cast<double>(forest.size());
    const std::size_t nc = data.get_num_classes();
    const bool plus_minus = data.get_labeling() == PlusOneMinusOne;
    for_each_instance(data, [&](std::size_t i, const std::vector<int>& instance_counts) {
      if (plus_minus) {
        probs(i, 0) = static_cast<Element>(instance_counts[0] / num_trees);
        probs(i, 1) = static_cast<Element>(instance_counts[2] / num_trees);
      } else {
        for (std::size_t c = 0; c < nc; ++c) {
          probs(i, c) = static_cast<Element>(at_or_zero(instance_counts, c + 1) / num_trees);
        }
      }
    });
  }

private:
  static constexpr std::size_t unchecked = static_cast<std::size_t>(-1);

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

  // The label with the most votes; the smallest label wins ties.
  static int arg_max(const std::vector<int>& instance_counts) {
    int best_label = -2, best_count = 0;
    for (std::size_t j = 0; j < instance_counts.size(); ++j) {
      if (instance_counts[j] > best_count) {
        best_label = static_cast<int>(j) - 1;
        best_count = instance_counts[j];
      }
    }
    return best_label;
  }

  template <class DataSet>
  void check(const DataSet& data) {
    if (checked_num_features != data.get_num_features()) {
      detail::check_feature_indices(forest, data.get_num_features());
      checked_num_features = data.get_num_features();
    }
  }

  // Calls done(i, counts of instance i) for every instance, the instances
  // split in blocks over the team, each member counting votes on its own.
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
        std::vector<int> local(size, 0);
        const auto [begin, end] = block_range(static_cast<long>(ni), omp_get_num_threads(),
                                              omp_get_thread_num());
        for (long i = begin; i < end && !errors.any(); ++i) {
          std::fill(local.begin(), local.end(), 0);
          for (const Node<int>* root : forest) ++local[slot_of(root->predict(data, static_cast<std::size_t>(i)), size)];
          done(static_cast<std::size_t>(i), local);
        }
      } catch (...) {
        errors.capture();
      }
    }
    errors.rethrow();
  }

  std::vector<int> votes_for_each_tree;
  std::vector<int> counts;
  std::vector<Node<int>*> forest;
  std::size_t checked_num_features = unchecked;
};

class BaseForestRegressor {
public:
  typedef double label_type;

  explicit BaseForestRegressor(std::size_t /*num_classes*/ = 1) {}

  void use_forest(const std::vector<Node<double>*>& other_forest) {
    // (push_back rather than a range insert, which GCC 12 warns about spuriously)
    forest.reserve(forest.size() + other_forest.size());
    for (auto* root : other_forest) forest.push_back(root);
    checked_num_features = unchecked;
  }
  const std::vector<Node<double>*>& get_forest() const { return forest; }

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
    if (forest.empty()) detail::empty_forest();
    check(data);
    clear();
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
#pragma omp parallel
    {
      const auto [begin, end] = block_range(static_cast<long>(ni), omp_get_num_threads(),
                                            omp_get_thread_num());
      for (long i = begin; i < end; ++i) {
        double running = 0.0;
        int votes = 0;
        for (const Node<double>* root : forest) {
          ++votes;
          running += (root->predict(data, static_cast<std::size_t>(i)) - running) / votes;
        }
        predicted_labels[static_cast<std::size_t>(i)] = running;
      }
    }
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
  static constexpr std::size_t unchecked = static_cast<std::size_t>(-1);

  template <class DataSet>
  void check(const DataSet& data) {
    if (checked_num_features != data.get_num_features()) {
      detail::check_feature_indices(forest, data.get_num_features());
      checked_num_features = data.get_num_features();
    }
  }

  std::vector<double> votes_for_each_tree;
  std::vector<Node<double>*> forest;
  double mean = 0.0;
  int n = 0;
  std::size_t checked_num_features = unchecked;
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
