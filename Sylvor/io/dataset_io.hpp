// Reading data sets: the description-file language (SylvorDescriptionReader)
// and delimited data files (CSVReader splitting lines into columns,
// DataSetReader turning the columns of each row into feature values and a
// label), with an optional selection of rows.
//
// A DataSetReader owns its row buffers, which are reused from row to row and
// grow geometrically; it writes only to the data set it was given, appending
// a row only once every value of the row has converted, so a failing row
// never leaves part of itself behind. Readers are used by one thread.
//
// Errors: description errors are DataIOException with the 1-based line;
// data-row errors are thrown std::string naming the 0-based row (the number
// of the non-empty line) and, where it applies, the column.
#ifndef SYLVOR_IO_DATASET_IO_HPP
#define SYLVOR_IO_DATASET_IO_HPP

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

// ---------------------------------------------------------------- descriptions

class SylvorDescriptionReader {
public:
  SylvorDescriptionReader();

  // Parses a whole description; commands take effect in file order.
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

// Reads a description file. An empty name gives the default description; a
// file that cannot be opened throws Exception.
DataSetDescription read_sylvor_description(const std::string& filename);

// ------------------------------------------------------------------ data rows

// Converts one column text (fewer than 255 characters): NaN when it starts
// with "?" or "*" (a missing value), else the number at its start as strtod
// reads it (trailing characters ignored). Throws the std::string
// "could not convert '<text>' to a double." when no number starts it.
double convert_cstring_to_double(const char* text, int length);

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

template <class DataSet>
class DataSetReader {
public:
  typedef typename DataSet::feature_type feature_type;
  typedef typename DataSet::label_type label_type;

  explicit DataSetReader(DataSet& data) : data(data) {}

  void use_description(const DataSetDescription& description) {
    desc = description;
    number_labeling = desc.is_number_labeling();
  }

  // Keeps only the rows whose numbers are listed (sorted here; a duplicate is
  // never matched twice, so matching stops at it).
  void use_subset(const std::vector<int>& indices) {
    subset_indices = indices;
    std::sort(subset_indices.begin(), subset_indices.end());
    if (!subset_indices.empty() && subset_indices.front() < 0) {
      throw Exception("Negative subset indices are not allowed.");
    }
    subset_used = true;
    subset_next = 0;
  }

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
            " columns but previous rows have " + std::to_string(first_row_size) + " columns";
      }
      if (take_row()) store_row();
    }
    ++row_no;
    col_start = 0;
    col_no = 0;
    if (!col_starts.empty()) col_starts[0] = 0;
  }

private:
  typedef typename DataSet::feature_type F;
  typedef typename DataSet::label_type L;

  // Fixes, from the first row, which columns are features; the shape of the
  // file must agree with the description.
  void plan_columns(std::size_t n) {
    const int class_column = desc.get_class_column();
    if (class_column >= 0 && static_cast<std::size_t>(class_column) >= n) {
      throw "row " + std::to_string(row_no) + " has " + std::to_string(n) +
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
      throw "row " + std::to_string(row_no) + " has " + std::to_string(feature_columns.size()) +
          " feature columns (neither ignored nor the label) but the description declares " +
          std::to_string(declared) + " features";
    }
    values.reserve(feature_columns.size());
    data.set_num_features(declared);
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
    for (const std::size_t j : feature_columns) {
      int length = 0;
      const char* text = column_text(j, length);
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
      if (!fits_in<F>(v)) {
        throw where(j) + "value '" + std::string(text, length) +
            "' is out of range for the feature type " + feature_type_name<F>();
      }
      values.push_back(v);
    }
    data.add_instance(read_label(), values.begin(), values.end());
  }

  L read_label() {
    const int class_column = desc.get_class_column();
    if (class_column < 0) return static_cast<L>(-2);
    int length = 0;
    const char* text = column_text(static_cast<std::size_t>(class_column), length);
    if (!number_labeling) {
      label_buffer.assign(text, static_cast<std::size_t>(length));
      return static_cast<L>(desc.get_int_label(label_buffer));
    }
    if (length >= 255) throw std::string("column has too many characters - cannot convert");
    if (is_missing_value(text, length)) return static_cast<L>(0);
    double v;
    try {
      v = convert_cstring_to_double(text, length);
    } catch (const std::string&) {
      throw "row " + std::to_string(row_no) + ": could not convert label '" +
          std::string(text, length) + "' to a number.";
    }
    if (!fits_in<L>(v)) {
      throw "row " + std::to_string(row_no) + ": label '" + std::string(text, length) +
          "' is out of range for " +
          (std::is_integral<L>::value ? "a class number" : "the label type");
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
};

namespace detail {

// The delimiter of a data format: "csv" -> ",", "text"/"txt" -> " ".
std::string delimiter_of_format(const std::string& format);

template <class DataSet>
void read_rows(DataSet& data, std::istream& in, const std::string& format,
               const DataSetDescription& desc, const std::vector<int>* subset) {
  DataSetReader<DataSet> reader(data);
  if (subset != nullptr) reader.use_subset(*subset);
  reader.use_description(desc);
  const CSVReader csv(delimiter_of_format(format));
  data.set_labeling(desc.get_num_classes(), desc.get_labeling());
  // The feature columns are sized by the first row, once its shape agrees
  // with the description, so that a description announcing a huge feature
  // count cannot make the reader allocate for it. A file without rows adds
  // no columns (an empty data set cannot be learned from or scored anyway).
  csv.read(in, reader);
}

// Opens a data file, throwing Exception "could not open data file: `NAME'".
void open_data_file(std::ifstream& in, const std::string& filename);

}  // namespace detail

// Appends the rows of a data stream to `data` (nothing is cleared). The
// format is "csv", "text" or "txt"; another format throws Exception.
template <class DataSet>
void read_data_set(DataSet& data, std::istream& in, const std::string& format,
                   const DataSetDescription& desc) {
  detail::read_rows(data, in, format, desc, nullptr);
}

// As read_data_set, keeping only the rows whose 0-based numbers are listed.
template <class DataSet>
void read_data_subset(DataSet& data, std::istream& in, const std::string& format,
                      const DataSetDescription& desc, const std::vector<int>& subset_indices) {
  detail::read_rows(data, in, format, desc, &subset_indices);
}

template <class DataSet>
void read_data_set(DataSet& data, const std::string& filename, const std::string& format,
                   const DataSetDescription& desc) {
  std::ifstream in;
  detail::open_data_file(in, filename);
  read_data_set(data, in, format, desc);
}

template <class DataSet>
void read_data_subset(DataSet& data, const std::string& filename, const std::string& format,
                      const DataSetDescription& desc, const std::vector<int>& subset_indices) {
  std::ifstream in;
  detail::open_data_file(in, filename);
  read_data_subset(data, in, format, desc, subset_indices);
}

}  // namespace Sylvor

#endif
