// Prediction by a forest: predict_blocks walks whole data sets, and the two
// predictors built on it give the majority vote of the trees' leaves for
// classification (BaseForestClassifier: the smallest label wins ties) or the
// running mean of the leaves in tree order for regression
// (BaseForestRegressor), plus class-vote fractions.
//
// Predictors hold a flat copy of the forest, made once, and no scratch:
// every call makes its own, so one predictor may serve several callers at
// once. Whole data sets are split in contiguous blocks of instances, one per
// team member, walked chunk by chunk and tree by tree (a tree stays in cache
// while the chunk passes through it), several instances side by side. Each
// instance's result is computed as a single-instance walk over the trees in
// order would compute it, so results never depend on the thread count. Every
// call checks that the trees test only features of the data. A progress
// counter, when given, receives each finished chunk's instances (added by
// the team members, atomically).
#ifndef SYLVOR_PREDICT_PREDICTOR_HPP
#define SYLVOR_PREDICT_PREDICTOR_HPP

#include <algorithm>
#include <cstddef>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/model/tree.hpp"
#include "Sylvor/model/flat_forest.hpp"
#include "Sylvor/model/votes.hpp"

namespace Sylvor {

// Instances predicted together, tree by tree, by one team member: 512, or
// fewer where many classes would make their vote table large (it holds
// about a million counts at most, and at least 16 instances).
constexpr std::size_t prediction_chunk = 512;

inline std::size_t prediction_chunk_for(std::size_t num_classes) {
  const std::size_t fitting = (std::size_t(1) << 20) / (num_classes + 2);
  return std::max<std::size_t>(16, std::min(prediction_chunk, fitting - fitting % 16));
}

[[noreturn]] inline void throw_empty_forest() { throw Exception("forest is empty: cannot predict"); }

// Aggregates the leaves of every tree for every instance of `data` with
// Votes (made per team member for num_classes classes) and calls
// done(i, votes, j) once instance i's votes are complete in slot j, on a
// team of team_size(threads) (one chunk or less: on the calling thread).
// Concurrent calls of `done` concern distinct instances.
template <class Votes, class L, class DataSet, class Done>
void predict_blocks(const FlatForest<L>& forest, const DataSet& data, std::size_t num_classes, int threads,
                    Done done, ProgressCounter* progress = nullptr) {
  const std::size_t ni = data.get_num_instances();
  if (ni == 0) return;
  if (forest.empty()) throw_empty_forest();
  forest.check(data.get_num_features());
  const auto columns = column_pointers(data);
  constexpr std::size_t lanes = FlatForest<L>::lanes;
  const std::size_t chunk = prediction_chunk_for(num_classes);
  for_each_chunk(
      ni, chunk, threads, [&] { return Votes(num_classes, chunk); },
      [&](Votes& votes, std::size_t first, std::size_t count) {
        votes.clear(count);
        L values[lanes];
        // A chunk without missing values may take a forest's cheaper walk.
        const bool no_missing = forest.gains_from_no_missing() && none_missing(columns, first, count);
        for (std::size_t k = 0; k < forest.size(); ++k) {
          for (std::size_t j = 0; j < count; j += lanes) {
            const std::size_t n = std::min(lanes, count - j);
            forest.values_of_lanes(k, columns.data(), first + j, n, values, no_missing);
            for (std::size_t l = 0; l < n; ++l) votes.add(j + l, values[l]);
          }
        }
        for (std::size_t j = 0; j < count; ++j) done(first + j, votes, j);
        if (progress != nullptr) progress->add(count);
      });
}

// What both predictors share: the view of the forest, the number of
// classes, and the forms over a whole data set and over one instance.
template <class L, class Votes>
class BlockPredictor {
public:
  typedef L label_type;

  explicit BlockPredictor(std::size_t num_classes) : num_classes(num_classes) {}

  // Whole data sets are predicted on teams of this many threads (0: the
  // OpenMP default).
  void set_num_threads(int threads) { num_threads = threads; }

  // Predicts with the trees of `forest` (packed into a flat forest of the
  // predictor's own).
  void use_forest(const Forest<L>& forest) { flat = FlatForest<L>(forest); }
  std::size_t get_num_classes() const { return num_classes; }

  // The prediction of instance i of `data`.
  template <class DataSet>
  typename Votes::result_type predict(const DataSet& data, std::size_t i) const {
    if (flat.empty()) throw_empty_forest();
    flat.check(data.get_num_features());
    const auto columns = column_pointers(data);
    Votes votes(num_classes, 1);
    for (std::size_t k = 0; k < flat.size(); ++k) votes.add(0, flat.value(k, flat.leaf_of(k, columns.data(), i)));
    return votes.result(0);
  }

  // The prediction of every instance of `data`, in instance order.
  template <class DataSet>
  void predict(const DataSet& data, std::vector<typename Votes::result_type>& predicted,
               ProgressCounter* progress = nullptr) const {
    predicted.resize(data.get_num_instances());
    predict_blocks<Votes>(
        flat, data, num_classes, num_threads,
        [&](std::size_t i, const Votes& votes, std::size_t j) { predicted[i] = votes.result(j); }, progress);
  }

protected:
  FlatForest<L> flat;
  std::size_t num_classes;
  int num_threads = 0;
};

class BaseForestClassifier : public BlockPredictor<int, ClassVotes> {
public:
  using BlockPredictor::BlockPredictor;

  // Fills probs(i, c) with the share of trees voting for class c: classes
  // 0 .. nc - 1 for DiscreteZeroOnward, the columns -1 and +1 for
  // PlusOneMinusOne. `probs` is any writable (instance, class) view; the
  // fractions are computed in double and stored in its element type.
  template <class DataSet, class Probabilities>
  void compute_probabilities(const DataSet& data, Probabilities& probs, ProgressCounter* progress = nullptr) const {
    if (data.get_labeling() == Regression) throw Exception("cannot compute probabilities for regression");
    const double num_trees = static_cast<double>(flat.size());
    const std::size_t nc = data.get_num_classes();
    const bool plus_minus = data.get_labeling() == PlusOneMinusOne;
    predict_blocks<ClassVotes>(
        flat, data, num_classes, num_threads,
        [&](std::size_t i, const ClassVotes& votes, std::size_t j) {
          const int* counts = votes.counts(j);
          if (plus_minus) {
            probs(i, 0) = counts[0] / num_trees;
            probs(i, 1) = counts[2] / num_trees;
          } else {
            for (std::size_t c = 0; c < nc; ++c) {
              probs(i, c) = (c + 1 < votes.num_slots() ? counts[c + 1] : 0) / num_trees;
            }
          }
        },
        progress);
  }
};

class BaseForestRegressor : public BlockPredictor<double, RunningMean> {
public:
  explicit BaseForestRegressor(std::size_t num_classes = 1) : BlockPredictor(num_classes) {}
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
