#include "Sylvor/dataset/dataset_description.hpp"

#include <algorithm>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

void StringIntMap::add_label(const std::string& label, int id) {
  const auto found = string_to_int.find(label);
  if (found == string_to_int.end()) {
    string_to_int.emplace(label, id);
    int_to_string[id] = label;
    return;
  }
  if (found->second != id) {
    throw Exception("String label '" + label + "' already used for different numeric id " +
                    std::to_string(found->second));
  }
}

int StringIntMap::get_int_label(const std::string& label) const {
  const auto found = string_to_int.find(label);
  if (found == string_to_int.end()) throw NoSuchLabelException("label unknown: " + label);
  return found->second;
}

const std::string& StringIntMap::get_string_label(int id) const {
  const auto found = int_to_string.find(id);
  if (found == int_to_string.end()) {
    throw NoSuchLabelException("label unknown: " + std::to_string(id));
  }
  return found->second;
}

std::vector<std::pair<int, std::string>> StringIntMap::get_pairs() const {
  std::vector<std::pair<int, std::string>> pairs(int_to_string.begin(), int_to_string.end());
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

void DataSetDescription::add_nominal_feature(int feature, const std::string& value, int id) {
  feature_maps[feature].add_label(value, id);
}

void DataSetDescription::set_feature_name(int feature, const std::string& name) {
  feature_names[feature] = name;
}

std::string DataSetDescription::get_feature_name(int feature) const {
  const auto found = feature_names.find(feature);
  return found == feature_names.end() ? std::string() : found->second;
}

bool DataSetDescription::is_nominal_feature(int feature) const {
  return feature_maps.count(feature) != 0;
}

int DataSetDescription::get_int_feature(int feature, const std::string& value) const {
  const auto found = feature_maps.find(feature);
  if (found == feature_maps.end()) {
    throw NoSuchLabelException("feature " + std::to_string(feature) + " is not nominal");
  }
  return found->second.get_int_label(value);
}

std::string DataSetDescription::get_string_feature(int feature, int id) const {
  const auto found = feature_maps.find(feature);
  if (found == feature_maps.end()) {
    throw NoSuchLabelException("feature " + std::to_string(feature) + " is not nominal");
  }
  return found->second.get_string_label(id);
}

void DataSetDescription::set_num_features(int n) {
  num_features = n;
  ignore_flag_count = static_cast<std::size_t>(std::max(n, 0));
  // Flags at columns n and above are dropped.
  ignored_columns.erase(std::lower_bound(ignored_columns.begin(), ignored_columns.end(), n),
                        ignored_columns.end());
}

bool DataSetDescription::is_ignorable(int column) const {
  return column >= 0 && static_cast<std::size_t>(column) < ignore_flag_count &&
         std::binary_search(ignored_columns.begin(), ignored_columns.end(), column);
}

void DataSetDescription::set_ignorable(int column) {
  const std::size_t at = static_cast<std::size_t>(column);
  if (at >= ignore_flag_count) {
    ignore_flag_count = std::max(at + 1, static_cast<std::size_t>(std::max(num_features, 0)));
  }
  const auto place = std::lower_bound(ignored_columns.begin(), ignored_columns.end(), column);
  if (place == ignored_columns.end() || *place != column) ignored_columns.insert(place, column);
}

int DataSetDescription::get_num_classes() const {
  if (ltype == Regression) return 1;
  // Plus-one-minus-one labels have the two classes -1 and +1, named or not.
  if (ltype == PlusOneMinusOne) return 2;
  return static_cast<int>(label_map.size());
}

}  // namespace Sylvor
