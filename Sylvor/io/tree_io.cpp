#include "Sylvor/io/tree_io.hpp"

#include <cctype>
#include <cerrno>
#include <climits>

namespace Sylvor {

namespace {

bool is_space(int c) { return std::isspace(c) != 0; }

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

double lisp_number(const std::string& token) { return std::strtod(token.c_str(), nullptr); }

long lisp_integer(const std::string& token) { return std::strtol(token.c_str(), nullptr, 10); }

namespace detail {

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

}  // namespace detail

}  // namespace Sylvor
