// The settings of forest learning in one record, ForestSettings, filled by
// the program, the Python module and the package, and the criterion names
// with the task each criterion belongs to.
//
// Settings are plain values: filled once, then only read.
#ifndef SYLVOR_LEARN_SETTINGS_HPP
#define SYLVOR_LEARN_SETTINGS_HPP

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Sylvor/learn/criteria.hpp"
#include "Sylvor/learn/grow.hpp"
#include "Sylvor/learn/task.hpp"

namespace Sylvor {

enum class CriterionKind { Gini, InfoGain, GainRatio, Variance };

// "gini", "infogain", "gainratio", "variance" (or "var"); nothing for
// another name.
std::optional<CriterionKind> criterion_from_name(const std::string& name);

struct ForestSettings {
  int num_trees = 30;
  double bootstrap_fraction = 1.0;  // sample size as a fraction of the data, truncated
  std::size_t sample_size = 0;      // when positive, the sample size itself (bootstrap_fraction unused)
  bool bootstrap = true;            // false: every tree grows on every instance once, nothing is drawn
  // Per instance, its weight in the bootstrap draws (non-negative, some
  // positive): an instance is drawn with probability weight / total. Empty
  // for equal weights, drawn as without weights.
  std::vector<double> draw_weights;
  TreeLimits limits;                // features per split, depth, minimum node size
  CriterionKind criterion = CriterionKind::GainRatio;
  bool feature_importances = false;  // mean of the trees' normalised Gini or variance decreases
  bool tree_importances = false;     // with per-tree seeding, also keep each tree's own importances
  bool out_of_bag = false;           // record each tree's in-bag instances
  bool leaf_samples = false;         // record each leaf's draws and keep the targets (see leaf_samples.hpp)
  int num_threads = 0;               // the team size; 0 for the OpenMP default
};

// Calls run(task) with the classification task of a classification
// criterion (not Variance).
template <class Run>
auto with_classification_task(CriterionKind kind, Run&& run) {
  switch (kind) {
    case CriterionKind::InfoGain:
      return run(ClassificationTask<TwoSplitInfoGain>());
    case CriterionKind::Gini:
      return run(ClassificationTask<TwoSplitGiniImpurity>());
    case CriterionKind::GainRatio:
      return run(ClassificationTask<TwoSplitGainRatio>());
    case CriterionKind::Variance:
      break;
  }
  throw Exception("variance is not a classification criterion");
}

}  // namespace Sylvor

#endif
