#include "Sylvor/learn/settings.hpp"

namespace Sylvor {

std::optional<CriterionKind> criterion_from_name(const std::string& name) {
  if (name == "gini") return CriterionKind::Gini;
  if (name == "infogain") return CriterionKind::InfoGain;
  if (name == "gainratio") return CriterionKind::GainRatio;
  if (name == "variance" || name == "var") return CriterionKind::Variance;
  return std::nullopt;
}

}  // namespace Sylvor
