#include "Sylvor/defs/string.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace Sylvor {
namespace {

struct SplitCase {
  std::string text;
  std::string delim;
  std::vector<int> expected;
};

class SplitConverts : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitConverts, GivesThePiecesInOrder) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(splitv<int>(c.text, c.delim), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, SplitConverts,
    ::testing::Values(SplitCase{"", ",", {}}, SplitCase{"42", ",", {42}},
                      SplitCase{"1,2,3", ",", {1, 2, 3}},
                      SplitCase{"1,2,", ",", {1, 2}},         // trailing delimiter: no piece
                      SplitCase{" 4, 5", ",", {4, 5}},        // leading blanks skipped
                      SplitCase{"7a,8", ",", {7, 8}},         // rest of a piece ignored
                      SplitCase{"1::2::3", "::", {1, 2, 3}},  // whole delimiter only
                      SplitCase{"1:5::2", "::", {1, 2}},      // a single colon ends the number
                      SplitCase{"-3 9", " ", {-3, 9}}, SplitCase{"1 2\t3", "", {1, 2, 3}}));

struct SplitFailure {
  std::string text;
  std::string delim;
  std::string message;
};

class SplitRejects : public ::testing::TestWithParam<SplitFailure> {};

TEST_P(SplitRejects, ThrowsTheOffendingPiece) {
  const SplitFailure& c = GetParam();
  try {
    splitv<int>(c.text, c.delim);
    FAIL() << "no error for '" << c.text << "'";
  } catch (const std::string& message) {
    EXPECT_EQ(message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, SplitRejects,
    ::testing::Values(SplitFailure{",1", ",", "error converting ''"},
                      SplitFailure{"1,,2", ",", "error converting ''"},
                      SplitFailure{"1, ,2", ",", "error converting ' '"},
                      SplitFailure{"1,x", ",", "error converting 'x'"},
                      SplitFailure{"99999999999", ",", "error converting '99999999999'"}));

TEST(SplitStrings, KeepsWordsOfEachPiece) {
  EXPECT_EQ(splitv<std::string>("ab,cd", ","), (std::vector<std::string>{"ab", "cd"}));
}

struct ReadCase {
  std::string input;
  std::string delim;
  std::vector<int> expected;
};

class ReadVectorFromStream : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadVectorFromStream, AppendsTheValues) {
  const ReadCase& c = GetParam();
  std::istringstream in(c.input);
  std::vector<int> values{-1};  // values already there are kept
  read_vector(in, values, c.delim);
  std::vector<int> expected{-1};
  expected.insert(expected.end(), c.expected.begin(), c.expected.end());
  EXPECT_EQ(values, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ReadVectorFromStream,
    ::testing::Values(ReadCase{"1 2\n3\n", "", {1, 2, 3}},    // lines are white space
                      ReadCase{"1 word 3", "", {1}},          // stops at a non-number
                      ReadCase{"  \n\t ", "", {}},            // only white space
                      ReadCase{"5", "", {5}},                 // no final newline
                      ReadCase{"1,2\n\n3\n", ",", {1, 2, 3}}, // empty line adds nothing
                      ReadCase{"4,5", ",", {4, 5}},           // last line without newline
                      ReadCase{"1,2,\r\n\r\n3\r\n", ",", {1, 2, 3}}));  // CR LF lines

TEST(ReadVector, ConversionErrorKeepsEarlierLines) {
  std::istringstream in("1,2\n3,x\n4\n");
  std::vector<int> values;
  EXPECT_THROW(read_vector(in, values, ","), std::string);
  EXPECT_EQ(values, (std::vector<int>{1, 2}));
}

TEST(ReadVector, MissingFileIsNamedAndVectorUntouched) {
  std::vector<int> values{7};
  try {
    read_vector(std::string("/nonexistent/selection.txt"), values, "");
    FAIL() << "no error for a missing file";
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "could not open selection file: `/nonexistent/selection.txt'");
  }
  EXPECT_EQ(values, std::vector<int>{7});
}

TEST(SaveVector, DelimiterFollowsEveryElement) {
  std::ostringstream out;
  save_vector(out, std::vector<int>{1, 2, 3}, " ");
  EXPECT_EQ(out.str(), "1 2 3 ");
}

TEST(SaveVector, EmptyVectorWritesNothing) {
  std::ostringstream out;
  save_vector(out, std::vector<double>{}, "\n");
  EXPECT_EQ(out.str(), "");
}

struct ExactCase {
  double value;
  std::string text;
};

class ExactNumbers : public ::testing::TestWithParam<ExactCase> {};

TEST_P(ExactNumbers, AreTheShortestTextThatReadsBackAsTheSameDouble) {
  std::ostringstream out;
  save_vector(out, std::vector<double>{GetParam().value}, " ");
  EXPECT_EQ(out.str(), GetParam().text + " ");
  if (std::isfinite(GetParam().value)) {
    EXPECT_EQ(std::stod(GetParam().text), GetParam().value);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Doubles, ExactNumbers,
    ::testing::Values(ExactCase{2.5, "2.5"}, ExactCase{2.0, "2"}, ExactCase{0.1, "0.1"},
                      ExactCase{0.1 + 0.2, "0.30000000000000004"}, ExactCase{0.123456789, "0.123456789"},
                      ExactCase{1e-7, "1e-07"}, ExactCase{1700000010.0, "1700000010"},
                      ExactCase{1234567.89, "1234567.89"}, ExactCase{(1.6 + 1.8) * 0.5, "1.7000000000000002"},
                      ExactCase{-0.0, "-0"}, ExactCase{std::numeric_limits<double>::quiet_NaN(), "nan"}));

TEST(SaveVector, FloatsAndIntegersKeepTheirOwnForm) {
  std::ostringstream out;
  save_vector(out, std::vector<float>{0.1f}, " ");
  save_vector(out, std::vector<int>{-3}, " ");
  EXPECT_EQ(out.str(), "0.10000000149011612 -3 ");  // the float's exact double
}

TEST(SaveVector, FileRoundTripsThroughReadVector) {
  const std::string path = ::testing::TempDir() + "sylvor_save_vector.txt";
  save_vector(path, std::vector<int>{10, -20, 30}, "\n");
  std::vector<int> values;
  read_vector(path, values, "");
  EXPECT_EQ(values, (std::vector<int>{10, -20, 30}));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace Sylvor
