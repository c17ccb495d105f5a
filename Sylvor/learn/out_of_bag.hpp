// Out-of-bag estimates: every instance is predicted by the trees whose
// bootstrap sample left it out (majority vote with the smallest label
// winning ties, or the running mean in tree order for regression), and the
// predictions are scored against the labels. Instances that every tree
// sampled are left out and counted. Reads the data and trees only; the
// instances are spread over the OpenMP team.
#ifndef SYLVOR_LEARN_OUT_OF_BAG_HPP
#define SYLVOR_LEARN_OUT_OF_BAG_HPP

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "Sylvor/learn/tree.hpp"

namespace Sylvor {

struct OutOfBagEstimate {
  double error = 0.0;          // classification error rate, or mean squared error
  std::size_t evaluated = 0;   // instances with at least one out-of-bag tree
  std::size_t without = 0;     // instances that every tree sampled
};

template <class DataSet>
OutOfBagEstimate out_of_bag_estimate(const DataSet& data,
                                     const std::vector<Node<typename DataSet::label_type>*>& forest,
                                     const std::vector<std::vector<bool>>& in_bag) {
  typedef typename DataSet::label_type L;
  constexpr bool regression = std::is_floating_point<L>::value;
  const long ni = static_cast<long>(data.get_num_instances());
  const std::size_t slots = data.get_num_classes() + 2;
  double loss = 0.0;
  long evaluated = 0;
#pragma omp parallel reduction(+ : loss, evaluated)
  {
    std::vector<int> counts(slots);
#pragma omp for schedule(static)
    for (long i = 0; i < ni; ++i) {
      const std::size_t at = static_cast<std::size_t>(i);
      double mean = 0.0;
      int votes = 0;
      std::fill(counts.begin(), counts.end(), 0);
      for (std::size_t k = 0; k < forest.size(); ++k) {
        if (in_bag[k][at]) continue;
        const L leaf = forest[k]->predict(data, at);
        ++votes;
        if constexpr (regression) {
          mean += (static_cast<double>(leaf) - mean) / votes;
        } else {
          const long slot = static_cast<long>(leaf) + 1;
          if (slot >= 0 && static_cast<std::size_t>(slot) < slots) ++counts[static_cast<std::size_t>(slot)];
        }
      }
      if (votes == 0) continue;
      ++evaluated;
      if constexpr (regression) {
        const double residual = mean - static_cast<double>(data.get_label(at));
        loss += residual * residual;
      } else {
        int best_label = -2, best_count = 0;
        for (std::size_t j = 0; j < slots; ++j) {
          if (counts[j] > best_count) {
            best_label = static_cast<int>(j) - 1;
            best_count = counts[j];
          }
        }
        if (best_label != static_cast<int>(data.get_label(at))) loss += 1.0;
      }
    }
  }
  OutOfBagEstimate estimate;
  estimate.evaluated = static_cast<std::size_t>(evaluated);
  estimate.without = static_cast<std::size_t>(ni - evaluated);
  estimate.error = loss / static_cast<double>(evaluated);
  return estimate;
}

}  // namespace Sylvor

#endif
