#include "Sylvor/io/tree_io.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

namespace Sylvor {
namespace {

// A root testing feature 2 at 0.5 with leaves labelled 0 and 1.
template <class L = int>
Tree<L> example_tree() {
  Tree<L> tree;
  tree.add_node();
  tree.add_children(0);
  tree.feature[0] = 2;
  tree.threshold[0] = 0.5;
  tree.value = {0, 0, 1};
  return tree;
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
  std::ostringstream out;
  write_tree_as_lisp(out, example_tree(), 0);
  EXPECT_EQ(out.str(), example_lisp);
}

TEST(LispWriter, NumbersAreWrittenExactly) {
  Tree<double> tree;
  tree.add_node();
  tree.threshold[0] = 0.123456789;
  tree.value[0] = 2.5;
  std::ostringstream out;
  write_tree_as_lisp(out, tree, 1);
  EXPECT_EQ(out.str(), "   (\n      threshold 0.123456789\n      label 2.5\n   )\n");
}

TEST(VectortxtWriter, WritesTheExampleExactly) {
  std::ostringstream out;
  write_tree_as_vectortxt(out, example_tree());
  EXPECT_EQ(out.str(), example_vtxt);
}

// The tree of a text, and whether there was one.
template <class Read>
std::pair<bool, Tree<int>> read_one(const std::string& text, Read read) {
  std::istringstream in(text);
  Tree<int> tree;
  const bool found = read(in, tree);
  return {found, tree};
}

Tree<int> read_lisp(const std::string& text) {
  const auto [found, tree] = read_one(text, [](std::istream& in, Tree<int>& t) { return read_tree_as_lisp(in, t); });
  EXPECT_TRUE(found) << text;
  return tree;
}

TEST(LispReader, ReadsTheExampleBack) {
  const Tree<int> tree = read_lisp(example_lisp);
  EXPECT_EQ(tree.left, (std::vector<int>{1, -1, -1}));
  EXPECT_EQ(tree.feature, (std::vector<int>{2, -1, -1}));
  EXPECT_EQ(tree.value, (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(tree.threshold[0], 0.5);
}

TEST(LispReader, ItemsInAnyOrderRepeatedAndMissing) {
  const Tree<int> tree =
      read_lisp("(findex 4 threshold 1 right (label 7) label 9 left(label 2)threshold 2.5 left (label 3))");
  ASSERT_EQ(tree.size(), 3u);  // the replaced left child is gone
  EXPECT_EQ(tree.feature[0], 4);
  EXPECT_EQ(tree.threshold[0], 2.5);
  EXPECT_EQ(tree.value[1], 3);
  EXPECT_EQ(tree.value[2], 7);
  EXPECT_EQ(tree.value[0], 9);  // an inner node keeps the label it was given
  const Tree<int> bare = read_lisp("(label 4)");
  EXPECT_EQ(bare.value[0], 4);
  EXPECT_EQ(bare.feature[0], -1);
  EXPECT_TRUE(std::isnan(bare.threshold[0]));
}

TEST(LispReader, NumbersTheNodesBreadthFirst) {
  // Written depth first: the root's left child has two leaves.
  const Tree<int> tree = read_lisp("(left (left (label 1) right (label 2) findex 1 threshold 3) "
                                   "right (label 5) findex 0 threshold 4)");
  EXPECT_EQ(tree.left, (std::vector<int>{1, 3, -1, -1, -1}));
  EXPECT_EQ(tree.value, (std::vector<int>{0, 0, 5, 1, 2}));
}

TEST(LispReader, SpacingIsFree) {
  for (const char* text : {"(label 3)", "( label 3 )", "\n\n  (\tlabel\n3)", "(label 3e0)"}) {
    EXPECT_EQ(read_lisp(text).value[0], 3) << text;
  }
}

TEST(LispReader, EndOfStreamGivesNoTree) {
  EXPECT_FALSE(read_one("   \n", [](std::istream& in, Tree<int>& t) { return read_tree_as_lisp(in, t); }).first);
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
  const auto [kind, message] = failure_of([&] {
    std::istringstream in(c.text);
    Tree<int> tree;
    read_tree_as_lisp(in, tree);
  });
  EXPECT_EQ(kind, c.kind);
  EXPECT_EQ(message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LispErrors,
    ::testing::Values(
        LispError{"TooManyClosing", ")", "Exception", "too many )s"},
        LispError{"Unbalanced", "(label 1 (", "string", "unbalanced parentheses"},
        LispError{"WordBeforeTree", "oops (label 1)", "FileFormatException", "expected ( to start tree."},
        // "threshold" takes the "(" as its number.
        LispError{"ParenthesisAsNumber", "(threshold ( label 1) )", "Exception",
                  "lisp model: '(' after threshold is not a number"},
        LispError{"WordAsLabel", "(label zero)", "Exception", "lisp model: 'zero' after label is not a number"},
        LispError{"TextAfterANumber", "(left (label 0) right (label 1) findex 0 threshold 2.45xyz)", "Exception",
                  "lisp model: '2.45xyz' after threshold is not a number"},
        LispError{"WordAsFeature", "(left (label 0) right (label 1) findex two threshold 1)", "Exception",
                  "lisp model: 'two' after findex is not a feature index"},
        LispError{"FractionAsFeature", "(left (label 0) right (label 1) findex 1.5 threshold 1)", "Exception",
                  "lisp model: '1.5' after findex is not a feature index"},
        LispError{"FractionAsClass", "(label 3.9)", "Exception",
                  "lisp model: the leaf value 3.9 is not a class number (a whole number)"},
        LispError{"LeafWithoutLabel", "()", "Exception", "invalid tree in lisp model: a leaf without a label"},
        LispError{"SplitWithoutFeature", "(left (label 0) right (label 1) threshold 1)", "Exception",
                  "invalid tree in lisp model: a node with children but no findex"},
        LispError{"StrayWordOnly", "oops", "FileFormatException", "expected ( to start tree."},
        LispError{"KeywordAtEnd", "(left)", "FileFormatException", "expected ( to start tree."},
        LispError{"InnerParenthesis", "((label 1))", "Exception", "unexpected token: ("},
        LispError{"UnknownWord", "(colour 3)", "Exception", "unexpected token: colour"},
        LispError{"OneChild", "(left (label 1) findex 0)", "Exception",
                  "invalid tree in lisp model: a node has only one child"}),
    [](const ::testing::TestParamInfo<LispError>& info) { return info.param.name; });

TEST(LispReader, NumberMissingAtTheEndOfTheTokens) {
  std::vector<std::string> tokens{"(", "threshold"};
  LispTree node;
  try {
    tokens_to_tree(tokens.begin(), tokens.end(), node);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "expected number after threshold token");
  }
  tokens = {"(", "left"};
  LispTree other;
  try {
    tokens_to_tree(tokens.begin(), tokens.end(), other);
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
  EXPECT_EQ(read_lisp(nested_lisp(depth)).size(), 2u * depth + 1);
}

TEST(LispWriter, DeepTreesRoundTripWithoutRecursion) {
  // Indentation grows with depth, so the text grows with its square.
  const int depth = 2000;
  const Tree<int> tree = read_lisp(nested_lisp(depth));
  std::ostringstream out;
  write_tree_as_lisp(out, tree, 0);
  EXPECT_TRUE(read_lisp(out.str()) == tree);
}

std::pair<bool, Tree<int>> read_vtxt(const std::string& text) {
  return read_one(text, [](std::istream& in, Tree<int>& t) { return read_tree_as_vectorized_txt(in, t); });
}

TEST(VectortxtReader, ReadsTheExampleBack) {
  const auto [found, tree] = read_vtxt(example_vtxt);
  ASSERT_TRUE(found);
  EXPECT_EQ(tree.right, (std::vector<int>{2, -1, -1}));
  EXPECT_EQ(tree.value, (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(tree.threshold, (std::vector<double>{0.5, 0, 0}));
}

TEST(VectortxtReader, NumbersTheNodesBreadthFirst) {
  // Depth first in the file: node 1 is the root's inner left child.
  const auto [found, tree] = read_vtxt("vtxt 5 5\n1 2 -1 -1 -1\n4 3 -1 -1 -1\n0 1 -1 -1 -1\n4 3 0 0 0\n0 0 1 2 5");
  ASSERT_TRUE(found);
  EXPECT_EQ(tree.left, (std::vector<int>{1, 3, -1, -1, -1}));
  EXPECT_EQ(tree.value, (std::vector<int>{0, 0, 5, 1, 2}));
}

TEST(VectortxtReader, ForestWithEmptyBlocksExtraFieldsAndBlankLines) {
  std::istringstream in(
      "\n\n  vtxt 5 0 \n"
      "vtxt 7 1\n-1\n-1\n-1\n0\n4\nextra1\nextra2\n"
      "vtxt 5 3 \n1 -1 -1\n2 -1 -1\n2 -1 -1\n0.5 0 0\n0 0 1\n");
  Forest<int> forest;
  read_forest_as_vectorized_txt(in, forest);
  ASSERT_EQ(forest.size(), 2u);
  EXPECT_EQ(forest[0].value[0], 4);
  EXPECT_TRUE(forest[0].is_leaf(0));
  EXPECT_EQ(forest[1].feature[0], 2);
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
  const auto [kind, message] = failure_of([&] { read_vtxt(c.text); });
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
                  "vectortxt model: invalid tree: node 0 has child 5 but the tree has 3 nodes"},
        VtxtError{"FractionAsClass", "vtxt 5 3\n1 -1 -1\n2 -1 -1\n0 -1 -1\n0.5 0 0\n-2 0 1.9", "Exception",
                  "vectortxt model: invalid tree: the leaf value 1.9 is not a class number (a whole number)"}),
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
  Forest<int> from_vtxt, from_lisp;
  read_forest(write("a.vtxt", std::string(example_vtxt) + "\n" + example_vtxt), from_vtxt);
  read_forest(write("a.lisp", std::string(example_lisp) + "\n" + example_lisp + "\n"), from_lisp);
  ASSERT_EQ(from_vtxt.size(), 2u);
  ASSERT_EQ(from_lisp.size(), 2u);
  EXPECT_EQ(from_vtxt[1].left, from_lisp[1].left);
}

TEST_F(ModelFile, MissingFileGivesNoTrees) {
  Forest<int> forest;
  read_forest(path("missing"), forest);
  EXPECT_TRUE(forest.empty());
}

TEST_F(ModelFile, StrayWordAfterTheLastLispTree) {
  const std::string p = write("stray.lisp", std::string(example_lisp) + "\noops\n");
  Forest<int> forest;
  try {
    read_forest(p, forest, "lisp");
    FAIL();
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "expected ( to start tree.");
  }
  Forest<int> deduced;
  try {
    read_forest(p, deduced);
    FAIL();
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "Could not deduce format of forest/model file: '" + p + "'");
  }
  try {
    read_forest(p, deduced, "xml");
    FAIL();
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "unknown format: xml");
  }
}

TEST_F(ModelFile, WrittenForestsReadBackInBothFormats) {
  Forest<double> forest;
  for (int k = 0; k < 3; ++k) {
    Tree<double> tree = example_tree<double>();
    tree.feature[0] = k;
    tree.threshold[0] = 0.123456789 * (k + 1);
    tree.value = {-2, 1.0 / 3.0, -2.5e-7};
    forest.push_back(tree);
  }
  const std::string lisp = path("w.lisp"), vtxt = path("w.vtxt");
  written.push_back(lisp);
  written.push_back(vtxt);
  write_forest_as_lisp(lisp, forest);
  write_forest_as_vectorized_txt(vtxt, forest);
  for (const auto& file : {lisp, vtxt}) {
    Forest<double> back;
    read_forest(file, back);
    ASSERT_EQ(back.size(), 3u) << file;
    // Every number reads back as the double that was written.
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(back[k].feature[0], static_cast<int>(k));
      EXPECT_EQ(back[k].threshold[0], forest[k].threshold[0]);
      EXPECT_EQ(back[k].value[1], 1.0 / 3.0);
      EXPECT_EQ(back[k].value[2], -2.5e-7);
    }
  }
}

TEST_F(ModelFile, UnwritablePathIsAnError) {
  const Forest<int> forest{example_tree()};
  try {
    write_forest_as_vectorized_txt("/no/such/dir/model.txt", forest);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "could not write model file: `/no/such/dir/model.txt'");
  }
}

}  // namespace
}  // namespace Sylvor

namespace Sylvor {
namespace {

TEST(ModelFiles, AFileThatNeverEndsIsRefusedWithinBoundedMemory) {
  Forest<int> forest;
  try {
    read_forest("/dev/zero", forest);
    FAIL();
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "Could not deduce format of forest/model file: '/dev/zero'");
  }
  std::istringstream endless_number("vtxt 5 1\n" + std::string(5000, '1'));
  try {
    read_forest_as_vectorized_txt(endless_number, forest);
    FAIL();
  } catch (const FileFormatException& e) {
    EXPECT_EQ(e.get_message(), "a word of the model file is longer than 4096 characters: not a model file");
  }
  EXPECT_TRUE(forest.empty());
}

// A forest of two trees learned with missing sides: the example, and the
// example whose root sends missing values left.
Forest<int> with_missing_sides() {
  Forest<int> forest{example_tree(), example_tree()};
  for (Tree<int>& tree : forest) tree.missing_learned = true;
  forest[1].missing_left[0] = 1;
  return forest;
}

std::string written(const Forest<int>& forest, const std::string& format) {
  std::ostringstream out;
  write_forest(out, forest, format);
  return out.str();
}

TEST(VersionTwoModel, WritesTheVersionLineAndEachInnerNodesMissingSide) {
  const Forest<int> forest = with_missing_sides();
  const std::string vtxt = written(forest, "vectortxt");
  EXPECT_EQ(vtxt.substr(0, vtxt.find("vtxt 6 3 \n1 -1 -1\n2 -1 -1\n2 -1 -1\n0.5 0 0\n0 0 1\n0 0 0\nvtxt")),
            "sylvor-model 2\n");
  EXPECT_NE(vtxt.find("0 0 1\n1 0 0\n"), std::string::npos) << vtxt;
  const std::string lisp = written(forest, "lisp");
  EXPECT_EQ(lisp.rfind("sylvor-model 2\n(", 0), 0u) << lisp;
  EXPECT_NE(lisp.find("   findex 2\n   missing right\n)"), std::string::npos) << lisp;
  EXPECT_NE(lisp.find("   findex 2\n   missing left\n)"), std::string::npos) << lisp;
}

TEST(VersionTwoModel, ForestsWithoutMissingSidesAreWrittenAsBefore) {
  const Forest<int> forest{example_tree()};
  EXPECT_EQ(written(forest, "vectortxt"), std::string(example_vtxt) + "\n");
  EXPECT_EQ(written(forest, "lisp"), std::string(example_lisp) + "\n");
}

class VersionTwoRoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(VersionTwoRoundTrip, GivesTheSameTreesAndText) {
  const Forest<int> forest = with_missing_sides();
  const std::string text = written(forest, GetParam());
  Forest<int> back;
  read_forest_text(text, back);
  ASSERT_EQ(back.size(), 2u);
  for (std::size_t t = 0; t < 2; ++t) {
    EXPECT_EQ(back[t].missing_left, forest[t].missing_left);
    EXPECT_TRUE(back[t].missing_learned);
    EXPECT_EQ(back[t].left, forest[t].left);
  }
  EXPECT_EQ(written(back, GetParam()), text);
}

INSTANTIATE_TEST_SUITE_P(Formats, VersionTwoRoundTrip, ::testing::Values("vectortxt", "lisp"));

struct VersionError {
  const char* text;
  const char* message;  // a part of it
};

class VersionErrors : public ::testing::TestWithParam<VersionError> {};

TEST_P(VersionErrors, AreRefusedNamingTheFault) {
  Forest<int> forest;
  try {
    read_forest_text<int>(GetParam().text, forest);
    FAIL() << "read: " << GetParam().text;
  } catch (const Exception& e) {
    EXPECT_NE(e.get_message().find(GetParam().message), std::string::npos) << e.get_message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VersionErrors,
    ::testing::Values(
        VersionError{"sylvor-model 3\nvtxt 6 1 \n-1\n-1\n-1\n0\n1\n0\n", "model format version 3 is unknown"},
        VersionError{"sylvor-model 17\n(label 1)\n", "model format version 17 is unknown"},
        VersionError{"sylvor-model two\n(label 1)\n", "is not a whole number: 'two'"},
        VersionError{"sylvor-model 2\nvtxt 5 1 \n-1\n-1\n-1\n0\n1\n", "the sixth its missing side"},
        VersionError{"sylvor-model 2\nvtxt 6 3 \n1 -1 -1\n2 -1 -1\n2 -1 -1\n0.5 0 0\n0 0 1\n2 0 0\n",
                     "missing side of node 0 must be 1 (left) or 0 (right)"},
        VersionError{"(left (label 0) right (label 1) findex 0 missing left)", "unexpected token: missing"},
        VersionError{"sylvor-model 2\n(left (label 0) right (label 1) findex 0 missing up)",
                     "expected left or right after missing token"}));

// A tree whose root tests the levels {0, 2} of feature 1 (missing values
// right), then numbers on feature 0, with the level names of feature 1.
Forest<int> with_level_test(FeatureLevels& levels) {
  Tree<int> tree = example_tree();
  tree.feature[0] = 1;
  tree.threshold[0] = std::numeric_limits<double>::quiet_NaN();
  tree.missing_learned = true;
  tree.set_left_levels(0, {0, 2});
  levels.names = {{}, {"amber", "green", "red"}};
  return {tree, with_missing_sides()[1]};
}

TEST(VersionTwoModel, WritesLevelNamesAndTheLevelsEachNodeSendsLeft) {
  FeatureLevels levels;
  const Forest<int> forest = with_level_test(levels);
  std::ostringstream vtxt, lisp;
  write_forest(vtxt, forest, "vectortxt", &levels);
  write_forest(lisp, forest, "lisp", &levels);
  EXPECT_EQ(vtxt.str().rfind("sylvor-model 2\nlevels 1 amber green red\nvtxt 7 3 \n", 0), 0u) << vtxt.str();
  EXPECT_NE(vtxt.str().find("\n0 0 0\n2 -1 -1\n0 2\nvtxt 6 3"), std::string::npos) << vtxt.str();
  EXPECT_NE(lisp.str().find("   findex 1\n   missing right\n   levels 2 0 2\n)"), std::string::npos) << lisp.str();
}

class LevelRoundTrip : public ::testing::TestWithParam<const char*> {};

TEST_P(LevelRoundTrip, GivesTheTreesTheirLevelsAndTheNames) {
  FeatureLevels levels;
  const Forest<int> forest = with_level_test(levels);
  std::ostringstream out;
  write_forest(out, forest, GetParam(), &levels);
  Forest<int> back;
  FeatureLevels names_back;
  read_forest_text(out.str(), back, &names_back);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(names_back, levels);
  EXPECT_EQ(back[0].left_levels(0), (std::vector<std::uint32_t>{0, 2}));
  EXPECT_FALSE(back[1].tests_levels(0));
  std::ostringstream again;
  write_forest(again, back, GetParam(), &names_back);
  EXPECT_EQ(again.str(), out.str());
}

INSTANTIATE_TEST_SUITE_P(Formats, LevelRoundTrip, ::testing::Values("vectortxt", "lisp"));

INSTANTIATE_TEST_SUITE_P(
    Levels, VersionErrors,
    ::testing::Values(
        VersionError{"sylvor-model 2\nlevels 1 red amber\n(label 1)\n", "not in ascending order without repeats"},
        VersionError{"sylvor-model 2\nlevels 1 amber amber\n(label 1)\n", "not in ascending order"},
        VersionError{"sylvor-model 2\nlevels x amber\n(label 1)\n", "malformed levels line"},
        VersionError{"sylvor-model 2\nlevels 1 a\nlevels 1 b\n(label 1)\n", "has two levels lines"},
        VersionError{"sylvor-model 2\nlevels 1 a b\n(left (label 0) right (label 1) findex 1 levels 1 2)",
                     "sends levels of feature 1 left that the model's levels lines do not name"},
        VersionError{"sylvor-model 2\n(left (label 0) right (label 1) findex 0 levels 1 0)",
                     "sends levels of feature 0 left"},
        VersionError{"sylvor-model 2\n(left (label 0) right (label 1) findex 0 levels 2 0)", "')' after levels is not a level"},
        VersionError{"sylvor-model 2\n(left (label 0) right (label 1) findex 0 levels -1)", "is not a level"}));

}  // namespace
}  // namespace Sylvor
