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

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

// The most levels a feature may have (level numbers are exact in a float),
// and the longest level name.
constexpr std::size_t most_levels = std::size_t(1) << 24;
constexpr std::size_t longest_level_name = 254;

// Throws Exception unless `names` (feature f's) can number its levels: at
// most most_levels names, ascending by bytes without repeats.
inline void check_level_order(std::size_t f, const std::vector<std::string>& names) {
  const std::string feature = "feature " + std::to_string(f);
  if (names.size() > most_levels) {
    throw Exception(feature + " has more than " + std::to_string(most_levels) + " levels");
  }
  for (std::size_t k = 1; k < names.size(); ++k) {
    if (!(names[k - 1] < names[k])) {
      throw Exception("the levels of " + feature + " are not in ascending order without repeats ('" +
                      names[k - 1] + "', '" + names[k] + "')");
    }
  }
}

// Throws Exception unless every name of feature f can be written in a model
// file and read back: one word of 1 .. longest_level_name characters
// without white space or commas.
inline void check_level_words(std::size_t f, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (name.empty() || name.size() > longest_level_name ||
        name.find_first_of(" \t\n\r\v\f,") != std::string::npos) {
      throw Exception("level '" + name + "' of feature " + std::to_string(f) +
                      " cannot be written in a model file, where a level name is one word of 1 to " +
                      std::to_string(longest_level_name) + " characters without white space or commas");
    }
  }
}

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

  // Equal when they name the same levels of the same features (a numeric
  // feature beyond the last categorical one may be listed or not).
  bool operator==(const FeatureLevels& other) const {
    const std::size_t common = std::min(names.size(), other.names.size());
    const auto empty = [](const std::vector<std::string>& n) { return n.empty(); };
    return std::equal(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(common), other.names.begin()) &&
           std::all_of(names.begin() + static_cast<std::ptrdiff_t>(common), names.end(), empty) &&
           std::all_of(other.names.begin() + static_cast<std::ptrdiff_t>(common), other.names.end(), empty);
  }
  bool operator!=(const FeatureLevels& other) const { return !(*this == other); }
};

}  // namespace Sylvor

#endif
