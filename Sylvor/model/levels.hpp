// The level names of a model's categorical features. A categorical
// feature's values are level numbers 0, 1, ...: the numbers of its level
// names sorted (by bytes), collected from the training rows. The model
// keeps the names, so that other data are coded by name; a name it does not
// know is a missing value.
//
// A plain value: filled once (by the data reader or a model reader), then
// only read, from any thread.
#ifndef SYLVOR_MODEL_LEVELS_HPP
#define SYLVOR_MODEL_LEVELS_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Sylvor {

struct FeatureLevels {
  // Per feature, its level names by level number; empty for a numeric
  // feature (and no entries at all when every feature is numeric).
  std::vector<std::vector<std::string>> names;

  // True when no feature is categorical.
  bool none() const {
    return std::all_of(names.begin(), names.end(), [](const std::vector<std::string>& n) { return n.empty(); });
  }

  bool is_categorical(std::size_t f) const { return f < names.size() && !names[f].empty(); }

  // Per feature of `num_features`, its number of levels (0 for numeric):
  // what learning takes (empty when every feature is numeric).
  std::vector<std::uint32_t> counts(std::size_t num_features) const {
    if (none()) return {};
    std::vector<std::uint32_t> levels(num_features, 0);
    for (std::size_t f = 0; f < names.size() && f < num_features; ++f) {
      levels[f] = static_cast<std::uint32_t>(names[f].size());
    }
    return levels;
  }

  // The level number of `name` for feature f (sorted names), or -1 when the
  // feature has no such level.
  long long number_of(std::size_t f, const std::string& name) const {
    const std::vector<std::string>& sorted = names[f];
    const auto at = std::lower_bound(sorted.begin(), sorted.end(), name);
    return at != sorted.end() && *at == name ? static_cast<long long>(at - sorted.begin()) : -1;
  }

  bool operator==(const FeatureLevels& other) const { return names == other.names; }
};

}  // namespace Sylvor

#endif
