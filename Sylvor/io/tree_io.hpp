// Model files: forests as text in the lisp format (one parenthesised tree
// per forest member) and the vectortxt format (the five node arrays of each
// tree behind the magic word "vtxt"), their writers and readers, and
// reading a model file whose format is found by trial. Both work on the
// stored tree form.
//
// A forest whose trees record the side of their missing values, or test
// categorical features, is written in version 2 of either format: a first
// line "sylvor-model 2"; a line "levels F NAME0 NAME1 ..." per categorical
// feature F, its level names by level number; then the trees, each inner
// node's missing side in a sixth vectortxt row (1 left, 0 right) or a lisp
// item "missing left" / "missing right", and the levels a node testing
// levels sends left in a seventh vectortxt row (per node the number of its
// levels, -1 for a numeric test) followed by a row of those levels, node by
// node, or a lisp item "levels K L1 ... LK". Other forests are written in
// version 1, without the line, as they always were. Readers take both and
// refuse another version, naming it.
//
// Floating numbers are written in the shortest form that reads back as the
// same double, so a forest read back predicts exactly as the one written
// (integers as integers; a vectortxt label through its double). Readers build only
// valid trees: child numbers are checked before any tree is made, every
// node has two children or none, values that were never read are never
// used, nothing recurses (a hostile file cannot exhaust the stack), and the
// trees come out numbered breadth first whatever the file's numbering.
// Writers throw Exception when the file cannot be written. All functions run
// on the calling thread.
#ifndef SYLVOR_IO_TREE_IO_HPP
#define SYLVOR_IO_TREE_IO_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/fingerprint.hpp"
#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/model/levels.hpp"
#include "Sylvor/model/tree.hpp"

namespace Sylvor {

// ------------------------------------------------------------------- writing

// The word that opens the version line of a model file.
constexpr const char* model_version_word = "sylvor-model";

// The newest model file version this build reads and writes.
constexpr int newest_model_version = 2;

// The version a forest is written in: 2 when a tree records the sides of
// its missing values or tests levels, or with categorical features, else 1.
template <class L>
int model_version(const Forest<L>& forest, const FeatureLevels* levels = nullptr) {
  if (levels != nullptr && !levels->none()) return 2;
  for (const Tree<L>& tree : forest) {
    if (tree.missing_learned || !tree.level_set.empty()) return 2;
  }
  return 1;
}

// Writes "levels F NAME0 ..." for each categorical feature F.
void write_level_lines(std::ostream& out, const FeatureLevels& levels);

// Writes one tree as lisp text, its root at `depth` (indented by 3 x depth
// blanks per line): "(", the left and the right child's text after "left"
// and "right", the threshold unless NaN, the feature unless -1, with
// `missing_sides` the side of an inner node's missing values, the value of
// a leaf, ")".
template <class L>
std::ostream& write_tree_as_lisp(std::ostream& out, const Tree<L>& tree, int depth = 0, bool missing_sides = false) {
  struct Frame {
    std::size_t node;
    int depth;
    int stage;  // 0: open, 1: left written, 2: right written
  };
  std::vector<Frame> stack{{0, depth, 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const std::size_t node = frame.node;
    const std::string indent(static_cast<std::size_t>(3 * frame.depth), ' ');
    const bool leaf = tree.is_leaf(node);
    if (frame.stage == 0) {
      out << indent << "(\n";
      frame.stage = 1;
      if (!leaf) {
        out << indent << "   left \n";
        stack.push_back({static_cast<std::size_t>(tree.left[node]), frame.depth + 1, 0});
        continue;
      }
    }
    if (frame.stage == 1) {
      frame.stage = 2;
      if (!leaf) {
        out << indent << "   right \n";
        stack.push_back({static_cast<std::size_t>(tree.right[node]), frame.depth + 1, 0});
        continue;
      }
    }
    if (!std::isnan(tree.threshold[node])) out << indent << "   threshold " << exact(tree.threshold[node]) << '\n';
    if (tree.feature[node] != -1) out << indent << "   findex " << tree.feature[node] << '\n';
    if (missing_sides && !leaf) out << indent << "   missing " << (tree.missing_left[node] ? "left" : "right") << '\n';
    if (tree.tests_levels(node)) {
      const std::vector<std::uint32_t> left_levels = tree.left_levels(node);
      out << indent << "   levels " << left_levels.size();
      for (const std::uint32_t level : left_levels) out << ' ' << level;
      out << '\n';
    }
    if (leaf) write_value(out << indent << "   label ", tree.value[node]) << '\n';
    out << indent << ")\n";
    stack.pop_back();
  }
  return out;
}

// Writes one tree as a vectortxt block, without a final newline. NaN
// thresholds and values are written as 0; values are written as doubles.
// With `missing_sides`, a sixth row holds the missing side of each node.
template <class L>
std::ostream& write_tree_as_vectortxt(std::ostream& out, const Tree<L>& tree, bool missing_sides = false) {
  const std::size_t n = tree.size();
  const bool levels = !tree.level_set.empty();
  out << "vtxt " << (levels ? 7 : missing_sides ? 6 : 5) << ' ' << n << ' ' << '\n';
  auto whole = [&](const std::vector<int>& values) {
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) out << ' ';
      out << values[i];
    }
    out << '\n';
  };
  auto real = [&](const auto& values) {
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) out << ' ';
      const double v = static_cast<double>(values[i]);
      out << exact(std::isnan(v) ? 0.0 : v);
    }
  };
  whole(tree.left);
  whole(tree.right);
  whole(tree.feature);
  real(tree.threshold);
  out << '\n';
  real(tree.value);
  if (missing_sides || levels) {
    out << '\n';
    for (std::size_t i = 0; i < n; ++i) out << (i > 0 ? " " : "") << (tree.missing_left[i] ? 1 : 0);
  }
  if (levels) {
    std::ostringstream codes;
    out << '\n';
    for (std::size_t i = 0; i < n; ++i) {
      const std::vector<std::uint32_t> left_levels = tree.left_levels(i);
      out << (i > 0 ? " " : "") << (tree.tests_levels(i) ? static_cast<long long>(left_levels.size()) : -1);
      for (const std::uint32_t level : left_levels) codes << (codes.tellp() > 0 ? " " : "") << level;
    }
    out << '\n' << codes.str();
  }
  return out;
}

// Writes every tree of a forest to a stream in the format "vectortxt"
// (blocks each followed by a newline) or "lisp" (texts each followed by an
// empty line); another format throws Exception.
// A forest of version 2 opens with its version line and the level names of
// its categorical features (`levels`, when given).
template <class L>
void write_forest(std::ostream& out, const Forest<L>& forest, const std::string& format,
                  const FeatureLevels* levels = nullptr) {
  if (format != "vectortxt" && format != "lisp") {
    throw Exception("unknown model format: " + format + " (valid formats: 'lisp' or 'vectortxt')");
  }
  const int version = model_version(forest, levels);
  if (version > 1) out << model_version_word << ' ' << version << '\n';
  if (levels != nullptr) write_level_lines(out, *levels);
  for (const Tree<L>& tree : forest) {
    if (format == "vectortxt") {
      write_tree_as_vectortxt(out, tree, version > 1) << '\n';
    } else {
      write_tree_as_lisp(out, tree, 0, version > 1) << '\n';
    }
  }
}

// Writes every tree of a forest to the file `fn` (whole or not at all).
template <class L>
void write_forest_as_vectorized_txt(const std::string& fn, const Forest<L>& forest) {
  OutputFile file(fn, "model");
  write_forest(file.stream(), forest, "vectortxt");
  file.commit();
}

template <class L>
void write_forest_as_lisp(const std::string& fn, const Forest<L>& forest) {
  OutputFile file(fn, "model");
  write_forest(file.stream(), forest, "lisp");
  file.commit();
}

// ------------------------------------------------------------------- reading

// The longest word a model file may hold (numbers and keywords are far
// shorter): a longer one, such as the endless word of /dev/zero, is refused
// with a FileFormatException before it can exhaust the memory.
constexpr std::size_t max_model_token = 4096;

// The tokens of the next lisp tree: "(" and ")" alone, other tokens up to
// whitespace or a parenthesis. Empty when the stream holds no more tokens.
// Throws Exception "too many )s" and the string "unbalanced parentheses".
std::vector<std::string> read_lisp_tokens(std::istream& in);

// The number a whole token spells (as strtod reads it: decimal, exponent,
// "inf", "nan"), and the feature index (a decimal integer within int) a
// whole token spells; anything else, "2.45xyz" or "two", throws Exception
// naming the token and the keyword it follows.
double lisp_number(const std::string& token, const std::string& keyword);
int lisp_feature_index(const std::string& token);
// A level number or count: a whole number from 0 within int.
int lisp_level(const std::string& token);

// The nodes of a lisp tree in the order the text opens them (node 0 the
// tree itself); a child replaced by a later "left" or "right" item stays
// here, unreachable.
struct LispTree {
  std::vector<long long> left, right;  // -1 for none
  std::vector<double> threshold;
  std::vector<double> label;
  std::vector<int> feature;
  std::vector<char> missing_left;            // "missing left" (version 2)
  std::vector<std::vector<std::uint32_t>> levels;  // "levels K ..." (version 2)
  std::vector<char> has_label, has_feature, has_levels;  // whether the text gave them

  std::size_t add_node();
};

// Reads the count K and K level numbers of a lisp "levels" item from
// `from` into `levels` (ascending, without repeats); returns the position
// after them.
template <class Iterator>
Iterator read_lisp_levels(Iterator from, Iterator end, std::vector<std::uint32_t>& levels) {
  const int count = from == end ? -1 : lisp_level(*from);
  if (from == end) throw Exception("expected a level count after levels token");
  levels.clear();
  for (++from; static_cast<int>(levels.size()) < count; ++from) {
    if (from == end) throw Exception("expected " + std::to_string(count) + " levels after levels token");
    levels.push_back(static_cast<std::uint32_t>(lisp_level(*from)));
  }
  std::sort(levels.begin(), levels.end());
  levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
  return from;
}

// Parses the tree whose "(" is at `begin` into `parsed` and returns the
// position after it. Items may come in any order and repeat (the last
// wins); absent items leave no child, threshold NaN, feature -1 and label 0
// (check_lisp_tree then wants a label at every leaf and a feature at every
// inner node).
// Items "missing left", "missing right" and "levels K L1 ... LK" are known
// from version 2 on.
template <class Iterator>
Iterator tokens_to_tree(Iterator begin, Iterator end, LispTree& parsed, int version = 1) {
  std::vector<std::size_t> stack;
  Iterator p = begin;
  auto open = [&](std::size_t node) {
    if (p == end) throw Exception("no tree parsable in stream.");
    if (*p != "(") throw FileFormatException("expected ( to start tree.");
    ++p;
    stack.push_back(node);
  };
  open(parsed.add_node());
  while (!stack.empty()) {
    const std::size_t current = stack.back();
    if (p == end) {
      stack.pop_back();
      continue;
    }
    const std::string& token = *p;
    if (token == "left" || token == "right") {
      const std::size_t child = parsed.add_node();
      (token == "left" ? parsed.left : parsed.right)[current] = static_cast<long long>(child);
      ++p;
      open(child);
    } else if (token == "threshold" || token == "label" || token == "findex") {
      if (std::next(p) == end) throw Exception("expected number after " + token + " token");
      const std::string& number = *std::next(p);
      if (token == "threshold") {
        parsed.threshold[current] = lisp_number(number, token);
      } else if (token == "label") {
        parsed.label[current] = lisp_number(number, token);
        parsed.has_label[current] = 1;
      } else {
        parsed.feature[current] = lisp_feature_index(number);
        parsed.has_feature[current] = 1;
      }
      p += 2;
    } else if (token == "missing" && version >= 2) {
      if (std::next(p) == end || (*std::next(p) != "left" && *std::next(p) != "right")) {
        throw Exception("expected left or right after missing token");
      }
      parsed.missing_left[current] = *std::next(p) == "left";
      p += 2;
    } else if (token == "levels" && version >= 2) {
      p = read_lisp_levels(std::next(p), end, parsed.levels[current]);
      parsed.has_levels[current] = 1;
    } else if (token == ")") {
      ++p;
      stack.pop_back();
    } else {
      throw Exception("unexpected token: " + token);
    }
  }
  return p;
}

// Throws Exception when a node reachable from the root of a parsed lisp
// tree has only one child, a leaf has no label or an inner node no findex.
void check_lisp_tree(const LispTree& parsed);

// Reads the next lisp tree of a file of `version` into `tree`; false (and
// `tree` unchanged) when the stream holds no more tokens.
template <class L>
bool read_tree_as_lisp(std::istream& in, Tree<L>& tree, int version = 1) {
  const std::vector<std::string> tokens = read_lisp_tokens(in);
  if (tokens.empty()) return false;
  LispTree parsed;
  if (tokens_to_tree(tokens.begin(), tokens.end(), parsed, version) != tokens.end()) {
    throw DataIOException(-1, "not all tokens used");
  }
  check_lisp_tree(parsed);
  copy_breadth_first(
      tree, [&](long long s) { return std::make_pair(parsed.left[static_cast<std::size_t>(s)], parsed.right[static_cast<std::size_t>(s)]); },
      [&](long long s, std::size_t k) {
        const std::size_t at = static_cast<std::size_t>(s);
        tree.feature[k] = parsed.feature[at];
        tree.threshold[k] = parsed.threshold[at];
        if (parsed.left[at] < 0) {
          tree.value[k] = detail::leaf_value<L>(parsed.label[at], [](const std::string& message) {
            throw Exception("lisp model: " + message);
          });
        } else {
          tree.value[k] = detail::truncate_to<L>(parsed.label[at]);
          tree.missing_left[k] = parsed.missing_left[at];
          if (parsed.has_levels[at]) tree.set_left_levels(k, parsed.levels[at]);
        }
      });
  tree.missing_learned = version >= 2;
  return true;
}

namespace detail {

// The next whitespace-separated word (at most max_model_token characters);
// false at the end of the stream.
bool read_vectortxt_token(std::istream& in, std::string& token);

// Reads `count` whitespace-separated tokens converted by `convert` into
// `values` (appended as they are read, so a header cannot make the reader
// reserve memory for numbers that are not there).
template <class T, class Convert>
void read_vectortxt_values(std::istream& in, long long count, std::vector<T>& values, const char* what,
                           Convert convert) {
  std::string token;
  for (long long i = 0; i < count; ++i) {
    if (!read_vectortxt_token(in, token)) {
      throw Exception(std::string("truncated vectortxt block: ") + std::to_string(count) + " values of " + what +
                      " expected, " + std::to_string(i) + " found");
    }
    T value;
    if (!convert(token, value)) {
      throw Exception("malformed vectortxt block: '" + token + "' is not a valid value of " + what);
    }
    values.push_back(value);
  }
}

bool parse_vectortxt_int(const std::string& token, int& value);
bool parse_vectortxt_double(const std::string& token, double& value);
bool skip_vectortxt_token(const std::string& token, char& value);

// Checks the magic word "vtxt" (after whitespace); false at the end of the stream.
bool read_vectortxt_magic(std::istream& in);

// Reads the header of a vectortxt block after its magic word: the node
// count (0 for a block without a tree) and the number of fields past the
// `known` ones (5, or 6 from version 2 on, which must be there).
void read_vectortxt_header(std::istream& in, long long& num_nodes, long long& extra_fields, int known = 5);

// Reads the version line "sylvor-model N" when the stream opens with one
// (2 then) and the level lines after it (into `levels` when not null),
// else leaves the stream where it was: 1. Throws Exception naming any
// other version or a fault of a level line, and FileFormatException for
// another opening word.
int read_model_version(std::istream& in, FeatureLevels* levels = nullptr);

// Throws Exception unless every node testing levels tests a categorical
// feature of `levels` and sends left only levels it has.
template <class L>
void check_level_tests(const Forest<L>& forest, std::size_t first_tree, const FeatureLevels& levels) {
  for (std::size_t t = first_tree; t < forest.size(); ++t) {
    const Tree<L>& tree = forest[t];
    for (std::size_t k = 0; k < tree.size(); ++k) {
      if (!tree.tests_levels(k)) continue;
      const std::size_t f = static_cast<std::size_t>(tree.feature[k]);
      const std::vector<std::uint32_t> left = tree.left_levels(k);
      if (!levels.is_categorical(f) || (!left.empty() && left.back() >= levels.names[f].size())) {
        throw Exception("tree " + std::to_string(t - first_tree) + " sends levels of feature " +
                        std::to_string(tree.feature[k]) + " left that the model's levels lines do not name");
      }
    }
  }
}

}  // namespace detail

// Reads the next vectortxt block into `tree`; false at the end of the stream
// and for a block of 0 nodes (which holds no tree).
// A block of a file of version 2 holds the missing sides as its sixth row.
template <class L>
bool read_tree_as_vectorized_txt(std::istream& in, Tree<L>& tree, int version = 1) {
  if (!detail::read_vectortxt_magic(in)) return false;
  long long num_nodes = 0, extra_fields = 0;
  detail::read_vectortxt_header(in, num_nodes, extra_fields, version >= 2 ? 6 : 5);
  if (num_nodes == 0) return false;
  std::vector<int> left, right, feature;
  std::vector<double> threshold, value, missing;
  detail::read_vectortxt_values(in, num_nodes, left, "left", detail::parse_vectortxt_int);
  detail::read_vectortxt_values(in, num_nodes, right, "right", detail::parse_vectortxt_int);
  detail::read_vectortxt_values(in, num_nodes, feature, "feature_index", detail::parse_vectortxt_int);
  detail::read_vectortxt_values(in, num_nodes, threshold, "threshold", detail::parse_vectortxt_double);
  detail::read_vectortxt_values(in, num_nodes, value, "label", detail::parse_vectortxt_double);
  if (version >= 2) detail::read_vectortxt_values(in, num_nodes, missing, "missing", detail::parse_vectortxt_double);
  std::vector<int> level_counts, levels;
  std::vector<std::size_t> first_level;  // per node, where its levels start
  if (version >= 2 && extra_fields > 0) {
    detail::read_vectortxt_values(in, num_nodes, level_counts, "levels", detail::parse_vectortxt_int);
    long long total = 0;
    for (const int count : level_counts) {
      if (count < -1) throw Exception("malformed vectortxt block: a level count of " + std::to_string(count));
      first_level.push_back(static_cast<std::size_t>(total));
      total += count > 0 ? count : 0;
    }
    detail::read_vectortxt_values(in, total, levels, "a level", detail::parse_vectortxt_int);
    --extra_fields;
  }
  std::vector<char> skipped;
  for (long long field = 0; field < extra_fields; ++field) {
    skipped.clear();
    detail::read_vectortxt_values(in, num_nodes, skipped, "an extra field", detail::skip_vectortxt_token);
  }
  in >> std::ws;
  try {
    const std::size_t n = static_cast<std::size_t>(num_nodes);
    const auto set_levels = [&](Tree<L>& made, long long s, std::size_t k) {
      const std::size_t at = static_cast<std::size_t>(s);
      if (level_counts.empty() || level_counts[at] < 0 || made.is_leaf(k)) return;
      std::vector<std::uint32_t> node_levels;
      for (int j = 0; j < level_counts[at]; ++j) {
        const int level = levels[first_level[at] + static_cast<std::size_t>(j)];
        if (level < 0) throw FileFormatException("invalid tree: a negative level " + std::to_string(level));
        node_levels.push_back(static_cast<std::uint32_t>(level));
      }
      std::sort(node_levels.begin(), node_levels.end());
      node_levels.erase(std::unique(node_levels.begin(), node_levels.end()), node_levels.end());
      made.set_left_levels(k, node_levels);
    };
    tree = version >= 2 ? tree_from_arrays<L>(n, left, right, feature, threshold, value, missing, set_levels)
                        : tree_from_arrays<L>(n, left, right, feature, threshold, value);
  } catch (const FileFormatException& e) {
    // The block is vectortxt for sure: report its fault, not a format guess.
    throw Exception("vectortxt model: " + e.get_message());
  }
  return true;
}

namespace detail {

// Appends every tree that read_tree(in, tree) finds in the stream.
template <class L, class ReadTree>
void read_trees(std::istream& in, Forest<L>& forest, ReadTree read_tree) {
  Tree<L> tree;
  while (in.good()) {
    if (read_tree(in, tree)) forest.push_back(std::move(tree));
    in >> std::ws;
  }
}

}  // namespace detail

namespace detail {

// Reads the version line and level lines of a stream, when it has them,
// then appends every tree that read_tree(in, tree, version) finds, checks
// their level tests, and gives the level names to `levels` (when not null).
template <class L, class ReadTree>
void read_versioned_forest(std::istream& in, Forest<L>& forest, FeatureLevels* levels, ReadTree read_tree) {
  FeatureLevels read;
  const int version = read_model_version(in, &read);
  const std::size_t first = forest.size();
  read_trees(in, forest, [&](std::istream& from, Tree<L>& tree) { return read_tree(from, tree, version); });
  check_level_tests(forest, first, read);
  if (levels != nullptr) *levels = std::move(read);
}

}  // namespace detail

// Appends every tree of a stream of vectortxt blocks (see
// detail::read_versioned_forest).
template <class L>
void read_forest_as_vectorized_txt(std::istream& in, Forest<L>& forest, FeatureLevels* levels = nullptr) {
  detail::read_versioned_forest(in, forest, levels, [](std::istream& from, Tree<L>& tree, int version) {
    return read_tree_as_vectorized_txt(from, tree, version);
  });
}

// Appends every tree of a stream of lisp trees (as above).
template <class L>
void read_forest_as_lisp(std::istream& in, Forest<L>& forest, FeatureLevels* levels = nullptr) {
  detail::read_versioned_forest(in, forest, levels, [](std::istream& from, Tree<L>& tree, int version) {
    return read_tree_as_lisp(from, tree, version);
  });
}

namespace detail {

// Runs read(), rethrowing what it throws (but a FileFormatException, which
// means "not this format") as an Exception that names the model file.
template <class Read>
void naming_the_file(const std::string& fn, Read read) {
  const std::string where = "model file `" + fn + "': ";
  try {
    read();
  } catch (const FileFormatException&) {
    throw;
  } catch (const Exception& e) {
    throw Exception(where + e.get_message());
  } catch (const std::string& message) {
    throw Exception(where + message);
  }
}

}  // namespace detail

// The level names of the categorical features of model file `fn`, read
// from its first lines alone (none for a file of version 1 or in neither
// format); faults of those lines throw Exception naming the file.
FeatureLevels read_model_levels(const std::string& fn);

// Throws Exception naming `fn` unless it is a model file to read: a regular
// file that is not empty ("could not open model file: `FN'" when it does
// not exist). A missing file would otherwise read as a forest of no trees.
void check_model_file(const std::string& fn);

// Appends the trees of file `fn` in the format "lisp" or "vectortxt". A file
// that cannot be opened adds nothing. Faults of the contents throw
// Exception naming the file (a FileFormatException where the text is not
// of the format at all).
// With `print` (not null), sets it to the fingerprint of the bytes read,
// which are the whole file once the trees are read.
// With `levels` (not null), sets it to the model's level names.
template <class L>
void read_forest(const std::string& fn, Forest<L>& forest, const std::string& format,
                 FileFingerprint* print = nullptr, FeatureLevels* levels = nullptr) {
  if (format != "lisp" && format != "vectortxt") throw FileFormatException("unknown format: " + format);
  std::ifstream file(fn);
  FingerprintingInput in(file);
  detail::naming_the_file(fn, [&] {
    if (format == "vectortxt") {
      read_forest_as_vectorized_txt(in, forest, levels);
    } else {
      read_forest_as_lisp(in, forest, levels);
    }
  });
  if (print != nullptr) *print = in.fingerprint();
}

namespace detail {

// Calls read(format) with "vectortxt", then "lisp", until one does not throw
// FileFormatException (the text is not of that format); false when neither
// reads it.
template <class Read>
bool read_either_format(Read read) {
  for (const char* format : {"vectortxt", "lisp"}) {
    try {
      read(std::string(format));
      return true;
    } catch (const FileFormatException&) {
    }
  }
  return false;
}

}  // namespace detail

// Appends the trees of file `fn`, trying vectortxt, then lisp; `print` and
// `levels` as above.
template <class L>
void read_forest(const std::string& fn, Forest<L>& forest, FileFingerprint* print = nullptr,
                 FeatureLevels* levels = nullptr) {
  if (!detail::read_either_format(
          [&](const std::string& format) { read_forest(fn, forest, format, print, levels); })) {
    throw FileFormatException("Could not deduce format of forest/model file: '" + fn + "'");
  }
}

// Appends the trees of model text held in memory, trying vectortxt, then
// lisp; throws FileFormatException when it is in neither format.
template <class L>
void read_forest_text(const std::string& text, Forest<L>& forest, FeatureLevels* levels = nullptr) {
  const bool read = detail::read_either_format([&](const std::string& format) {
    std::istringstream in(text);
    if (format == "vectortxt") {
      read_forest_as_vectorized_txt(in, forest, levels);
    } else {
      read_forest_as_lisp(in, forest, levels);
    }
  });
  if (!read) throw FileFormatException("the model text is in neither the vectortxt nor the lisp format");
}

}  // namespace Sylvor

#endif
