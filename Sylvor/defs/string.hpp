// Text utilities: turning delimited text into vectors of values and writing
// vectors back as delimited text (selection files, predictions, importances),
// floating values in the shortest form that reads back to the same double.
//
// Conversion uses standard stream extraction, so leading white space inside a
// piece is skipped and anything after the value in a piece is ignored. A
// piece that does not convert is reported by throwing a std::string
// "error converting '<piece>'". Files that cannot be read or written are
// reported by Exception. Stateless; safe from any thread.
#ifndef SYLVOR_DEFS_STRING_HPP
#define SYLVOR_DEFS_STRING_HPP

#include <cctype>
#include <charconv>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/output_file.hpp"

namespace Sylvor {

template <class T>
struct ConvertForSplit {
  static T convert(const std::string& token) {
    std::istringstream in(token);
    T value{};
    in >> value;
    if (in.fail() || in.bad()) {
      throw std::string("error converting '") + token + "'";
    }
    return value;
  }
};

// Appends the converted pieces of `s`, cut at every occurrence of the whole
// string `delim`, to `out`. An empty `s` gives nothing; a delimiter at the very
// end adds no piece; an empty piece elsewhere fails conversion. An empty
// `delim` cuts at runs of white space instead, so that it never loops.
template <class T, class OutputIterator>
void split(const std::string& s, OutputIterator out, const std::string& delim) {
  if (s.empty()) return;
  if (delim.empty()) {
    std::istringstream words(s);
    std::string word;
    while (words >> word) *out++ = ConvertForSplit<T>::convert(word);
    return;
  }
  std::string::size_type pos = 0;
  for (;;) {
    const std::string::size_type next = s.find(delim, pos);
    const std::string::size_type length =
        next == std::string::npos ? std::string::npos : next - pos;
    *out++ = ConvertForSplit<T>::convert(s.substr(pos, length));
    if (next == std::string::npos) return;
    pos = next + delim.size();
    if (pos >= s.size()) return;
  }
}

template <class T>
std::vector<T> splitv(const std::string& s, const std::string& delim) {
  std::vector<T> values;
  split<T>(s, std::back_inserter(values), delim);
  return values;
}

// Appends the values of a stream to `v`. With an empty `delim` the values are
// white-space separated and reading stops quietly at the first token that is
// not a T. Otherwise the stream is read line by line and every line is split
// at `delim`; a carriage return ending a line (CR LF files) is dropped. A
// line that fails conversion adds none of its values.
template <class T>
std::istream& read_vector(std::istream& in, std::vector<T>& v, const std::string& delim) {
  if (delim.empty()) {
    while (in.good()) {
      in >> std::ws;
      if (in.eof()) break;
      T value{};
      if (!(in >> value)) break;
      v.push_back(value);
    }
    return in;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<T> values = splitv<T>(line, delim);
    v.insert(v.end(), values.begin(), values.end());
  }
  return in;
}

// As above from a file; an empty name means standard input.
template <class T>
void read_vector(const std::string& filename, std::vector<T>& v, const std::string& delim) {
  if (filename.empty()) {
    read_vector(std::cin, v, delim);
    return;
  }
  std::ifstream in(filename);
  if (!in) throw Exception("could not open selection file: `" + filename + "'");
  read_vector(in, v, delim);
}

// What reading one bounded line or word of a stream found.
enum class BoundedRead {
  Read,     // a line (without its newline) or a word
  End,      // nothing more: the end of the stream
  TooLong,  // more than the bound allows: reading stopped there
};

// Reads the next line of `in` into `line`, without its newline, taking at
// most `max_length` characters, so an endless line (a device, a binary
// file) cannot exhaust the memory. A last line without a newline counts.
inline BoundedRead read_bounded_line(std::istream& in, std::string& line, std::size_t max_length) {
  line.clear();
  std::streambuf* const buffer = in.rdbuf();
  if (!in.good() || buffer == nullptr) return BoundedRead::End;
  for (;;) {
    const int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return line.empty() ? BoundedRead::End : BoundedRead::Read;
    }
    if (c == '\n') return BoundedRead::Read;
    if (line.size() == max_length) return BoundedRead::TooLong;
    line.push_back(static_cast<char>(c));
  }
}

// Reads the next word (after white space) of `in` into `word`, taking at
// most `max_length` characters.
inline BoundedRead read_bounded_word(std::istream& in, std::string& word, std::size_t max_length) {
  word.clear();
  std::streambuf* const buffer = in.rdbuf();
  if (!in.good() || buffer == nullptr) return BoundedRead::End;
  int c = buffer->sgetc();
  while (c != std::char_traits<char>::eof() && std::isspace(c)) c = buffer->snextc();
  while (c != std::char_traits<char>::eof() && !std::isspace(c)) {
    if (word.size() == max_length) return BoundedRead::TooLong;
    word.push_back(static_cast<char>(c));
    c = buffer->snextc();
  }
  if (c == std::char_traits<char>::eof()) in.setstate(std::ios::eofbit);
  return word.empty() ? BoundedRead::End : BoundedRead::Read;
}

// A double written in the shortest form that reads back as the same double
// ("2.5", "0.1", "1.7000000000000002", "1234567.89", "1e+21", "nan"), where
// an output stream's default six significant digits would round it.
struct ExactNumber {
  double value;
};

inline ExactNumber exact(double value) { return ExactNumber{value}; }

inline std::ostream& operator<<(std::ostream& out, ExactNumber number) {
  char text[32];
  const std::to_chars_result written = std::to_chars(text, text + sizeof text, number.value);
  return out.write(text, written.ptr - text);
}

// A value as the files of the system hold it: floating values exactly (see
// ExactNumber), everything else as an output stream writes it.
template <class T>
std::ostream& write_value(std::ostream& out, const T& value) {
  if constexpr (std::is_floating_point<T>::value) {
    return out << exact(static_cast<double>(value));
  } else {
    return out << value;
  }
}

// Writes every element followed by `delim` (the last one too), no line break;
// floating values exactly.
template <class T>
std::ostream& save_vector(std::ostream& out, const std::vector<T>& v, const std::string& delim) {
  for (const T& value : v) write_value(out, value) << delim;
  return out;
}

// As above to a file, written whole or not at all (OutputFile); an empty
// name means standard output, which is checked too. `what` names the file in
// the error when it cannot be written.
template <class T>
void save_vector(const std::string& filename, const std::vector<T>& v, const std::string& delim,
                 const std::string& what = "output") {
  if (filename.empty()) {
    save_vector(std::cout, v, delim);
    std::cout.flush();
    if (!std::cout) throw Exception("could not write the " + what + " to standard output");
    return;
  }
  OutputFile file(filename, what);
  save_vector(file.stream(), v, delim);
  file.commit();
}

}  // namespace Sylvor

#endif
