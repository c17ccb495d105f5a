#include "Sylvor/io/tree_io.hpp"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <limits>

namespace Sylvor {

namespace {

bool is_space(int c) { return std::isspace(c) != 0; }

[[noreturn]] void throw_overlong_token() {
  throw FileFormatException("a word of the model file is longer than " + std::to_string(max_model_token) +
                            " characters: not a model file");
}

}  // namespace

std::vector<std::string> read_lisp_tokens(std::istream& in) {
  std::vector<std::string> tokens;
  long depth = 0;
  in >> std::ws;
  while (in.good()) {
    in >> std::ws;
    const int c = in.peek();
    if (c == std::char_traits<char>::eof()) break;
    if (c == '(' || c == ')') {
      in.get();
      tokens.emplace_back(1, static_cast<char>(c));
      depth += c == '(' ? 1 : -1;
      if (depth < 0) throw Exception("too many )s");
      if (depth == 0) return tokens;
    } else {
      std::string token;
      for (int d = in.peek(); d != std::char_traits<char>::eof() && !is_space(d) && d != '(' && d != ')';
           d = in.peek()) {
        if (token.size() == max_model_token) throw_overlong_token();
        token.push_back(static_cast<char>(in.get()));
      }
      tokens.push_back(std::move(token));
    }
    if (!in.good()) break;
    in >> std::ws;
  }
  if (depth != 0) throw std::string("unbalanced parentheses");
  return tokens;
}

double lisp_number(const std::string& token, const std::string& keyword) {
  char* end = nullptr;
  const double value = std::strtod(token.c_str(), &end);
  if (token.empty() || end != token.c_str() + token.size()) {
    throw Exception("lisp model: '" + token + "' after " + keyword + " is not a number");
  }
  return value;
}

int lisp_level(const std::string& token) {
  int value = 0;
  if (!detail::parse_vectortxt_int(token, value) || value < 0) {
    throw Exception("lisp model: '" + token + "' after levels is not a level (a whole number from 0)");
  }
  return value;
}

void write_level_lines(std::ostream& out, const FeatureLevels& levels) {
  for (std::size_t f = 0; f < levels.names.size(); ++f) check_level_words(f, levels.names[f]);
  for (std::size_t f = 0; f < levels.names.size(); ++f) {
    if (levels.names[f].empty()) continue;
    out << "levels " << f;
    for (const std::string& name : levels.names[f]) out << ' ' << name;
    out << '\n';
  }
}

int lisp_feature_index(const std::string& token) {
  int value = 0;
  if (!detail::parse_vectortxt_int(token, value)) {
    throw Exception("lisp model: '" + token + "' after findex is not a feature index");
  }
  return value;
}

std::size_t LispTree::add_node() {
  left.push_back(-1);
  right.push_back(-1);
  threshold.push_back(std::numeric_limits<double>::quiet_NaN());
  label.push_back(0.0);
  feature.push_back(-1);
  missing_left.push_back(0);
  levels.emplace_back();
  has_label.push_back(0);
  has_levels.push_back(0);
  has_feature.push_back(0);
  return left.size() - 1;
}

void check_lisp_tree(const LispTree& parsed) {
  std::vector<std::size_t> pending{0};
  while (!pending.empty()) {
    const std::size_t node = pending.back();
    pending.pop_back();
    if ((parsed.left[node] < 0) != (parsed.right[node] < 0)) {
      throw Exception("invalid tree in lisp model: a node has only one child");
    }
    if (parsed.left[node] < 0 && !parsed.has_label[node]) {
      throw Exception("invalid tree in lisp model: a leaf without a label");
    }
    if (parsed.left[node] >= 0 && !parsed.has_feature[node]) {
      throw Exception("invalid tree in lisp model: a node with children but no findex");
    }
    if (parsed.left[node] >= 0) {
      pending.push_back(static_cast<std::size_t>(parsed.right[node]));
      pending.push_back(static_cast<std::size_t>(parsed.left[node]));
    }
  }
}

FeatureLevels read_model_levels(const std::string& fn) {
  std::ifstream in(fn);
  FeatureLevels levels;
  try {
    detail::read_model_version(in, &levels);
  } catch (const FileFormatException&) {
    return FeatureLevels();
  } catch (const Exception& e) {
    throw Exception("model file `" + fn + "': " + e.get_message());
  }
  return levels;
}

void check_model_file(const std::string& fn) {
  struct stat info;
  if (::stat(fn.c_str(), &info) != 0) throw Exception("could not open model file: `" + fn + "'");
  if (!S_ISREG(info.st_mode)) throw Exception("model file `" + fn + "' is not a regular file");
  if (info.st_size == 0) throw Exception("model file `" + fn + "' is empty");
}

namespace detail {

bool read_vectortxt_token(std::istream& in, std::string& token) {
  token.clear();
  in >> std::ws;
  for (int c = in.peek(); c != std::char_traits<char>::eof() && !is_space(c); c = in.peek()) {
    if (token.size() == max_model_token) throw_overlong_token();
    token.push_back(static_cast<char>(in.get()));
  }
  return !token.empty();
}

bool parse_vectortxt_int(const std::string& token, int& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(token.c_str(), &end, 10);
  if (end == token.c_str() || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

bool parse_vectortxt_double(const std::string& token, double& value) {
  char* end = nullptr;
  value = std::strtod(token.c_str(), &end);
  return end != token.c_str() && *end == '\0';
}

bool skip_vectortxt_token(const std::string&, char& value) {
  value = 0;
  return true;
}

bool read_vectortxt_magic(std::istream& in) {
  in >> std::ws;
  if (!in.good()) return false;
  const char* const magic = "vtxt";
  for (int k = 0; k < 4; ++k) {
    if (k > 0 && !in.good()) throw FileFormatException("unexpected eof");
    if (in.peek() != magic[k]) {
      throw FileFormatException(
          "The stream is not in vectortxt format; magic word 'vtxt' was not encountered.");
    }
    in.get();
  }
  return true;
}

void read_vectortxt_header(std::istream& in, long long& num_nodes, long long& extra_fields, int known) {
  long long num_fields = 0;
  if (!(in >> num_fields >> num_nodes)) {
    throw Exception("malformed vectortxt header: the field and node counts must follow 'vtxt'");
  }
  if (num_fields < 0) throw std::string("num_fields must be non-negative");
  if (num_fields < 5) {
    throw std::string(
        "there must be at least 5 fields per tree node: (1) left[i], (2) right[i], (3) "
        "feature_index[i], (4) threshold[i], (5) label[i].");
  }
  if (num_fields < known) {
    throw Exception("malformed vectortxt header: a tree of a version 2 model has " + std::to_string(known) +
                    " fields per node, the sixth its missing side");
  }
  if (num_nodes < 0) {
    throw Exception("malformed vectortxt header: negative node count " + std::to_string(num_nodes));
  }
  extra_fields = num_fields - known;
}

namespace {

// The words of the rest of the current line (each at most max_model_token
// characters), the line end consumed.
std::vector<std::string> rest_of_line(std::istream& in) {
  std::vector<std::string> words;
  std::string word;
  for (int c = in.get(); c != std::char_traits<char>::eof() && c != '\n'; c = in.get()) {
    if (is_space(c)) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      if (word.size() == max_model_token) throw_overlong_token();
      word.push_back(static_cast<char>(c));
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// Reads the level lines "levels F NAME0 NAME1 ..." that follow a version
// line into `levels`.
void read_level_lines(std::istream& in, FeatureLevels& levels) {
  for (in >> std::ws; in.peek() == 'l'; in >> std::ws) {
    const std::vector<std::string> words = rest_of_line(in);
    int f = -1;
    if (words.size() < 3 || words[0] != "levels" || !parse_vectortxt_int(words[1], f) || f < 0 || f >= (1 << 30)) {
      throw Exception("malformed levels line: 'levels', a feature number and its level names are expected");
    }
    const std::size_t feature = static_cast<std::size_t>(f);
    if (levels.names.size() <= feature) levels.names.resize(feature + 1);
    if (!levels.names[feature].empty()) throw Exception("feature " + words[1] + " has two levels lines");
    levels.names[feature].assign(words.begin() + 2, words.end());
    check_level_order(feature, levels.names[feature]);
  }
}

}  // namespace

int read_model_version(std::istream& in, FeatureLevels* levels) {
  in >> std::ws;
  if (in.peek() != model_version_word[0]) return 1;
  std::string word, number;
  if (!read_vectortxt_token(in, word) || word != model_version_word) {
    throw FileFormatException("the text opens with neither a tree nor the word " + std::string(model_version_word));
  }
  int version = 0;
  if (!read_vectortxt_token(in, number) || !parse_vectortxt_int(number, version)) {
    throw Exception("the model version after " + std::string(model_version_word) + " is not a whole number: '" +
                    number + "'");
  }
  if (version != newest_model_version) {
    throw Exception("model format version " + number + " is unknown to this build, which reads versions 1 to " +
                    std::to_string(newest_model_version));
  }
  FeatureLevels read;
  read_level_lines(in, read);
  if (levels != nullptr) *levels = std::move(read);
  return version;
}

}  // namespace detail

}  // namespace Sylvor
