// Model files: forests as text in the lisp format (one parenthesised tree
// per forest member) and the vectortxt format (the five node arrays of each
// tree behind the magic word "vtxt"), their writers and readers, and
// reading a model file whose format is found by trial.
//
// Numbers are written with the stream's default formatting (six
// significant digits), so stored thresholds are rounded. Readers build only
// valid trees: child numbers are checked before any node is made, every
// node has two children or none, values that were never read are never
// used, and nothing recurses, so a hostile file cannot exhaust the stack.
// The caller owns every tree returned or appended. Writers throw Exception
// when the file cannot be written. All functions run on the calling thread.
#ifndef SYLVOR_IO_TREE_IO_HPP
#define SYLVOR_IO_TREE_IO_HPP

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/learn/tree.hpp"

namespace Sylvor {

// ------------------------------------------------------------------- writing

// Writes one tree as lisp text, its root at `depth` (indented by 3 x depth
// blanks per line).
template <class L>
std::ostream& write_tree_as_lisp(std::ostream& out, const Node<L>* tree, int depth = 0) {
  struct Frame {
    const Node<L>* node;
    int depth;
    int stage;  // 0: open, 1: left written, 2: right written
  };
  std::vector<Frame> stack{{tree, depth, 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const Node<L>* node = frame.node;
    const std::string indent(static_cast<std::size_t>(3 * frame.depth), ' ');
    if (frame.stage == 0) {
      out << indent << "(\n";
      frame.stage = 1;
      if (node->get_left() != nullptr) {
        out << indent << "   left \n";
        stack.push_back({node->get_left(), frame.depth + 1, 0});
        continue;
      }
    }
    if (frame.stage == 1) {
      frame.stage = 2;
      if (node->get_right() != nullptr) {
        out << indent << "   right \n";
        stack.push_back({node->get_right(), frame.depth + 1, 0});
        continue;
      }
    }
    if (!std::isnan(node->get_threshold())) out << indent << "   threshold " << node->get_threshold() << '\n';
    if (node->get_feature_index() != -1) out << indent << "   findex " << node->get_feature_index() << '\n';
    if (node->is_leaf()) out << indent << "   label " << node->get_label() << '\n';
    out << indent << ")\n";
    stack.pop_back();
  }
  return out;
}

// Writes one tree (filled by root_to_vector) as a vectortxt block, without
// a final newline. NaN thresholds and labels are written as 0.
template <class L>
std::ostream& operator<<(std::ostream& out, const VectorizedTree<L>& vt) {
  const std::size_t n = vt.get_num_nodes();
  out << "vtxt " << 5 << ' ' << n << ' ' << '\n';
  auto line = [&](const auto& values, bool as_double) {
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) out << ' ';
      if (as_double) {
        const double v = static_cast<double>(values[i]);
        out << (std::isnan(v) ? 0.0 : v);
      } else {
        out << values[i];
      }
    }
  };
  line(vt.left, false);
  out << '\n';
  line(vt.right, false);
  out << '\n';
  line(vt.feature_index, false);
  out << '\n';
  line(vt.threshold, true);
  out << '\n';
  line(vt.label, true);
  return out;
}

// Writes every tree as a vectortxt block followed by a newline.
template <class L>
void write_forest_as_vectorized_txt(const std::string& fn, const std::vector<Node<L>*>& forest) {
  std::ofstream out;
  open_output_file(out, fn, "model");
  for (const Node<L>* root : forest) {
    if (root == nullptr) continue;
    VectorizedTree<L> vt;
    vt.root_to_vector(root);
    out << vt << '\n';
  }
  close_output_file(out, fn, "model");
}

// Writes every tree as lisp text followed by an empty line.
template <class L>
void write_forest_as_lisp(const std::string& fn, const std::vector<Node<L>*>& forest) {
  std::ofstream out;
  open_output_file(out, fn, "model");
  for (const Node<L>* root : forest) {
    if (root == nullptr) continue;
    write_tree_as_lisp(out, root, 0);
    out << '\n';
  }
  close_output_file(out, fn, "model");
}

// ------------------------------------------------------------------- reading

// The tokens of the next lisp tree: "(" and ")" alone, other tokens up to
// whitespace or a parenthesis. Empty when the stream holds no more tokens.
// Throws Exception "too many )s" and the string "unbalanced parentheses".
std::vector<std::string> read_lisp_tokens(std::istream& in);

// strtod / strtol of a token's longest valid prefix (0 when there is none).
double lisp_number(const std::string& token);
long lisp_integer(const std::string& token);

// Builds the tree whose "(" is at `begin` into the fresh node `node` and
// returns the position after it. Items may come in any order and repeat
// (the last wins); absent items leave no child, threshold NaN, feature -1
// and label 0. Iterative: nesting depth is limited only by memory.
template <class L, class Iterator>
Iterator tokens_to_tree(Iterator begin, Iterator end, Node<L>* node) {
  struct Frame {
    Node<L>* node;
  };
  std::vector<Frame> stack;
  Iterator p = begin;
  auto open = [&](Node<L>* fresh) {
    if (p == end) throw Exception("no tree parsable in stream.");
    if (*p != "(") throw FileFormatException("expected ( to start tree.");
    ++p;
    fresh->set_label(static_cast<L>(0));
    stack.push_back({fresh});
  };
  open(node);
  while (!stack.empty()) {
    Node<L>* current = stack.back().node;
    if (p == end) {
      stack.pop_back();
      continue;
    }
    const std::string& token = *p;
    if (token == "left" || token == "right") {
      // The child is linked at once (replacing an earlier one), so that
      // every node made so far belongs to `node` if an error follows.
      Node<L>* child = new Node<L>();
      if (token == "left") {
        delete current->get_left();
        current->set_left(child);
      } else {
        delete current->get_right();
        current->set_right(child);
      }
      ++p;
      open(child);
    } else if (token == "threshold" || token == "label" || token == "findex") {
      if (std::next(p) == end) throw Exception("expected number after " + token + " token");
      const std::string& number = *std::next(p);
      if (token == "threshold") {
        current->set_threshold(lisp_number(number));
      } else if (token == "label") {
        current->set_label(detail::truncate_to<L>(lisp_number(number)));
      } else {
        current->set_feature_index(detail::truncate_to<int>(static_cast<double>(lisp_integer(number))));
      }
      p += 2;
    } else if (token == ")") {
      ++p;
      stack.pop_back();
    } else {
      throw Exception("unexpected token: " + token);
    }
  }
  return p;
}

// Reads the next lisp tree, or returns null when the stream holds no more.
template <class L>
Node<L>* read_tree_as_lisp(std::istream& in) {
  const std::vector<std::string> tokens = read_lisp_tokens(in);
  if (tokens.empty()) return nullptr;
  std::unique_ptr<Node<L>> node(new Node<L>());
  if (tokens_to_tree(tokens.begin(), tokens.end(), node.get()) != tokens.end()) {
    throw DataIOException(-1, "not all tokens used");
  }
  if (!has_two_or_no_children_everywhere(node.get())) {
    throw Exception("invalid tree in lisp model: a node has only one child");
  }
  return node.release();
}

namespace detail {

// Reads `count` whitespace-separated tokens converted by `convert` into
// `values` (appended as they are read, so a header cannot make the reader
// reserve memory for numbers that are not there).
template <class T, class Convert>
void read_vectortxt_values(std::istream& in, long long count, std::vector<T>& values, const char* what,
                           Convert convert) {
  std::string token;
  for (long long i = 0; i < count; ++i) {
    if (!(in >> token)) {
      throw Exception(std::string("truncated vectortxt block: ") + std::to_string(count) + " values of " +
                      what + " expected, " + std::to_string(i) + " found");
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

}  // namespace detail

// Reads one vectortxt block into `vt` (only its root is set). At the end of
// the stream `vt` is left unchanged; a block of 0 nodes leaves root null.
template <class L>
std::istream& operator>>(std::istream& in, VectorizedTree<L>& vt) {
  if (!detail::read_vectortxt_magic(in)) return in;
  long long num_fields = 0, num_nodes = 0;
  if (!(in >> num_fields >> num_nodes)) {
    throw Exception("malformed vectortxt header: the field and node counts must follow 'vtxt'");
  }
  if (num_fields < 0) throw std::string("num_fields must be non-negative");
  vt.clear();
  if (num_fields < 5) {
    throw std::string(
        "there must be at least 5 fields per tree node: (1) left[i], (2) right[i], (3) "
        "feature_index[i], (4) threshold[i], (5) label[i].");
  }
  if (num_nodes < 0) {
    throw Exception("malformed vectortxt header: negative node count " + std::to_string(num_nodes));
  }
  if (num_nodes == 0) return in;
  std::vector<int> left, right, feature_index;
  std::vector<double> threshold, label;
  detail::read_vectortxt_values(in, num_nodes, left, "left", detail::parse_vectortxt_int);
  detail::read_vectortxt_values(in, num_nodes, right, "right", detail::parse_vectortxt_int);
  detail::read_vectortxt_values(in, num_nodes, feature_index, "feature_index", detail::parse_vectortxt_int);
  detail::read_vectortxt_values(in, num_nodes, threshold, "threshold", detail::parse_vectortxt_double);
  detail::read_vectortxt_values(in, num_nodes, label, "label", detail::parse_vectortxt_double);
  std::vector<char> skipped;
  for (long long field = 5; field < num_fields; ++field) {
    skipped.clear();
    detail::read_vectortxt_values(in, num_nodes, skipped, "an extra field", detail::skip_vectortxt_token);
  }
  in >> std::ws;
  try {
    vt.vector_to_root(static_cast<std::size_t>(num_nodes), left, right, feature_index, threshold, label);
  } catch (const FileFormatException& e) {
    // The block is vectortxt for sure: report its fault, not a format guess.
    throw Exception("vectortxt model: " + e.get_message());
  }
  return in;
}

// Reads the next vectortxt block; null at the end of the stream or for a
// block of 0 nodes.
template <class L>
Node<L>* read_tree_as_vectorized_txt(std::istream& in) {
  VectorizedTree<L> vt;
  in >> vt;
  return vt.root;
}

template <class L>
void read_forest_as_vectorized_txt(std::istream& in, std::vector<Node<L>*>& forest) {
  while (in.good()) {
    Node<L>* tree = read_tree_as_vectorized_txt<L>(in);
    if (tree != nullptr) forest.push_back(tree);
    in >> std::ws;
  }
}

// Appends the trees of file `fn` in the format "lisp" or "vectortxt". A file
// that cannot be opened adds nothing.
template <class L>
void read_forest(const std::string& fn, std::vector<Node<L>*>& forest, const std::string& format) {
  if (format != "lisp" && format != "vectortxt") throw FileFormatException("unknown format: " + format);
  std::ifstream in(fn);
  if (format == "vectortxt") {
    read_forest_as_vectorized_txt(in, forest);
    return;
  }
  while (in.good()) {
    Node<L>* tree = read_tree_as_lisp<L>(in);
    if (tree != nullptr) forest.push_back(tree);
    in >> std::ws;
  }
}

// Appends the trees of file `fn`, trying vectortxt, then lisp.
template <class L>
void read_forest(const std::string& fn, std::vector<Node<L>*>& forest) {
  for (const char* format : {"vectortxt", "lisp"}) {
    try {
      read_forest(fn, forest, format);
      return;
    } catch (const FileFormatException&) {
    }
  }
  throw FileFormatException("Could not deduce format of forest/model file: '" + fn + "'");
}

}  // namespace Sylvor

#endif
