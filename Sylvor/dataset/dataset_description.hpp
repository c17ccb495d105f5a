// How the columns of a delimited data file are to be read: the kind of
// labels, the label strings and their class ids, the column that holds the
// label, the columns to skip and the number of features.
//
// StringIntMap is the two-way map between label strings and integer ids.
// Both are plain values: built by the description reader (or by hand), then
// only read, and copied freely. The ignore flags behave as a vector of
// num_ignore_flags() flags indexed by column (at least num_features of them
// once num_features has been set); only the set flags are stored, so that a
// large column number or feature count costs no memory. Not synchronised;
// read-only use from several threads is safe.
#ifndef SYLVOR_DATASET_DATASET_DESCRIPTION_HPP
#define SYLVOR_DATASET_DATASET_DESCRIPTION_HPP

#include <cstddef>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Sylvor {

enum LabelingType { PlusOneMinusOne = 0, DiscreteZeroOnward = 1, Regression = 2 };

class StringIntMap {
public:
  // Registers label <-> id. A label already registered under another id
  // throws Exception; registering the same pair again changes nothing. A new
  // string for an id that already has one takes over the id's string.
  void add_label(const std::string& label, int id);

  // Throw NoSuchLabelException("label unknown: ...") for what is not registered.
  int get_int_label(const std::string& label) const;
  const std::string& get_string_label(int id) const;

  bool has_label(const std::string& label) const { return string_to_int.count(label) != 0; }
  bool has_id(int id) const { return int_to_string.count(id) != 0; }

  // The number of registered ids.
  std::size_t size() const { return int_to_string.size(); }

  // Every (id, label) pair, by ascending id.
  std::vector<std::pair<int, std::string>> get_pairs() const;

private:
  std::unordered_map<std::string, int> string_to_int;
  std::unordered_map<int, std::string> int_to_string;
};

class DataSetDescription {
public:
  void set_labeling(LabelingType type) { ltype = type; }
  LabelingType get_labeling() const { return ltype; }

  void add_label_pair(const std::string& label, int id) { label_map.add_label(label, id); }
  int get_int_label(const std::string& label) const { return label_map.get_int_label(label); }
  std::string get_string_label(int id) const { return label_map.get_string_label(id); }

  // Value strings and ids of nominal features, and feature names. The data
  // reader does not consult them; they document the data.
  void add_nominal_feature(int feature, const std::string& value, int id);
  void set_feature_name(int feature, const std::string& name);
  // The name of a feature, or an empty string when it has none.
  std::string get_feature_name(int feature) const;
  bool is_nominal_feature(int feature) const;
  // Throw NoSuchLabelException when the feature or value is not registered.
  int get_int_feature(int feature, const std::string& value) const;
  std::string get_string_feature(int feature, int id) const;

  int get_class_column() const { return class_column; }
  void set_class_column(int column) { class_column = column; }

  int get_num_features() const { return num_features; }
  // Sets the count and resizes the ignore flags to exactly n entries: flags
  // at columns n and above are dropped.
  void set_num_features(int n);

  // True for a column whose flag is set; columns beyond the flags never are.
  bool is_ignorable(int column) const;
  // Marks a column to be skipped, growing the flags to the larger of
  // column + 1 and num_features when needed.
  void set_ignorable(int column);
  // The number of ignore flags, and the columns whose flag is set (ascending).
  std::size_t num_ignore_flags() const { return ignore_flag_count; }
  const std::vector<int>& get_ignored_columns() const { return ignored_columns; }

  // 1 for regression, else the number of registered label ids.
  int get_num_classes() const;

  // Columns whose cells are level names (a categorical feature each).
  void set_categorical(int column) { categorical_columns.insert(column); }
  bool is_categorical_column(int column) const { return categorical_columns.count(column) != 0; }
  const std::set<int>& get_categorical_columns() const { return categorical_columns; }

  void set_number_labeling(bool on) { number_labeling = on; }
  bool is_number_labeling() const { return number_labeling; }

  // Whether the first row of the data holds the column names, not values.
  void set_header(bool on) { header = on; }
  bool has_header() const { return header; }

  // Whether the class names are to be collected from the rows read (sorted
  // and numbered 0, 1, ...): for class labels named in a column when the
  // description names no class.
  // The description asked for it by name ("labels-from-data").
  void set_labels_from_data(bool on) { labels_from_data = on; }
  bool asks_labels_from_data() const { return labels_from_data; }
  bool collects_labels() const {
    return ltype == DiscreteZeroOnward && !number_labeling && class_column >= 0 && label_map.size() == 0;
  }

  const StringIntMap& get_label_map() const { return label_map; }

private:
  LabelingType ltype = DiscreteZeroOnward;
  StringIntMap label_map;
  std::unordered_map<int, StringIntMap> feature_maps;
  std::unordered_map<int, std::string> feature_names;
  std::size_t ignore_flag_count = 0;
  std::vector<int> ignored_columns;  // sorted, each below ignore_flag_count
  int class_column = -1;
  std::set<int> categorical_columns;
  int num_features = 0;
  bool number_labeling = false;
  bool header = false;
  bool labels_from_data = false;
};

}  // namespace Sylvor

#endif
