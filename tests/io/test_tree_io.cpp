#include "Sylvor/io/tree_io.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace Sylvor {
namespace {

template <class L>
struct Owned {
  std::vector<Node<L>*> roots;
  ~Owned() {
    for (auto* r : roots) delete r;
  }
};

// A root testing feature 2 at 0.5 with leaves labelled 0 and 1.
Node<int>* example_tree() {
  auto* root = new Node<int>();
  root->set_feature_index(2);
  root->set_threshold(0.5);
  root->set_label(0);
  auto* l = new Node<int>();
  l->set_label(0);
  auto* r = new Node<int>();
  r->set_label(1);
  root->set_left(l);
  root->set_right(r);
  return root;
}

const char* const example_lisp =
    "(\n"
    "   left \n"
    "   (\n"
    "      label 0\n"
    "   )\n"
    "   right \n"
    "   (\n"
    "      label 1\n"
    "   )\n"
    "   threshold 0.5\n"
    "   findex 2\n"
    ")\n";

const char* const example_vtxt = "vtxt 5 3 \n1 -1 -1\n2 -1 -1\n2 -1 -1\n0.5 0 0\n0 0 1";

TEST(LispWriter, WritesTheExampleExactly) {
  std::unique_ptr<Node<int>> root(example_tree());
  std::ostringstream out;
  write_tree_as_lisp(out, root.get(), 0);
  EXPECT_EQ(out.str(), example_lisp);
}

TEST(LispWriter, ThresholdsHaveSixSignificantDigits) {
  std::unique_ptr<Node<double>> root(new Node<double>());
  root->set_threshold(0.123456789);
  root->set_label(2.5);
  std::ostringstream out;
  write_tree_as_lisp(out, root.get(), 1);
  EXPECT_EQ(out.str(), "   (\n      threshold 0.123457\n      label 2.5\n   )\n");
}

TEST(VectortxtWriter, WritesTheExampleExactly) {
  std::unique_ptr<Node<int>> root(example_tree());
  VectorizedTree<int> vt;
  vt.root_to_vector(root.get());
  std::ostringstream out;
  out << vt;
  EXPECT_EQ(out.str(), example_vtxt);
}

template <class L>
VectorizedTree<L> arrays(const Node<L>* root) {
  VectorizedTree<L> vt;
  vt.root_to_vector(root);
  return vt;
}

Node<int>* read_lisp(const std::string& text) {
  std::istringstream in(text);
  return read_tree_as_lisp<int>(in);
}

TEST(LispReader, ReadsTheExampleBack) {
  std::unique_ptr<Node<int>> root(read_lisp(example_lisp));
  const auto vt = arrays(root.get());
  EXPECT_EQ(vt.left, (std::vector<int>{1, -1, -1}));
  EXPECT_EQ(vt.feature_index, (std::vector<int>{2, -1, -1}));
  EXPECT_EQ(vt.label, (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(vt.threshold[0], 0.5);
}

TEST(LispReader, ItemsInAnyOrderRepeatedAndMissing) {
  std::unique_ptr<Node<int>> root(
      read_lisp("(findex 4 threshold 1 right (label 7) label 9 left(label 2)threshold 2.5 left (label 3))"));
  EXPECT_EQ(root->get_feature_index(), 4);
  EXPECT_EQ(root->get_threshold(), 2.5);
  EXPECT_EQ(root->get_left()->get_label(), 3);
  EXPECT_EQ(root->get_right()->get_label(), 7);
  std::unique_ptr<Node<int>> bare(read_lisp("()"));
  EXPECT_EQ(bare->get_label(), 0);
  EXPECT_EQ(bare->get_feature_index(), -1);
  EXPECT_TRUE(std::isnan(bare->get_threshold()));
}

TEST(LispReader, SpacingAndTruncatedLabels) {
  for (const char* text : {"(label 3)", "( label 3 )", "(label 3.9)", "\n\n  (\tlabel\n3x)"}) {
    std::unique_ptr<Node<int>> root(read_lisp(text));
    EXPECT_EQ(root->get_label(), 3) << text;
  }
  std::unique_ptr<Node<int>> junk(read_lisp("(label abc findex 2q)"));
  EXPECT_EQ(junk->get_label(), 0);
  EXPECT_EQ(junk->get_feature_index(), 2);
}

TEST(LispReader, EndOfStreamGivesNull) {
  EXPECT_EQ(read_lisp("   \n"), nullptr);
}

// What a reading call throws: its kind ("none" when it returns, the line for
// DataIOException) and message.
template <class Read>
std::pair<std::string, std::string> failure_of(Read read) {
  try {
    read();
    return {"none", ""};
  } catch (const DataIOException& e) {
    return {"DataIOException " + std::to_string(e.get_line_no()), e.get_message()};
  } catch (const FileFormatException& e) {
    return {"FileFormatException", e.get_message()};
  } catch (const Exception& e) {
    return {"Exception", e.get_message()};
  } catch (const std::string& s) {
    return {"string", s};
  }
}

struct LispError {
  std::string name;
  std::string text;
  std::string kind;
  std::string message;
};

class LispErrors : public ::testing::TestWithParam<LispError> {};

TEST_P(LispErrors, AreReportedWithTheirKind) {
  const auto& c = GetParam();
  const auto [kind, message] = failure_of([&] { std::unique_ptr<Node<int>> root(read_lisp(c.text)); });
  EXPECT_EQ(kind, c.kind);
  EXPECT_EQ(message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LispErrors,
    ::testing::Values(
        LispError{"TooManyClosing", ")", "Exception", "too many )s"},
        LispError{"Unbalanced", "(label 1 (", "string", "unbalanced parentheses"},
        LispError{"WordBeforeTree", "oops (label 1)", "FileFormatException", "expected ( to start tree."},
        // "threshold" takes the "(" as its number, so the last ")" is left over.
        LispError{"TokensLeftOver", "(threshold ( label 1) )", "DataIOException -1", "not all tokens used"},
        LispError{"StrayWordOnly", "oops", "FileFormatException", "expected ( to start tree."},
        LispError{"KeywordAtEnd", "(left)", "FileFormatException", "expected ( to start tree."},
        LispError{"InnerParenthesis", "((label 1))", "Exception", "unexpected token: ("},
        LispError{"UnknownWord", "(colour 3)", "Exception", "unexpected token: colour"},
        LispError{"OneChild", "(left (label 1) findex 0)", "Exception",
                  "invalid tree in lisp model: a node has only one child"}),
    [](const ::testing::TestParamInfo<LispError>& info) { return info.param.name; });

TEST(LispReader, NumberMissingAtTheEndOfTheTokens) {
  std::vector<std::string> tokens{"(", "threshold"};
  Node<int> node;
  try {
    tokens_to_tree(tokens.begin(), tokens.end(), &node);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "expected number after threshold token");
  }
  tokens = {"(", "left"};
  Node<int> other;
  try {
    tokens_to_tree(tokens.begin(), tokens.end(), &other);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "no tree parsable in stream.");
  }
}

std::string nested_lisp(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "(findex 0 threshold 1 left ";
  text += "(label 1)";
  for (int i = 0; i < depth; ++i) text += " right (label 0))";
  return text;
}

TEST(LispReader, HostileNestingReadsWithoutRecursion) {
  // 200,000 nested left children, each node also given a right leaf.
  const int depth = 200000;
  std::unique_ptr<Node<int>> root(read_lisp(nested_lisp(depth)));
  EXPECT_EQ(arrays(root.get()).get_num_nodes(), 2u * depth + 1);
}

TEST(LispWriter, DeepTreesRoundTripWithoutRecursion) {
  // Indentation grows with depth, so the text grows with its square.
  const int depth = 2000;
  std::unique_ptr<Node<int>> root(read_lisp(nested_lisp(depth)));
  std::ostringstream out;
  write_tree_as_lisp(out, root.get(), 0);
  std::istringstream again(out.str());
  std::unique_ptr<Node<int>> copy(read_tree_as_lisp<int>(again));
  EXPECT_EQ(arrays(copy.get()).left, arrays(root.get()).left);
}

Node<int>* read_vtxt(const std::string& text) {
  std::istringstream in(text);
  return read_tree_as_vectorized_txt<int>(in);
}

TEST(VectortxtReader, ReadsTheExampleBack) {
  std::unique_ptr<Node<int>> root(read_vtxt(example_vtxt));
  const auto vt = arrays(root.get());
  EXPECT_EQ(vt.right, (std::vector<int>{2, -1, -1}));
  EXPECT_EQ(vt.label, (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(vt.threshold, (std::vector<double>{0.5, 0, 0}));
}

TEST(VectortxtReader, ForestWithEmptyBlocksExtraFieldsAndBlankLines) {
  std::istringstream in(
      "\n\n  vtxt 5 0 \n"
      "vtxt 7 1\n-1\n-1\n-1\n0\n4.9\nextra1\nextra2\n"
      "vtxt 5 3 \n1 -1 -1\n2 -1 -1\n2 -1 -1\n0.5 0 0\n0 0 1\n");
  Owned<int> forest;
  read_forest_as_vectorized_txt(in, forest.roots);
  ASSERT_EQ(forest.roots.size(), 2u);
  EXPECT_EQ(forest.roots[0]->get_label(), 4);
  EXPECT_TRUE(forest.roots[0]->is_leaf());
  EXPECT_EQ(forest.roots[1]->get_feature_index(), 2);
}

struct VtxtError {
  std::string name;
  std::string text;
  std::string kind;
  std::string message;
};

class VectortxtErrors : public ::testing::TestWithParam<VtxtError> {};

TEST_P(VectortxtErrors, AreReportedWithTheirKind) {
  const auto& c = GetParam();
  const auto [kind, message] = failure_of([&] { std::unique_ptr<Node<int>> root(read_vtxt(c.text)); });
  EXPECT_EQ(kind, c.kind);
  EXPECT_EQ(message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VectortxtErrors,
    ::testing::Values(
        VtxtError{"SplitMagic", "v txt 5 1", "FileFormatException",
                  "The stream is not in vectortxt format; magic word 'vtxt' was not encountered."},
        VtxtError{"Lisp", "(label 1)", "FileFormatException",
                  "The stream is not in vectortxt format; magic word 'vtxt' was not encountered."},
        VtxtError{"EndInsideMagic", "vt", "FileFormatException",
                  "The stream is not in vectortxt format; magic word 'vtxt' was not encountered."},
        VtxtError{"NegativeFields", "vtxt -1 3", "string", "num_fields must be non-negative"},
        VtxtError{"FewFields", "vtxt 4 3", "string",
                  "there must be at least 5 fields per tree node: (1) left[i], (2) right[i], (3) "
                  "feature_index[i], (4) threshold[i], (5) label[i]."},
        VtxtError{"NegativeNodes", "vtxt 5 -2", "Exception", "malformed vectortxt header: negative node count -2"},
        VtxtError{"NoCounts", "vtxt five", "Exception",
                  "malformed vectortxt header: the field and node counts must follow 'vtxt'"},
        VtxtError{"Truncated", "vtxt 5 3\n1 -1 -1\n2 -1 -1\n2 -1", "Exception",
                  "truncated vectortxt block: 3 values of feature_index expected, 2 found"},
        VtxtError{"HugeNodeCount", "vtxt 5 1000000000000\n-1 -1", "Exception",
                  "truncated vectortxt block: 1000000000000 values of left expected, 2 found"},
        VtxtError{"NotANumber", "vtxt 5 1\n-1\n-1\nx\n0\n0", "Exception",
                  "malformed vectortxt block: 'x' is not a valid value of feature_index"},
        VtxtError{"BadChild", "vtxt 5 3\n1 -1 -1\n5 -1 -1\n0 -1 -1\n0 0 0\n0 0 0", "Exception",
                  "vectortxt model: invalid tree: node 0 has child 5 but the tree has 3 nodes"}),
    [](const ::testing::TestParamInfo<VtxtError>& info) { return info.param.name; });

class ModelFile : public ::testing::Test {
protected:
  std::string path(const std::string& name) { return ::testing::TempDir() + "sylvor_model_" + name; }
  void TearDown() override {
    for (const auto& p : written) std::remove(p.c_str());
  }
  std::string write(const std::string& name, const std::string& text) {
    const std::string p = path(name);
    std::ofstream(p) << text;
    written.push_back(p);
    return p;
  }
  std::vector<std::string> written;
};

TEST_F(ModelFile, FormatIsDeducedForBothFormats) {
  Owned<int> from_vtxt, from_lisp;
  read_forest(write("a.vtxt", std::string(example_vtxt) + "\n" + example_vtxt), from_vtxt.roots);
  read_forest(write("a.lisp", std::string(example_lisp) + "\n" + example_lisp + "\n"), from_lisp.roots);
  ASSERT_EQ(from_vtxt.roots.size(), 2u);
  ASSERT_EQ(from_lisp.roots.size(), 2u);
  EXPECT_EQ(arrays(from_vtxt.roots[1]).left, arrays(from_lisp.roots[1]).left);
}

TEST_F(ModelFile, MissingFileGivesNoTrees) {
  Owned<int> forest;
  read_forest(path("missing"), forest.roots);
  EXPECT_TRUE(forest.roots.empty());
}

TEST_F(ModelFile, StrayWordAfterTheLastLispTree) {
  const std::string p = write("stray.lisp", std::string(example_lisp) + "\noops\n");
  Owned<int> forest;
  try {
    read_forest(p, forest.roots, "lisp");
    FAIL();
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "expected ( to start tree.");
  }
  Owned<int> deduced;
  try {
    read_forest(p, deduced.roots);
    FAIL();
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "Could not deduce format of forest/model file: '" + p + "'");
  }
  try {
    read_forest(p, deduced.roots, "xml");
    FAIL();
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "unknown format: xml");
  }
}

TEST_F(ModelFile, WrittenForestsReadBackInBothFormats) {
  Owned<double> forest;
  for (int k = 0; k < 3; ++k) {
    auto* root = new Node<double>();
    root->set_feature_index(k);
    root->set_threshold(0.123456789 * (k + 1));
    auto* l = new Node<double>();
    l->set_label(1.0 / 3.0);
    auto* r = new Node<double>();
    r->set_label(-2.5e-7);
    root->set_left(l);
    root->set_right(r);
    forest.roots.push_back(root);
  }
  const std::string lisp = path("w.lisp"), vtxt = path("w.vtxt");
  written.push_back(lisp);
  written.push_back(vtxt);
  write_forest_as_lisp(lisp, forest.roots);
  write_forest_as_vectorized_txt(vtxt, forest.roots);
  for (const auto& file : {lisp, vtxt}) {
    Owned<double> back;
    read_forest(file, back.roots);
    ASSERT_EQ(back.roots.size(), 3u) << file;
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(back.roots[k]->get_feature_index(), k);
      EXPECT_DOUBLE_EQ(back.roots[k]->get_threshold(), std::stod([&] {
        std::ostringstream s;
        s << 0.123456789 * (k + 1);
        return s.str();
      }()));
      EXPECT_EQ(back.roots[k]->get_left()->get_label(), 0.333333);
      EXPECT_EQ(back.roots[k]->get_right()->get_label(), -2.5e-7);
    }
  }
}

TEST_F(ModelFile, UnwritablePathIsAnError) {
  Owned<int> forest{{example_tree()}};
  try {
    write_forest_as_vectorized_txt("/no/such/dir/model.txt", forest.roots);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "could not write model file: `/no/such/dir/model.txt'");
  }
}

}  // namespace
}  // namespace Sylvor
