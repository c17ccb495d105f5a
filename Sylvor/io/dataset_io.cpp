#include "Sylvor/io/dataset_io.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <sstream>

#include "Sylvor/defs/string.hpp"

namespace Sylvor {

namespace {

// "label ID NAME": a class number (-1 and +1 allowed, for the classes of
// plus-one-minus-one labels) has one name.
void process_label(int line_no, DataSetDescription& desc, const std::vector<std::string>& args) {
  const std::string& number = args[0];
  const bool signed_number = !number.empty() && (number[0] == '-' || number[0] == '+');
  const int magnitude = SylvorDescriptionReader::parse_int(line_no, signed_number ? number.substr(1) : number);
  if (signed_number && number.size() == 1) throw DataIOException(line_no, "error parsing int from '" + number + "'");
  const int id = number[0] == '-' ? -magnitude : magnitude;
  const StringIntMap& classes = desc.get_label_map();
  if (classes.has_id(id) && classes.get_string_label(id) != args[1]) {
    throw DataIOException(line_no, "class " + std::to_string(id) + " is named both '" +
                                       classes.get_string_label(id) + "' and '" + args[1] +
                                       "': each class number has one name");
  }
  desc.add_label_pair(args[1], id);
}

void process_label_type(int line_no, DataSetDescription& desc,
                        const std::vector<std::string>& args) {
  const std::string& kind = args[0];
  if (kind == "plus-one-minus-one") {
    desc.set_labeling(PlusOneMinusOne);
  } else if (kind == "discrete-zero-onward" || kind == "discrete-nonnegative") {
    desc.set_labeling(DiscreteZeroOnward);
  } else if (kind == "regression") {
    desc.set_labeling(Regression);
    desc.set_number_labeling(true);
  } else {
    throw DataIOException(line_no, "invalid label type: " + kind);
  }
}

void process_class_column(int line_no, DataSetDescription& desc,
                          const std::vector<std::string>& args) {
  const int column = SylvorDescriptionReader::parse_int(line_no, args[0]);
  if (column < -1) {
    throw DataIOException(line_no,
                          "class-column must be non-negative (label for instances are found in "
                          "a column) or -1 (labels are stored elsewhere)" +
                              args[0]);
  }
  desc.set_class_column(column);
}

void process_num_features(int line_no, DataSetDescription& desc,
                          const std::vector<std::string>& args) {
  const int count = SylvorDescriptionReader::parse_int(line_no, args[0]);
  if (count < 0) throw DataIOException(line_no, "invalid value for num-features: " + args[0]);
  desc.set_num_features(count);
}

void process_feature_name(int line_no, DataSetDescription& desc,
                          const std::vector<std::string>& args) {
  desc.set_feature_name(SylvorDescriptionReader::parse_int(line_no, args[0]), args[1]);
}

// "feature INDEX ID VALUE": the value string VALUE stands for ID in the
// nominal feature INDEX.
void process_feature(int line_no, DataSetDescription& desc,
                     const std::vector<std::string>& args) {
  const int feature = SylvorDescriptionReader::parse_int(line_no, args[0]);
  const int id = SylvorDescriptionReader::parse_int(line_no, args[1]);
  desc.add_nominal_feature(feature, args[2], id);
}

void process_ignore(int line_no, DataSetDescription& desc, const std::vector<std::string>& args) {
  desc.set_ignorable(SylvorDescriptionReader::parse_int(line_no, args[0]));
}

// "categorical C": the cells of column C are level names.
void process_categorical(int line_no, DataSetDescription& desc, const std::vector<std::string>& args) {
  desc.set_categorical(SylvorDescriptionReader::parse_int(line_no, args[0]));
}

void process_number_labels(int, DataSetDescription& desc, const std::vector<std::string>&) {
  desc.set_number_labeling(true);
}

// "header": the data's first row names the columns.
void process_header(int, DataSetDescription& desc, const std::vector<std::string>&) { desc.set_header(true); }

// "labels-from-data": the class names are those of the rows read, sorted
// (as without label lines; the command says so and refuses label lines).
void process_labels_from_data(int, DataSetDescription& desc, const std::vector<std::string>&) {
  desc.set_labels_from_data(true);
}

}  // namespace

SylvorDescriptionReader::SylvorDescriptionReader()
    : commands{{"label", {2, process_label}},
               {"label-type", {1, process_label_type}},
               {"class-column", {1, process_class_column}},
               {"num-features", {1, process_num_features}},
               {"feature-name", {2, process_feature_name}},
               {"feature", {3, process_feature}},
               {"ignore", {1, process_ignore}},
               {"categorical", {1, process_categorical}},
               {"number-labels", {0, process_number_labels}},
               {"header", {0, process_header}},
               {"labels-from-data", {0, process_labels_from_data}}} {}

int SylvorDescriptionReader::parse_int(int line_no, const std::string& text) {
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || value * 10 + (c - '0') > std::numeric_limits<int>::max()) {
      throw DataIOException(line_no, "error parsing int from '" + text + "'");
    }
    value = value * 10 + (c - '0');
  }
  return static_cast<int>(value);
}

void SylvorDescriptionReader::handle_command(int line_no, DataSetDescription& desc,
                                             const std::string& command,
                                             const std::vector<std::string>& args) const {
  const auto found = commands.find(command);
  if (found == commands.end()) throw DataIOException(line_no, "invalid command: " + command);
  if (args.size() != found->second.num_args) {
    throw DataIOException(line_no, command + ": " + std::to_string(args.size()) +
                                       " arguments given but " +
                                       std::to_string(found->second.num_args) + " required.");
  }
  found->second.handler(line_no, desc, args);
}

DataSetDescription SylvorDescriptionReader::read(std::istream& in) const {
  DataSetDescription desc;
  int line_no = 0;
  std::string line;
  std::vector<std::string> args;
  for (;;) {
    const BoundedRead got = read_bounded_line(in, line, max_line);
    if (got == BoundedRead::End) break;
    ++line_no;
    if (got == BoundedRead::TooLong) {
      throw DataIOException(line_no, "the line is longer than " + std::to_string(max_line) + " characters");
    }
    const std::string::size_type comment = line.find('#');
    if (comment != std::string::npos) line.erase(comment);
    std::istringstream words(line);
    std::string command;
    if (!(words >> command)) continue;
    args.clear();
    for (std::string word; words >> word;) args.push_back(word);
    handle_command(line_no, desc, command, args);
  }
  return desc;
}

void check_class_numbers(const DataSetDescription& desc) {
  if (desc.asks_labels_from_data() && !desc.collects_labels()) {
    throw Exception(std::string("labels-from-data takes the class names from a column of class names, but "
                                "the description ") +
                    (desc.get_label_map().size() != 0 ? "names its classes with label lines"
                     : desc.get_class_column() < 0    ? "gives no class-column"
                                                      : "makes the labels numbers"));
  }
  const std::vector<std::pair<int, std::string>> classes = desc.get_label_map().get_pairs();
  std::string numbers;
  for (const auto& [id, name] : classes) numbers += (numbers.empty() ? "" : ", ") + std::to_string(id);
  if (desc.get_labeling() == PlusOneMinusOne) {
    for (const auto& [id, name] : classes) {
      if (id != -1 && id != 1) {
        throw Exception("the description numbers its classes " + numbers +
                        ", but plus-one-minus-one labels have the classes -1 and +1 only");
      }
    }
  } else if (desc.get_labeling() == DiscreteZeroOnward) {
    for (std::size_t k = 0; k < classes.size(); ++k) {
      if (classes[k].first != static_cast<int>(k)) {
        throw Exception("the description numbers its classes " + numbers +
                        ", but classes are numbered from 0 without gaps: 0, 1, ..., " +
                        std::to_string(classes.size() - 1) + " ('label 0 NAME', 'label 1 NAME', ...)");
      }
    }
  }
}

DataSetDescription read_sylvor_description(const std::string& filename) {
  if (filename.empty()) return DataSetDescription();
  std::ifstream in(filename);
  if (!in) throw Exception("could not open description file: `" + filename + "'");
  const DataSetDescription desc = SylvorDescriptionReader().read(in);
  check_class_numbers(desc);
  return desc;
}

bool is_description_word(const std::string& name) {
  return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
    return c == '#' || std::isspace(static_cast<unsigned char>(c)) != 0;
  });
}

void write_sylvor_description(std::ostream& out, const DataSetDescription& desc) {
  if (desc.get_labeling() == PlusOneMinusOne) out << "label-type plus-one-minus-one\n";
  if (desc.get_labeling() == Regression) out << "label-type regression\n";
  if (desc.is_number_labeling()) out << "number-labels\n";
  if (desc.has_header()) out << "header\n";
  out << "num-features " << desc.get_num_features() << "\n";
  if (desc.get_class_column() >= 0) out << "class-column " << desc.get_class_column() << "\n";
  for (const int column : desc.get_ignored_columns()) out << "ignore " << column << "\n";
  for (const int column : desc.get_categorical_columns()) out << "categorical " << column << "\n";
  for (const auto& [id, name] : desc.get_label_map().get_pairs()) out << "label " << id << " " << name << "\n";
  for (int f = 0; f < desc.get_num_features(); ++f) {
    const std::string name = desc.get_feature_name(f);
    if (!name.empty()) out << "feature-name " << f << " " << name << "\n";
  }
}

double convert_cstring_to_double(const char* text, int length) {
  if (length >= 255) throw std::string("column has too many characters - cannot convert");
  if (is_missing_value(text, length)) return std::numeric_limits<double>::quiet_NaN();
  // The common case, a plain decimal number filling the whole column, is
  // read by from_chars; it rounds exactly as strtod does. Everything else
  // (signs, hexadecimal, trailing text, out-of-range exponents) goes to strtod.
  double value = 0;
  const std::from_chars_result quick = std::from_chars(text, text + length, value);
  if (quick.ec == std::errc() && quick.ptr == text + length && length > 0 &&
      text[0] != 'i' && text[0] != 'I' && text[0] != 'n' && text[0] != 'N') {
    return value;
  }
  char buffer[256];
  // An empty column may come with no storage at all (a null pointer).
  if (length > 0) std::memcpy(buffer, text, static_cast<std::size_t>(length));
  buffer[length] = '\0';
  char* end = nullptr;
  value = std::strtod(buffer, &end);
  if (end == buffer) {
    throw "could not convert '" + std::string(text, static_cast<std::size_t>(length)) +
        "' to a double.";
  }
  return value;
}

bool parse_finite_number(const char* text, int length, double& v) {
  if (length <= 0 || length >= 255) return false;
  char buffer[256];
  std::memcpy(buffer, text, static_cast<std::size_t>(length));
  buffer[length] = '\0';
  char* end = nullptr;
  v = std::strtod(buffer, &end);
  return end == buffer + length && std::isfinite(v);
}

std::vector<int> read_selection(const std::string& filename) {
  std::ifstream in(filename);
  if (!in) throw Exception("could not open selection file: `" + filename + "'");
  std::vector<int> rows;
  std::string token;
  for (;;) {
    const BoundedRead got = read_bounded_word(in, token, 4096);
    if (got == BoundedRead::End) break;
    if (got == BoundedRead::TooLong) {
      throw Exception("selection file `" + filename + "': a word is longer than 4096 characters: not a row number");
    }
    long long value = 0;
    bool digits = !token.empty();
    for (const char c : token) {
      digits = digits && c >= '0' && c <= '9' && value <= std::numeric_limits<int>::max();
      if (digits) value = value * 10 + (c - '0');
    }
    if (!digits || value > std::numeric_limits<int>::max()) {
      throw Exception("selection file `" + filename + "': '" + token +
                      "' is not a row number (a non-negative integer, rows separated by white space)");
    }
    rows.push_back(static_cast<int>(value));
  }
  if (in.bad()) throw Exception("could not read selection file: `" + filename + "'");
  std::vector<int> sorted = rows;
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice != sorted.end()) {
    throw Exception("selection file `" + filename + "' lists row " + std::to_string(*twice) + " twice");
  }
  return rows;
}

CSVReader::CSVReader(const std::string& delim) {
  if (delim.size() != 1) throw Exception("data delimiter must be one character: '" + delim + "'");
  // White space as the C locale's isspace has it (the program never changes
  // the locale); the delimiter wins over white space.
  for (int c = 0; c < 256; ++c) {
    char_class[c] = (c == ' ' || (c >= '\t' && c <= '\r')) ? Blank : Text;
  }
  char_class[static_cast<unsigned char>('"')] = Quote;
  char_class[static_cast<unsigned char>('#')] = Comment;
  char_class[static_cast<unsigned char>(delim[0])] = Delimiter;
}

namespace detail {

std::string delimiter_of_format(const std::string& format) {
  if (format == "csv") return ",";
  if (format == "text" || format == "txt") return " ";
  throw Exception("unknown data format: " + format + " (valid formats are csv, text, txt)");
}

void open_data_file(std::ifstream& in, const std::string& filename) {
  in.open(filename);
  if (!in) throw Exception("could not open data file: `" + filename + "'");
}

}  // namespace detail

}  // namespace Sylvor
