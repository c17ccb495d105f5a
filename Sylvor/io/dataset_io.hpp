// Reading data sets: the description-file language (SylvorDescriptionReader)
// and delimited data files (CSVReader splitting lines into columns,
// DataSetReader turning the columns of each row into feature values and a
// label), with an optional selection of rows.
//
// A DataSetReader owns its row buffers, which are reused from row to row and
// grow geometrically; it writes only to the data set it was given, appending
// a row only once every value of the row has converted, so a failing row
// never leaves a piece of itself behind. Readers are used by one thread.
//
// Errors: description errors are DataIOException with the 1-based line;
// data-row errors are thrown std::string naming the 0-based row (the number
// of the non-empty line) and, where it applies, the column.
#ifndef SYLVOR_IO_DATASET_IO_HPP
#define SYLVOR_IO_DATASET_IO_HPP

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/model/levels.hpp"

namespace Sylvor {

// ---------------------------------------------------------------- descriptions

class SylvorDescriptionReader {
public:
  SylvorDescriptionReader();

  // The longest line a description may hold.
  static constexpr std::size_t max_line = 1 << 16;

  // Parses a whole description; commands take effect in file order. A line
  // longer than max_line is an error.
  DataSetDescription read(std::istream& in) const;

  // A non-negative decimal integer of the digits 0-9 only, within 32 bits;
  // anything else throws DataIOException "error parsing int from '<text>'".
  static int parse_int(int line_no, const std::string& text);

  void handle_command(int line_no, DataSetDescription& desc, const std::string& command,
                      const std::vector<std::string>& args) const;

private:
  typedef void (*Handler)(int, DataSetDescription&, const std::vector<std::string>&);
  struct Command {
    std::size_t num_args;
    Handler handler;
  };
  std::unordered_map<std::string, Command> commands;
};

// Throws Exception unless the classes of a description are numbered as its
// label type wants them: 0, 1, ..., K - 1 for discrete-zero-onward labels
// (a gap or a start other than 0 would leave classes without a cell in the
// confusion matrix), -1 and +1 for plus-one-minus-one labels.
void check_class_numbers(const DataSetDescription& desc);

// Reads a description file and checks its class numbers. An empty name gives
// the default description; a file that cannot be opened throws Exception.
DataSetDescription read_sylvor_description(const std::string& filename);

// Writes a description that reads back as `desc` does: its label type,
// class column, feature count, ignored and categorical columns, header,
// class names and feature names (the value names of nominal features,
// which reading does not use, are left out). Names must be description
// words (see is_description_word).
void write_sylvor_description(std::ostream& out, const DataSetDescription& desc);

// Whether a name can stand as one word of a description line: not empty,
// no white space, no "#" (which starts a comment).
bool is_description_word(const std::string& name);

// ------------------------------------------------------------------ data rows

// Converts one column text (fewer than 255 characters): NaN when it starts
// with "?" or "*" (a missing value), else the number at its start as strtod
// reads it (trailing characters ignored). Throws the std::string
// "could not convert '<text>' to a double." when no number starts it.
double convert_cstring_to_double(const char* text, int length);

// True, with the value in `v`, when the whole text is one finite number
// (the form of strtod, nothing before or after it).
bool parse_finite_number(const char* text, int length, double& v);

// True when a column text stands for a missing value.
inline bool is_missing_value(const char* text, int length) {
  return length > 0 && (text[0] == '?' || text[0] == '*');
}

// A human name of a feature type, for messages.
template <class F>
const char* feature_type_name() {
  if (std::is_same<F, double>::value) return "double";
  if (std::is_same<F, float>::value) return "float";
  if (std::is_same<F, int>::value) return "int";
  if (std::is_same<F, short>::value) return "short";
  if (std::is_same<F, unsigned char>::value) return "unsigned char";
  return "unknown";
}

// True when v can be stored as T: for integer types its truncation toward
// zero lies within T's range (NaN never does); for float it is not a finite
// value beyond float's range.
template <class T>
bool fits_in(double v) {
  if constexpr (std::is_integral<T>::value) {
    return v > static_cast<double>(std::numeric_limits<T>::min()) - 1.0 &&
           v < static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
  } else if constexpr (std::is_same<T, float>::value) {
    return !(std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max());
  } else {
    return true;
  }
}

// Splits the lines of a delimited text into columns and hands them to a
// reader: next_column(first, last) per column, next_row() per row. Empty
// lines are skipped; double quotes protect the delimiter, white space and
// "#"; outside quotes white space is dropped and "#" starts a comment.
class CSVReader {
public:
  // The delimiter is a single character.
  explicit CSVReader(const std::string& delim);

  template <class Reader>
  void read(std::istream& in, Reader& reader) const;

private:
  enum CharClass : unsigned char { Text, Quote, Delimiter, Comment, Blank };
  CharClass char_class[256];  // what each character does outside quotes
};

template <class Reader>
void CSVReader::read(std::istream& in, Reader& reader) const {
  std::vector<char> column(1024);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    // A column never holds more characters than its line.
    if (column.size() < line.size()) column.resize(std::max(line.size(), 2 * column.size()));
    char* const start = column.data();
    char* end = start;
    bool quoted = false;
    for (const char c : line) {
      const CharClass kind = char_class[static_cast<unsigned char>(c)];
      if (kind == Text) {
        *end++ = c;
      } else if (kind == Quote) {
        quoted = !quoted;
      } else if (quoted) {
        *end++ = c;
      } else if (kind == Delimiter) {
        reader.next_column(start, end);
        end = start;
      } else if (kind == Comment) {
        break;
      }  // white space outside quotes is dropped
    }
    reader.next_column(start, end);
    reader.next_row();
  }
}

// What a read learned beside the rows, for its caller to use or report.
struct ReadNotes {
  std::vector<std::string> header;       // the column names of a header row
  std::vector<std::string> class_names;  // collected class names, sorted: class k is class_names[k]
  // Values the feature type changed, at most one per column: an integer
  // feature type drops a number's decimals.
  std::vector<std::string> warnings;
};

template <class DataSet>
class DataSetReader {
public:
  typedef typename DataSet::feature_type feature_type;
  typedef typename DataSet::label_type label_type;

  explicit DataSetReader(DataSet& data) : data(data), first_instance(data.get_num_instances()) {}

  // With a header in the description the first row is taken for the column
  // names; rows are numbered from the one after it. When the description
  // names no class, the class names are collected (see finish_labels).
  void use_description(const DataSetDescription& description) {
    desc = description;
    number_labeling = desc.is_number_labeling();
    header_pending = desc.has_header();
    collecting_labels = desc.collects_labels();
  }

  // Where the header, the collected class names and the warnings go (none
  // are kept without it).
  void use_notes(ReadNotes* read_notes) { notes = read_notes; }

  // Numbers the collected class names in sorted order and relabels the rows
  // read with them; the data set then has as many classes as names.
  void finish_labels() {
    if (!collecting_labels) return;
    std::vector<std::string> names = class_names;
    std::sort(names.begin(), names.end());
    std::vector<L> number(class_names.size());
    for (std::size_t c = 0; c < number.size(); ++c) {
      number[c] = static_cast<L>(std::lower_bound(names.begin(), names.end(), class_names[c]) - names.begin());
    }
    for (std::size_t i = first_instance; i < data.get_num_instances(); ++i) {
      data.set_label(i, number[static_cast<std::size_t>(data.get_label(i))]);
    }
    data.set_num_classes(names.size());
    if (notes != nullptr) notes->class_names = std::move(names);
  }

  // Reads the cells of the description's categorical columns as level
  // names: with `collect`, the names are gathered into `levels` (one list
  // per feature, sorted) and the cells numbered by them once every row is
  // read (finish_levels); else the cells are numbered by the names `levels`
  // holds, a name it does not know being a missing value.
  void use_levels(FeatureLevels* feature_levels, bool collect) {
    levels = feature_levels;
    collect_levels = collect;
  }

  // Numbers the collected level names (see use_levels).
  void finish_levels() {
    if (levels == nullptr || !collect_levels) return;
    levels->names.assign(data.get_num_features(), {});
    for (std::size_t k = 0; k < seen_levels.size(); ++k) {
      if (!is_categorical[k]) continue;
      const std::string column = std::to_string(feature_columns[k]);
      std::vector<std::string>& names = levels->names[k];
      names = first_seen[k];
      if (names.empty()) throw Exception("categorical column " + column + " has no level: every cell is missing");
      if (names.size() > max_levels<F>()) {
        throw Exception("categorical column " + column + " has " + std::to_string(names.size()) +
                        " levels, more than the " + std::to_string(max_levels<F>()) +
                        " the feature type " + feature_type_name<F>() + " can number");
      }
      std::sort(names.begin(), names.end());
      std::vector<F> number(first_seen[k].size());
      for (std::size_t c = 0; c < number.size(); ++c) {
        number[c] = static_cast<F>(std::lower_bound(names.begin(), names.end(), first_seen[k][c]) - names.begin());
      }
      for (F& v : data.features[k]) {
        if (v == v) v = number[static_cast<std::size_t>(v)];
      }
    }
  }

  // Keeps only the rows whose numbers are listed (in any order, each once).
  void use_subset(const std::vector<int>& indices) {
    subset_indices = indices;
    std::sort(subset_indices.begin(), subset_indices.end());
    if (!subset_indices.empty() && subset_indices.front() < 0) {
      throw Exception("Negative subset indices are not allowed.");
    }
    const auto twice = std::adjacent_find(subset_indices.begin(), subset_indices.end());
    if (twice != subset_indices.end()) {
      throw Exception("the selection lists row " + std::to_string(*twice) + " twice");
    }
    subset_used = true;
    subset_next = 0;
  }

  // After the last row: every selected row must have been found.
  void finish() const {
    if (subset_used && subset_next < subset_indices.size()) {
      throw Exception("the selection lists row " + std::to_string(subset_indices[subset_next]) +
                      " but the data have " + std::to_string(row_no) + " rows (0 to " +
                      std::to_string(static_cast<long>(row_no) - 1) + ")");
    }
  }

  // The rows met so far (non-empty lines).
  std::size_t rows_read() const { return row_no; }

  void next_column(const char* first, const char* last) {
    const std::size_t length = static_cast<std::size_t>(last - first);
    const std::size_t needed = static_cast<std::size_t>(col_start) + length;
    if (row.size() < needed) row.resize(std::max(needed, 2 * row.size()));
    char* to = row.data() + col_start;
    for (const char* from = first; from != last; ++from) *to++ = *from;
    col_start = static_cast<int>(needed);
    if (col_starts.size() < col_no + 1) col_starts.resize(std::max(col_no + 1, 2 * col_starts.size()));
    col_starts[col_no] = col_start;
    ++col_no;
  }

  void next_row() {
    const std::size_t n = col_no;
    if (n != 0) {
      if (first_row_size == 0) {
        plan_columns(n);
        first_row_size = n;
      } else if (n != first_row_size) {
        throw "row " + std::to_string(row_no) + " has " + std::to_string(n) +
            " columns but " + (header_names.empty() ? "previous rows have " : "the header has ") +
            std::to_string(first_row_size) + " columns";
      }
    }
    if (n != 0 && header_pending) {
      take_header(n);
    } else {
      if (n != 0 && take_row()) store_row();
      ++row_no;
    }
    col_start = 0;
    col_no = 0;
    if (!col_starts.empty()) col_starts[0] = 0;
  }

private:
  typedef typename DataSet::feature_type F;
  typedef typename DataSet::label_type L;

  void take_header(std::size_t n) {
    header_pending = false;
    header_names.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
      int length = 0;
      const char* text = column_text(j, length);
      header_names[j].assign(text, static_cast<std::size_t>(length));
    }
    if (notes != nullptr) notes->header = header_names;
  }

  // The row being read: the header row, or a row by its number.
  std::string row_called() const { return header_pending ? "the header row" : "row " + std::to_string(row_no); }

  // Column j, with its header name when there is one.
  std::string column_called(std::size_t j) const {
    return "column " + std::to_string(j) + (j < header_names.size() ? " (" + header_names[j] + ")" : "");
  }

  // The first value of feature k that the integer feature type cuts short.
  void note_dropped_decimals(std::size_t k, std::size_t j, const char* text, int length, double v) {
    if (notes == nullptr) return;
    if (decimals_noted.empty()) decimals_noted.assign(feature_columns.size(), 0);
    if (decimals_noted[k]) return;
    decimals_noted[k] = 1;
    notes->warnings.push_back(column_called(j) + " has decimals, which the feature type " + feature_type_name<F>() +
                              " drops: '" + std::string(text, static_cast<std::size_t>(length)) + "' in row " +
                              std::to_string(row_no) + " is read as " + std::to_string(static_cast<long long>(static_cast<F>(v))) +
                              " (the first such value of the column; use --feature-type float or double to keep them)");
  }

  // The description's class names, the first ten of them.
  std::string class_list() const {
    const auto pairs = desc.get_label_map().get_pairs();
    std::string names = pairs.size() == 1 ? "its class is " : "its classes are ";
    for (std::size_t k = 0; k < pairs.size() && k < 10; ++k) names += (k == 0 ? "" : ", ") + pairs[k].second;
    return names + (pairs.size() > 10 ? ", ... (" + std::to_string(pairs.size()) + " in all)" : std::string());
  }

  // The number of a collected class name, in the order the names are met.
  L collected_label() {
    const auto [at, added] = seen_classes.emplace(label_buffer, class_names.size());
    if (added) {
      if (is_missing_value(label_buffer.data(), static_cast<int>(label_buffer.size())) || label_buffer.empty()) {
        throw "row " + std::to_string(row_no) + ": the label is missing ('" + label_buffer + "')";
      }
      class_names.push_back(label_buffer);
    }
    return static_cast<L>(at->second);
  }

  // Fixes, from the first row, which columns are features; the shape of the
  // file must agree with the description.
  void plan_columns(std::size_t n) {
    const int class_column = desc.get_class_column();
    if (class_column >= 0 && static_cast<std::size_t>(class_column) >= n) {
      throw row_called() + " has " + std::to_string(n) +
          " columns but the description puts the label in column " +
          std::to_string(class_column);
    }
    feature_columns.clear();
    for (std::size_t j = 0; j < n; ++j) {
      if (!desc.is_ignorable(static_cast<int>(j)) && static_cast<int>(j) != class_column) {
        feature_columns.push_back(j);
      }
    }
    const std::size_t declared = static_cast<std::size_t>(std::max(desc.get_num_features(), 0));
    if (feature_columns.size() != declared) {
      throw row_called() + " has " + std::to_string(feature_columns.size()) +
          " feature columns (neither ignored nor the label) but the description declares " +
          std::to_string(declared) + " features";
    }
    values.reserve(feature_columns.size());
    data.set_num_features(declared);
    plan_categorical_columns(n);
  }

  // Marks the categorical features, which must be feature columns, and
  // makes their name tables.
  void plan_categorical_columns(std::size_t n) {
    is_categorical.assign(feature_columns.size(), 0);
    const std::set<int>& columns = desc.get_categorical_columns();
    for (const int c : columns) {
      const std::string named = "the description makes column " + std::to_string(c) + " categorical, but ";
      if (c == desc.get_class_column()) throw named + "it holds the labels";
      if (desc.is_ignorable(c)) throw named + "it is ignored";
      if (static_cast<std::size_t>(c) >= n) {
        throw named + "row " + std::to_string(row_no) + " has " + std::to_string(n) + " columns (0 to " +
            std::to_string(n - 1) + ")";
      }
    }
    if (columns.empty()) return;
    if (levels == nullptr) throw std::string("categorical columns cannot be read here: no level names are kept");
    for (std::size_t k = 0; k < feature_columns.size(); ++k) {
      is_categorical[k] = columns.count(static_cast<int>(feature_columns[k])) != 0;
    }
    seen_levels.assign(feature_columns.size(), {});
    first_seen.assign(feature_columns.size(), {});
  }

  // The number of a categorical cell's level name (a missing cell is NaN):
  // when collecting, in the order the names were first met; else the
  // number of the name in `levels`, NaN for a name it does not know.
  double level_number(std::size_t k, std::size_t j, const char* text, int length) {
    if (is_missing_value(text, length) || length == 0) return std::numeric_limits<double>::quiet_NaN();
    name_buffer.assign(text, static_cast<std::size_t>(length));
    if (!collect_levels) {
      if (k >= levels->names.size() || levels->names[k].empty()) {
        throw where(j) + "the column is categorical, but the model's feature " + std::to_string(k) + " is not";
      }
      const long long number = levels->number_of(k, name_buffer);
      return number < 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(number);
    }
    const auto [at, added] = seen_levels[k].emplace(name_buffer, static_cast<std::uint32_t>(first_seen[k].size()));
    if (added) {
      if (first_seen[k].size() == max_levels<F>()) {
        throw where(j) + "the categorical column has more than " + std::to_string(max_levels<F>()) +
            " levels, the most the feature type " + feature_type_name<F>() + " can number";
      }
      first_seen[k].push_back(name_buffer);
    }
    return static_cast<double>(at->second);
  }

  // The most levels a categorical feature of type T may have: as many as T
  // numbers exactly from 0 (at most 2^24, exact in a float).
  template <class T>
  static std::size_t max_levels() {
    if constexpr (std::is_integral<T>::value) {
      return std::min<std::size_t>(static_cast<std::size_t>(std::numeric_limits<T>::max()) + 1, std::size_t(1) << 24);
    } else {
      return std::size_t(1) << 24;
    }
  }

  bool take_row() {
    if (!subset_used) return true;
    if (subset_next >= subset_indices.size() ||
        static_cast<std::size_t>(subset_indices[subset_next]) != row_no) {
      return false;
    }
    ++subset_next;
    return true;
  }

  const char* column_text(std::size_t j, int& length) const {
    const int begin = j == 0 ? 0 : col_starts[j - 1];
    length = col_starts[j] - begin;
    return row.data() + begin;
  }

  std::string where(std::size_t j) const {
    return "row " + std::to_string(row_no) + " col_no " + std::to_string(j) + ": ";
  }

  // Converts every column of the row, then appends the row whole.
  void store_row() {
    values.clear();
    for (std::size_t k = 0; k < feature_columns.size(); ++k) {
      const std::size_t j = feature_columns[k];
      int length = 0;
      const char* text = column_text(j, length);
      if (!is_categorical.empty() && is_categorical[k]) {
        if (length >= 255) {
          throw where(j) + "a level name of " + std::to_string(length) + " characters; a level name has at most 254";
        }
        if constexpr (std::is_integral<F>::value) {
          if (is_missing_value(text, length) || length == 0) {
            throw where(j) + "missing level '" + std::string(text, length) +
                "' cannot be stored with the integer feature type " + feature_type_name<F>() +
                "; use a floating feature type (float or double)";
          }
        }
        values.push_back(level_number(k, j, text, length));
        continue;
      }
      if (length >= 255) throw std::string("column has too many characters - cannot convert");
      if constexpr (std::is_integral<F>::value) {
        if (is_missing_value(text, length)) {
          throw where(j) + "missing value '" + std::string(text, length) +
              "' cannot be stored with the integer feature type " + feature_type_name<F>() +
              "; use a floating feature type (float or double)";
        }
      }
      double v;
      try {
        v = convert_cstring_to_double(text, length);
      } catch (const std::string& message) {
        throw where(j) + message;
      }
      // Infinite values (and "nan" written out) are no measurements: a
      // missing value is written "?".
      if (!std::isfinite(v) && !is_missing_value(text, length)) {
        throw where(j) + "value '" + std::string(text, length) +
            "' is not a finite number (write a missing value as '?')";
      }
      if (!fits_in<F>(v)) {
        throw where(j) + "value '" + std::string(text, length) +
            "' is out of range for the feature type " + feature_type_name<F>();
      }
      if constexpr (std::is_integral<F>::value) {
        if (v != std::trunc(v)) note_dropped_decimals(k, j, text, length, v);
      }
      values.push_back(v);
    }
    data.add_instance(read_label(), values.begin(), values.end());
  }

  // The label of the row: a class name of the description, or with number
  // labels a number filling the whole column: a finite regression target, or
  // a whole class number that the description declares.
  L read_label() {
    const int class_column = desc.get_class_column();
    if (class_column < 0) return static_cast<L>(-2);
    int length = 0;
    const char* text = column_text(static_cast<std::size_t>(class_column), length);
    if (!number_labeling) {
      label_buffer.assign(text, static_cast<std::size_t>(length));
      if (collecting_labels) return collected_label();
      if (!desc.get_label_map().has_label(label_buffer)) {
        throw "row " + std::to_string(row_no) + ": label '" + label_buffer + "' is not a class of the " +
            (desc.get_label_map().size() == 0 ? std::string("description (it names none)")
                                              : "description (" + class_list() + ")");
      }
      return static_cast<L>(desc.get_int_label(label_buffer));
    }
    const std::string shown(text, static_cast<std::size_t>(length));
    const std::string at = "row " + std::to_string(row_no) + ": ";
    double v = 0.0;
    if (!parse_finite_number(text, length, v)) {
      throw at + (is_missing_value(text, length) || length == 0 ? "the label is missing ('" + shown + "')"
                                                                : "label '" + shown + "' is not a finite number");
    }
    if (desc.get_labeling() == Regression) {
      if (!fits_in<L>(v)) throw at + "label '" + shown + "' is out of range for the label type";
      return static_cast<L>(v);
    }
    const int classes = desc.get_num_classes();
    const bool plus_minus = desc.get_labeling() == PlusOneMinusOne;
    const bool declared = v == std::trunc(v) && (plus_minus ? (v == -1.0 || v == 1.0) : (v >= 0.0 && v < classes));
    if (!declared) {
      throw at + "label '" + shown + "' is not a class of the description (" +
          (plus_minus ? std::string("the classes are -1 and +1")
                      : classes == 0 ? std::string("it declares no class: add a 'label ID NAME' line per class")
                                     : "the classes are 0 to " + std::to_string(classes - 1)) +
          ")";
    }
    return static_cast<L>(v);
  }

  DataSet& data;
  DataSetDescription desc;
  std::vector<char> row;            // the texts of the current row's columns, end to end
  std::size_t col_no = 0;           // columns collected for the current row
  std::size_t row_no = 0;           // number of the current row
  std::size_t first_row_size = 0;   // column count of the first row, 0 until seen
  bool subset_used = false;
  std::vector<int> subset_indices;  // sorted
  std::size_t subset_next = 0;      // the next selected row number to look for
  int col_start = 0;                // end of the last column's text in `row`
  std::vector<int> col_starts;      // per column, the end offset of its text
  std::string label_buffer;
  bool number_labeling = false;
  std::vector<std::size_t> feature_columns;  // the feature columns, in order
  std::vector<double> values;                // the current row's feature values
  // Categorical features: which features are, the names kept or read, and
  // while collecting, each name's number in the order first met.
  std::vector<char> is_categorical;
  FeatureLevels* levels = nullptr;
  bool collect_levels = true;
  std::vector<std::unordered_map<std::string, std::uint32_t>> seen_levels;
  std::vector<std::vector<std::string>> first_seen;
  std::string name_buffer;
  // The header row, collected class names and notes.
  std::size_t first_instance;  // the data set's first instance of this read
  bool header_pending = false;
  std::vector<std::string> header_names;
  bool collecting_labels = false;
  std::unordered_map<std::string, std::size_t> seen_classes;
  std::vector<std::string> class_names;  // in the order first met
  std::vector<char> decimals_noted;      // per feature
  ReadNotes* notes = nullptr;
};

// How the cells of categorical columns are numbered: by the names collected
// from the rows read (collect), or by those of `levels` (see
// DataSetReader::use_levels). Without levels, a categorical column is an
// error.
struct LevelCoding {
  FeatureLevels* levels = nullptr;
  bool collect = true;
};

namespace detail {

// The delimiter of a data format: "csv" -> ",", "text"/"txt" -> " ".
std::string delimiter_of_format(const std::string& format);

// Reads every row of a stream; a stream that fails before its end (a read
// error, memory exhausted by a line) is an error naming `name` and the rows
// read, never a short data set.
template <class DataSet>
void read_rows(DataSet& data, std::istream& in, const std::string& format,
               const DataSetDescription& desc, const std::vector<int>* subset, const std::string& name,
               const LevelCoding& coding, ReadNotes* notes) {
  DataSetReader<DataSet> reader(data);
  if (subset != nullptr) reader.use_subset(*subset);
  reader.use_description(desc);
  reader.use_levels(coding.levels, coding.collect);
  reader.use_notes(notes);
  const CSVReader csv(delimiter_of_format(format));
  data.set_labeling(desc.get_num_classes(), desc.get_labeling());
  // The feature columns are sized by the first row, once its shape agrees
  // with the description, so that a description announcing a huge feature
  // count cannot make the reader allocate for it. A file without rows adds
  // no columns (an empty data set cannot be learned from or scored anyway).
  csv.read(in, reader);
  if (in.bad()) {
    throw Exception("could not read " + (name.empty() ? std::string("the data") : "data file `" + name + "'") +
                    " after row " + std::to_string(static_cast<long>(reader.rows_read()) - 1) +
                    ": the read failed before the end of the file");
  }
  reader.finish();
  reader.finish_levels();
  reader.finish_labels();
}

// Opens a data file, throwing Exception "could not open data file: `NAME'".
void open_data_file(std::ifstream& in, const std::string& filename);

}  // namespace detail

// Appends the rows of a data stream to `data` (nothing is cleared). The
// format is "csv", "text" or "txt"; another format throws Exception. What
// the read notices beside the rows goes to `notes` when given.
template <class DataSet>
void read_data_set(DataSet& data, std::istream& in, const std::string& format,
                   const DataSetDescription& desc, const LevelCoding& coding = LevelCoding(),
                   ReadNotes* notes = nullptr) {
  detail::read_rows(data, in, format, desc, nullptr, "", coding, notes);
}

// As read_data_set, keeping only the rows whose 0-based numbers are listed.
template <class DataSet>
void read_data_subset(DataSet& data, std::istream& in, const std::string& format,
                      const DataSetDescription& desc, const std::vector<int>& subset_indices,
                      const LevelCoding& coding = LevelCoding(), ReadNotes* notes = nullptr) {
  detail::read_rows(data, in, format, desc, &subset_indices, "", coding, notes);
}

template <class DataSet>
void read_data_set(DataSet& data, const std::string& filename, const std::string& format,
                   const DataSetDescription& desc, const LevelCoding& coding = LevelCoding(),
                   ReadNotes* notes = nullptr) {
  std::ifstream in;
  detail::open_data_file(in, filename);
  detail::read_rows(data, in, format, desc, nullptr, filename, coding, notes);
}

template <class DataSet>
void read_data_subset(DataSet& data, const std::string& filename, const std::string& format,
                      const DataSetDescription& desc, const std::vector<int>& subset_indices,
                      const LevelCoding& coding = LevelCoding(), ReadNotes* notes = nullptr) {
  std::ifstream in;
  detail::open_data_file(in, filename);
  detail::read_rows(data, in, format, desc, &subset_indices, filename, coding, notes);
}

// The row numbers of a selection file: whitespace-separated non-negative
// decimal integers, each listed once (a word of more than 4096 characters
// is refused as soon as it is that long). Throws Exception naming the file and
// the offending token or row ("could not open selection file: `NAME'" when
// it cannot be read).
std::vector<int> read_selection(const std::string& filename);

}  // namespace Sylvor

#endif
