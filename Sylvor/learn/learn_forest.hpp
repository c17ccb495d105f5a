// Learning a forest: the trees are grown in parallel on an OpenMP team, each
// on its own bootstrap sample and with the generator of the thread that grows
// it. Thread t of T grows the contiguous block of trees
// [t c, min((t + 1) c, trees)) with c = ceil(trees / T), in increasing order,
// so a forest is reproducible for the same generator seeding, data, options
// and thread count.
//
// The data set and criterion are shared read-only; each forest entry is
// written by one thread; per-thread importance sums are merged after a
// barrier in a critical section. An exception inside the team is captured,
// the team finishes, the trees are freed and the first exception is
// rethrown on the calling thread. The caller owns the returned trees. On
// request, each tree's in-bag instances are recorded for out-of-bag
// estimates, and a progress counter is advanced as each tree is finished,
// without changing any draw.
#ifndef SYLVOR_LEARN_LEARN_FOREST_HPP
#define SYLVOR_LEARN_LEARN_FOREST_HPP

#include <omp.h>

#include <cmath>
#include <exception>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "Sylvor/dataset/index_dataset.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/learn/learn_tree.hpp"
#include "Sylvor/learn/tree.hpp"

namespace Sylvor {

// Class labels must fit the count slots of the data set's nc classes: the
// classes -1 .. nc. Throws IncompatibleDataException naming the first
// instance whose label does not.
template <class DataSet>
void check_class_labels(const DataSet& data) {
  typedef typename DataSet::label_type L;
  const long nc = static_cast<long>(data.get_num_classes());
  for (std::size_t i = 0; i < data.get_num_instances(); ++i) {
    const L label = data.get_label(i);
    const double slot = std::is_floating_point<L>::value ? std::trunc(static_cast<double>(label) + 1.0)
                                                         : static_cast<double>(label) + 1.0;
    if (!(slot >= 0.0 && slot <= static_cast<double>(nc + 1))) {
      std::ostringstream message;
      message << "label " << label << " of instance " << i << " is not a class of the data set "
              << "(classes -1 to " << nc << " for " << nc
              << " classes; declare the classes with 'label' lines in the description)";
      throw IncompatibleDataException(message.str());
    }
  }
}


template <class DataSet, class Criterion>
std::vector<Node<typename DataSet::label_type>*> learn_forest(
    const DataSet& data, int forest_size, double sample_prop, int fte_per_split, int max_depth,
    int min_leaf_size, const Criterion& criteria, bool compute_feature_importances,
    std::vector<double>& feature_importances, std::vector<std::vector<bool>>* in_bag = nullptr,
    ProgressCounter* progress = nullptr) {
  typedef typename DataSet::label_type L;
  if (data.get_num_instances() == 0) throw IncompatibleDataException("data set is empty");
  if (forest_size < 0) {
    throw Exception("number of trees must not be negative: " + std::to_string(forest_size));
  }
  if constexpr (!std::is_same<Criterion, TwoSplitVariance>::value) check_class_labels(data);

  std::vector<Node<L>*> forest(static_cast<std::size_t>(forest_size), nullptr);
  if (in_bag != nullptr) in_bag->assign(static_cast<std::size_t>(forest_size), std::vector<bool>());
  std::fill(feature_importances.begin(), feature_importances.end(), 0.0);
  const std::size_t num_importances = feature_importances.size();

  TeamErrors errors;

#pragma omp parallel
  {
    std::vector<double> tree_importances, thread_importances;
    try {
      tree_importances.assign(num_importances, 0.0);
      thread_importances.assign(num_importances, 0.0);
      const auto [begin, end] = block_range(forest_size, omp_get_num_threads(), omp_get_thread_num());
      for (long k = begin; k < end && !errors.any(); ++k) {
        XorShiftRNG& rng = *get_rng();
        const IndexedDataSet<DataSet> sample = random_subset_iid(&data, sample_prop, rng);
        if (in_bag != nullptr) {
          // Which instances this tree's sample holds (each entry is written by
          // this thread only); recording them draws nothing.
          std::vector<bool>& mask = (*in_bag)[static_cast<std::size_t>(k)];
          mask.assign(data.get_num_instances(), false);
          for (const std::size_t i : sample.indices) mask[i] = true;
        }
        if (compute_feature_importances) std::fill(tree_importances.begin(), tree_importances.end(), 0.0);
        forest[static_cast<std::size_t>(k)] =
            learn_tree(sample, fte_per_split, max_depth, min_leaf_size, criteria,
                       compute_feature_importances, tree_importances);
        if (compute_feature_importances) {
          for (std::size_t f = 0; f < num_importances; ++f) thread_importances[f] += tree_importances[f];
        }
        if (progress != nullptr) progress->add(1);
      }
    } catch (...) {
      errors.capture();
    }
#pragma omp barrier
#pragma omp critical(sylvor_learn_forest_importances)
    if (compute_feature_importances && !errors.any()) {
      for (std::size_t f = 0; f < num_importances; ++f) feature_importances[f] += thread_importances[f];
    }
  }

  if (errors.any()) {
    for (Node<L>* root : forest) delete root;
    errors.rethrow();
  }
  // A forest of no trees keeps its zeros.
  if (compute_feature_importances && forest_size > 0) {
    for (double& v : feature_importances) v *= 1.0 / forest_size;
  }
  return forest;
}

}  // namespace Sylvor

#endif
