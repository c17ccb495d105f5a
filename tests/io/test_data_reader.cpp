#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/io/dataset_io.hpp"

namespace Sylvor {
namespace {

DataSetDescription description(const std::string& text) {
  std::istringstream in(text);
  return SylvorDescriptionReader().read(in);
}

// Three features, label names in the last column.
const char* const three_features = "num-features 3\nclass-column 3\nlabel 0 no\nlabel 1 yes\n";

template <class F = double, class L = int>
MemoryDataSet<F, L> read(const std::string& data, const std::string& desc,
                         const std::string& format = "csv",
                         std::optional<std::vector<int>> subset = std::nullopt) {
  MemoryDataSet<F, L> set;
  std::istringstream in(data);
  if (subset) {
    read_data_subset(set, in, format, description(desc), *subset);
  } else {
    read_data_set(set, in, format, description(desc));
  }
  return set;
}

template <class F = double, class L = int>
std::string read_error(const std::string& data, const std::string& desc,
                       const std::string& format = "csv") {
  try {
    read<F, L>(data, desc, format);
  } catch (const std::string& message) {
    return message;
  } catch (const Exception& e) {
    return "Exception: " + e.get_message();
  }
  return "no error";
}

std::vector<double> row_of(const MemoryDataSet<double, int>& set, std::size_t i) {
  std::vector<double> row;
  for (std::size_t f = 0; f < set.get_num_features(); ++f) row.push_back(set(i, f));
  return row;
}

struct RowCase {
  std::string name;
  std::string data;
  std::string format;
  std::vector<std::vector<double>> rows;
  std::vector<int> labels;
};

class ReadsRows : public ::testing::TestWithParam<RowCase> {};

TEST_P(ReadsRows, IntoFeatureColumnsAndLabels) {
  const RowCase& c = GetParam();
  const auto set = read(c.data, three_features, c.format);
  ASSERT_EQ(set.get_num_instances(), c.rows.size());
  for (std::size_t i = 0; i < c.rows.size(); ++i) EXPECT_EQ(row_of(set, i), c.rows[i]) << i;
  EXPECT_EQ(set.labels, c.labels);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ReadsRows,
    ::testing::Values(
        RowCase{"LastLineWithoutNewline", "1,2,3,yes\n4,5,6,no", "csv", {{1, 2, 3}, {4, 5, 6}}, {1, 0}},
        RowCase{"CarriageReturnLineEnds", "1,2,3,yes\r\n4,5,6,no\r\n", "csv", {{1, 2, 3}, {4, 5, 6}}, {1, 0}},
        RowCase{"EmptyLinesSkipped", "\n1,2,3,yes\n\n\n4,5,6,no\n\n", "csv", {{1, 2, 3}, {4, 5, 6}}, {1, 0}},
        RowCase{"WhiteSpaceDroppedInsideColumns", " 1 2 ,\t3, 4 , y e s\n", "csv", {{12, 3, 4}}, {1}},
        RowCase{"CommentEndsTheRow", "1,2,3,yes # a comment, with commas\n", "csv", {{1, 2, 3}}, {1}},
        RowCase{"QuotesProtectDelimiterAndHash", "\"1,5\",\"2#\",\"3\"\"\",\"no\"\n", "csv", {{1, 2, 3}}, {0}},
        RowCase{"QuotesInsideAColumn", "1\"0\"0,2,3,n\"o\"\n", "csv", {{100, 2, 3}}, {0}},
        RowCase{"TrailingTextIgnored", "12abc,1e2x,-.5,yes\n", "csv", {{12, 100, -0.5}}, {1}},
        RowCase{"StrtodSyntax", "0x1A,+5,\" 7\",yes\n", "csv", {{26, 5, 7}}, {1}},
        RowCase{"TextFormatSplitsAtSpaces", "1 2 3 yes\n4 5 6 no\n", "text", {{1, 2, 3}, {4, 5, 6}}, {1, 0}},
        RowCase{"TabJoinsColumnsInTextFormat", "1\t0 2 3 no\n", "txt", {{10, 2, 3}}, {0}},
        RowCase{"CommasAreTextInTextFormat", "1,5 2 3 no\n", "text", {{1, 2, 3}}, {0}}),
    [](const ::testing::TestParamInfo<RowCase>& info) { return info.param.name; });

TEST(DataReader, MissingValuesAreNaN) {
  const auto set = read("?,*12,?x,yes\n", three_features);
  for (std::size_t f = 0; f < 3; ++f) EXPECT_TRUE(std::isnan(set(0, f))) << f;
}

TEST(DataReader, LongColumns) {
  const std::string zeros254 = std::string(253, '0') + "1";
  const auto set = read("-0," + zeros254 + ",1e-320,no\n", three_features);
  EXPECT_EQ(set(0, 1), 1);
  EXPECT_EQ(set(0, 2), 1e-320);
}

TEST(DataReader, WithoutClassColumnLabelsAreMinusTwo) {
  const auto set = read("1,2\n3,4\n", "num-features 2\n");
  EXPECT_EQ(set.labels, (std::vector<int>{-2, -2}));
  EXPECT_EQ(set.features[1], (std::vector<double>{2, 4}));
}

TEST(DataReader, IgnoredColumnsAndLabelInTheMiddle) {
  const auto set = read("id7,1,yes,2,x\n", "num-features 2\nignore 0\nignore 4\nclass-column 2\n"
                                          "label 1 yes\n");
  EXPECT_EQ(row_of(set, 0), (std::vector<double>{1, 2}));
  EXPECT_EQ(set.labels, std::vector<int>{1});
}

TEST(DataReader, NumberLabelsAreDeclaredClasses) {
  const std::string classes = "num-features 3\nclass-column 3\nnumber-labels\nlabel 0 a\nlabel 1 b\nlabel 2 c\n";
  EXPECT_EQ(read("1,2,3,2\n1,2,3,0\n1,2,3,1.0\n", classes).labels, (std::vector<int>{2, 0, 1}));
  const std::string plus_minus = "num-features 3\nclass-column 3\nnumber-labels\nlabel-type plus-one-minus-one\n";
  const auto set = read("1,2,3,-1\n1,2,3,+1\n1,2,3,1\n", plus_minus);
  EXPECT_EQ(set.labels, (std::vector<int>{-1, 1, 1}));
  EXPECT_EQ(set.get_num_classes(), 2u);
}

TEST(DataReader, RegressionTargetsAreStoredAsRead) {
  const auto set = read<double, double>("1,2,3,2.75\n1,2,3,-1e-3\n",
                                        "num-features 3\nclass-column 3\nlabel-type regression\n");
  EXPECT_EQ(set.labels, (std::vector<double>{2.75, -1e-3}));
  EXPECT_EQ(set.get_num_classes(), 1u);
  EXPECT_EQ(set.get_labeling(), Regression);
}

TEST(DataReader, FeatureTypesConvertByTruncation) {
  const auto set = read<unsigned char>("255,0.9,7.5,yes\n", three_features);
  EXPECT_EQ(set.features[0][0], 255);
  EXPECT_EQ(set.features[1][0], 0);
  EXPECT_EQ(set.features[2][0], 7);
}

TEST(DataReader, AppendsToWhatTheDataSetHolds) {
  MemoryDataSet<double, int> set;
  for (int pass = 0; pass < 2; ++pass) {
    std::istringstream in("1,2,3,yes\n");
    read_data_set(set, in, "csv", description(three_features));
  }
  EXPECT_EQ(set.get_num_instances(), 2u);
  EXPECT_EQ(set.features[2], (std::vector<double>{3, 3}));
}

struct ErrorCase {
  std::string name;
  std::string data;
  std::string message;
};

class RejectsRows : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RejectsRows, WithAMessageNamingTheFault) {
  EXPECT_EQ(read_error(GetParam().data, three_features), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, RejectsRows,
    ::testing::Values(
        ErrorCase{"ShortRow", "1,2,3,yes\n1,2,yes\n", "row 1 has 3 columns but previous rows have 4 columns"},
        ErrorCase{"BlankLineOfSpaces", "1,2,3,yes\n   \n", "row 1 has 1 columns but previous rows have 4 columns"},
        ErrorCase{"CommentLineIsARow", "1,2,3,yes\n# note\n", "row 1 has 1 columns but previous rows have 4 columns"},
        ErrorCase{"EmptyColumn", "1,,3,yes\n", "row 0 col_no 1: could not convert '' to a double."},
        // A first row of nothing but empty columns leaves the row buffer unallocated.
        ErrorCase{"OnlyEmptyColumns", ",,,\n", "row 0 col_no 0: could not convert '' to a double."},
        ErrorCase{"Letters", "1,2,abc,yes\n", "row 0 col_no 2: could not convert 'abc' to a double."},
        ErrorCase{"Infinity", "inf,2,3,yes\n",
                  "row 0 col_no 0: value 'inf' is not a finite number (write a missing value as '?')"},
        ErrorCase{"MinusInfinity", "1,-Infinity,3,yes\n",
                  "row 0 col_no 1: value '-Infinity' is not a finite number (write a missing value as '?')"},
        ErrorCase{"BeyondDouble", "1,2,1e400,yes\n",
                  "row 0 col_no 2: value '1e400' is not a finite number (write a missing value as '?')"},
        ErrorCase{"NaNWrittenOut", "nan,2,3,yes\n",
                  "row 0 col_no 0: value 'nan' is not a finite number (write a missing value as '?')"},
        ErrorCase{"ColumnTooLong", std::string(255, '1') + ",2,3,yes\n", "column has too many characters - cannot convert"},
        ErrorCase{"UnknownLabel", "1,2,3,no\n1,2,3,maybe\n",
                  "row 1: label 'maybe' is not a class of the description (its classes are no, yes)"},
        ErrorCase{"TooManyFeatureColumns", "1,2,3,4,yes\n", "row 0 has 4 feature columns (neither ignored nor the label) but the description declares 3 features"},
        ErrorCase{"ClassColumnBeyondTheRow", "1,2,3\n", "row 0 has 3 columns but the description puts the label in column 3"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

TEST(DataReader, TooFewFeatureColumnsForTheDescription) {
  EXPECT_EQ(read_error("yes,1,2\n", "num-features 3\nclass-column 0\nlabel 1 yes\n"),
            "row 0 has 2 feature columns (neither ignored nor the label) but the description "
            "declares 3 features");
  EXPECT_EQ(read_error("1,2\n", ""),
            "row 0 has 2 feature columns (neither ignored nor the label) but the description "
            "declares 0 features");
}

TEST(DataReader, FileWithoutRowsAllocatesNoColumns) {
  // Found by fuzzing: sizing the columns from the description alone let a
  // description of 207,916,685 features allocate 5 GB for an empty file.
  const auto set = read("\n\n", "num-features 207916685\n");
  EXPECT_EQ(set.get_num_features(), 0u);
  EXPECT_EQ(set.get_num_instances(), 0u);
}

TEST(DataReader, HugeFeatureCountFailsOnTheFirstRowWithoutAllocating) {
  EXPECT_EQ(read_error("1,2\n", "num-features 2147483647\n"),
            "row 0 has 2 feature columns (neither ignored nor the label) but the description "
            "declares 2147483647 features");
}

TEST(DataReader, FailedRowLeavesEarlierRowsAndNothingOfItself) {
  MemoryDataSet<double, int> set;
  std::istringstream in("1,2,3,yes\n4,5,6,no\n7,8,x,yes\n9,9,9,no\n");
  EXPECT_THROW(read_data_set(set, in, "csv", description(three_features)), std::string);
  EXPECT_EQ(set.get_num_instances(), 2u);
  for (const auto& column : set.features) EXPECT_EQ(column.size(), 2u);
}

struct TypedErrorCase {
  std::string name;
  std::string data;
  std::string message;
};

class RejectsValuesOfTheFeatureType : public ::testing::TestWithParam<TypedErrorCase> {};

TEST_P(RejectsValuesOfTheFeatureType, NamingRowColumnAndValue) {
  const std::string& name = GetParam().name;
  std::string got;
  if (name.rfind("Uchar", 0) == 0) got = read_error<unsigned char>(GetParam().data, three_features);
  if (name.rfind("Int", 0) == 0) got = read_error<int>(GetParam().data, three_features);
  if (name.rfind("Short", 0) == 0) got = read_error<short>(GetParam().data, three_features);
  if (name.rfind("Float", 0) == 0) got = read_error<float>(GetParam().data, three_features);
  EXPECT_EQ(got, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Types, RejectsValuesOfTheFeatureType,
    ::testing::Values(
        TypedErrorCase{"UcharTooLarge", "1,300,3,yes\n", "row 0 col_no 1: value '300' is out of range for the feature type unsigned char"},
        TypedErrorCase{"UcharNegative", "1,2,-1,yes\n", "row 0 col_no 2: value '-1' is out of range for the feature type unsigned char"},
        TypedErrorCase{"IntTooLarge", "1e10,2,3,yes\n", "row 0 col_no 0: value '1e10' is out of range for the feature type int"},
        TypedErrorCase{"IntNotANumber", "nan,2,3,yes\n", "row 0 col_no 0: value 'nan' is not a finite number (write a missing value as '?')"},
        TypedErrorCase{"IntInfinity", "1,1e400,3,yes\n", "row 0 col_no 1: value '1e400' is not a finite number (write a missing value as '?')"},
        TypedErrorCase{"FloatInfinity", "1,2,1e400,yes\n", "row 0 col_no 2: value '1e400' is not a finite number (write a missing value as '?')"},
        TypedErrorCase{"UcharInfinity", "inf,2,3,yes\n", "row 0 col_no 0: value 'inf' is not a finite number (write a missing value as '?')"},
        TypedErrorCase{"ShortTooSmall", "1,-40000,3,yes\n", "row 0 col_no 1: value '-40000' is out of range for the feature type short"},
        TypedErrorCase{"FloatTooLarge", "1,2,1e39,yes\n", "row 0 col_no 2: value '1e39' is out of range for the feature type float"},
        TypedErrorCase{"IntMissing", "1,?,3,yes\n", "row 0 col_no 1: missing value '?' cannot be stored with the integer feature type int; use a floating feature type (float or double)"},
        TypedErrorCase{"UcharMissing", "1,2,*7,yes\n", "row 0 col_no 2: missing value '*7' cannot be stored with the integer feature type unsigned char; use a floating feature type (float or double)"}),
    [](const ::testing::TestParamInfo<TypedErrorCase>& info) { return info.param.name; });

TEST(DataReader, IntegerTypesTakeTheirWholeRange) {
  const auto set = read<int>("2147483647.9,-2147483648.5,0,yes\n", three_features);
  EXPECT_EQ(set.features[0][0], 2147483647);
  EXPECT_EQ(set.features[1][0], -2147483647 - 1);
}

const char* const number_labels = "num-features 3\nclass-column 3\nnumber-labels\n";

struct LabelErrorCase {
  std::string name;
  std::string data;
  std::string description;
  std::string message;
};

class LabelErrors : public ::testing::TestWithParam<LabelErrorCase> {};

TEST_P(LabelErrors, NameTheRowAndTheText) {
  if (GetParam().description.find("regression") != std::string::npos) {
    EXPECT_EQ((read_error<double, double>(GetParam().data, GetParam().description)), GetParam().message);
  } else {
    EXPECT_EQ(read_error(GetParam().data, GetParam().description), GetParam().message);
  }
}

const char* const two_number_classes = "num-features 3\nclass-column 3\nnumber-labels\nlabel 0 a\nlabel 1 b\n";
const char* const targets = "num-features 3\nclass-column 3\nlabel-type regression\n";

INSTANTIATE_TEST_SUITE_P(
    Labels, LabelErrors,
    ::testing::Values(
        LabelErrorCase{"NotANumber", "1,2,3,1\n1,2,3,yes\n", two_number_classes,
                       "row 1: label 'yes' is not a finite number"},
        LabelErrorCase{"MissingClass", "1,2,3,?\n", two_number_classes, "row 0: the label is missing ('?')"},
        LabelErrorCase{"NotAWholeClass", "1,2,3,0.7\n", two_number_classes,
                       "row 0: label '0.7' is not a class of the description (the classes are 0 to 1)"},
        LabelErrorCase{"UndeclaredClass", "1,2,3,2\n", two_number_classes,
                       "row 0: label '2' is not a class of the description (the classes are 0 to 1)"},
        LabelErrorCase{"NoClassDeclared", "1,2,3,0\n", number_labels,
                       "row 0: label '0' is not a class of the description (it declares no class: add a "
                       "'label ID NAME' line per class)"},
        LabelErrorCase{"NotPlusOrMinusOne", "1,2,3,0\n",
                       "num-features 3\nclass-column 3\nnumber-labels\nlabel-type plus-one-minus-one\n",
                       "row 0: label '0' is not a class of the description (the classes are -1 and +1)"},
        LabelErrorCase{"HugeClass", "1,2,3,1e10\n", two_number_classes,
                       "row 0: label '1e10' is not a class of the description (the classes are 0 to 1)"},
        LabelErrorCase{"MissingTarget", "1,2,3,2.5\n1,2,3,?\n", targets, "row 1: the label is missing ('?')"},
        LabelErrorCase{"NaNTarget", "1,2,3,nan\n", targets, "row 0: label 'nan' is not a finite number"},
        LabelErrorCase{"InfiniteTarget", "1,2,3,-inf\n", targets, "row 0: label '-inf' is not a finite number"},
        LabelErrorCase{"TargetWithTrailingText", "1,2,3,151abc\n", targets,
                       "row 0: label '151abc' is not a finite number"},
        LabelErrorCase{"EmptyTarget", "1,2,3,\n", targets, "row 0: the label is missing ('')"},
        LabelErrorCase{"OverlongTarget", "1,2,3," + std::string(255, '1') + "\n", targets,
                       "row 0: label '" + std::string(255, '1') + "' is not a finite number"}),
    [](const ::testing::TestParamInfo<LabelErrorCase>& info) { return info.param.name; });

// A stream whose reads fail after `good` characters, as a read error or an
// exhausted memory would make them fail in the middle of a file.
class FailingBuffer : public std::streambuf {
public:
  FailingBuffer(const std::string& text, std::size_t good) : text(text.substr(0, good)) {
    setg(this->text.data(), this->text.data(), this->text.data() + this->text.size());
  }

protected:
  int_type underflow() override { throw std::runtime_error("read failed"); }

private:
  std::string text;
};

TEST(DataReader, AReadErrorInTheMiddleIsAnErrorNotTheEnd) {
  FailingBuffer buffer("1,2,3,yes\n4,5,6,no\n7,8,9,yes\n", 15);
  std::istream in(&buffer);
  MemoryDataSet<double, int> set;
  try {
    read_data_set(set, in, "csv", description(three_features));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "could not read the data after row 0: the read failed before the end of the file");
  }
}

struct SubsetCase {
  std::string name;
  std::vector<int> subset;
  std::vector<double> first_feature;  // of the rows taken, in order
};

class SelectsRows : public ::testing::TestWithParam<SubsetCase> {};

TEST_P(SelectsRows, TakesOnlyMatchedRowNumbers) {
  const auto set = read("0,0,0,no\n\n1,0,0,no\n2,0,0,no\n3,0,0,no\n", three_features, "csv",
                        GetParam().subset);
  EXPECT_EQ(set.features[0], GetParam().first_feature);
}

INSTANTIATE_TEST_SUITE_P(
    Selections, SelectsRows,
    ::testing::Values(SubsetCase{"UnsortedIndices", {3, 1}, {1, 3}},
                      SubsetCase{"Empty", {}, {}},
                      SubsetCase{"All", {0, 1, 2, 3}, {0, 1, 2, 3}}),
    [](const ::testing::TestParamInfo<SubsetCase>& info) { return info.param.name; });

TEST(DataSubset, ARowListedTwiceOrBeyondTheDataIsAnError) {
  for (const auto& [subset, message] :
       {std::make_pair(std::vector<int>{2, 0, 2}, std::string("the selection lists row 2 twice")),
        std::make_pair(std::vector<int>{0, 5}, std::string("the selection lists row 5 but the data have 4 rows (0 to 3)"))}) {
    MemoryDataSet<double, int> set;
    std::istringstream in("0,0,0,no\n\n1,0,0,no\n2,0,0,no\n3,0,0,no\n");
    try {
      read_data_subset(set, in, "csv", description(three_features), subset);
      FAIL() << message;
    } catch (const Exception& e) {
      EXPECT_EQ(e.get_message(), message);
    }
  }
}

struct SelectionFileCase {
  std::string name;
  std::string text;
  std::string message;  // empty: read without error
};

class SelectionFiles : public ::testing::TestWithParam<SelectionFileCase> {};

TEST_P(SelectionFiles, ListNonNegativeRowNumbersOnce) {
  const std::string path = ::testing::TempDir() + "sylvor_selection_" + GetParam().name + ".txt";
  std::ofstream(path) << GetParam().text;
  try {
    const std::vector<int> rows = read_selection(path);
    EXPECT_EQ(GetParam().message, "");
    EXPECT_EQ(rows, (std::vector<int>{5, 3, 0, 12}));
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "selection file `" + path + "': " + GetParam().message);
  }
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, SelectionFiles,
    ::testing::Values(
        SelectionFileCase{"SpacesAndLines", "5 3\n0\t12\n", ""},
        SelectionFileCase{"Commas", "5,3,0,12", "'5,3,0,12' is not a row number (a non-negative integer, rows separated by white space)"},
        SelectionFileCase{"Word", "5 3 x 12", "'x' is not a row number (a non-negative integer, rows separated by white space)"},
        SelectionFileCase{"Fraction", "5 1.5", "'1.5' is not a row number (a non-negative integer, rows separated by white space)"},
        SelectionFileCase{"Exponent", "1e2", "'1e2' is not a row number (a non-negative integer, rows separated by white space)"},
        SelectionFileCase{"Negative", "-3", "'-3' is not a row number (a non-negative integer, rows separated by white space)"},
        SelectionFileCase{"BeyondInt", "2147483648", "'2147483648' is not a row number (a non-negative integer, rows separated by white space)"},
        SelectionFileCase{"EndlessWord", "5 " + std::string(5000, '7'), "a word is longer than 4096 characters: not a row number"}),
    [](const ::testing::TestParamInfo<SelectionFileCase>& info) { return info.param.name; });

TEST(SelectionFile, ARowListedTwiceIsNamed) {
  const std::string path = ::testing::TempDir() + "sylvor_selection_twice.txt";
  std::ofstream(path) << "5 3 1 3 140 141\n";
  try {
    read_selection(path);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "selection file `" + path + "' lists row 3 twice");
  }
  std::remove(path.c_str());
}

TEST(DataSubset, UnselectedRowsMustStillHaveTheColumnCount) {
  MemoryDataSet<double, int> set;
  std::istringstream in("1,2,3,yes\n1,2,yes\n");
  try {
    read_data_subset(set, in, "csv", description(three_features), {0});
    FAIL();
  } catch (const std::string& message) {
    EXPECT_EQ(message, "row 1 has 3 columns but previous rows have 4 columns");
  }
}

TEST(DataSubset, NegativeIndexFailsBeforeReading) {
  MemoryDataSet<double, int> set;
  std::istringstream in("1,2,3,yes\n");
  try {
    read_data_subset(set, in, "csv", description(three_features), {3, -1});
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "Negative subset indices are not allowed.");
  }
  EXPECT_EQ(set.get_num_instances(), 0u);
  EXPECT_EQ(in.tellg(), 0);
}

TEST(DataFile, MissingFileAndUnknownFormatAreErrors) {
  MemoryDataSet<double, int> set;
  try {
    read_data_set(set, std::string("/no/such/data.csv"), "csv", description(three_features));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "could not open data file: `/no/such/data.csv'");
  }
  EXPECT_EQ(read_error("1,2,3,yes\n", three_features, "xls"),
            "Exception: unknown data format: xls (valid formats are csv, text, txt)");
}

TEST(ConvertCstring, MatchesStrtodOnAwkwardNumbers) {
  for (const char* text : {"0.1", "1e-310", "4.9e-324", "1e400", "-0", "123456789012345678901234567890",
                           "0x1p-3", "1.7976931348623157e308", ".5e1", "5.", "-.25e-2"}) {
    const double expected = std::strtod(text, nullptr);
    const double got = convert_cstring_to_double(text, static_cast<int>(std::strlen(text)));
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << text;
  }
}

}  // namespace
}  // namespace Sylvor

namespace Sylvor {
namespace {

template <class F = double>
MemoryDataSet<F, int> read_noting(const std::string& data, const std::string& desc, ReadNotes& notes,
                                  std::optional<std::vector<int>> subset = std::nullopt) {
  MemoryDataSet<F, int> set;
  std::istringstream in(data);
  if (subset) {
    read_data_subset(set, in, "csv", description(desc), *subset, LevelCoding(), &notes);
  } else {
    read_data_set(set, in, "csv", description(desc), LevelCoding(), &notes);
  }
  return set;
}

struct HeaderCase {
  std::string name;
  std::optional<std::vector<int>> subset;  // rows numbered from the first after the header
  std::vector<std::vector<double>> rows;
};

class HeaderRow : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderRow, NamesTheColumnsAndIsNotARow) {
  ReadNotes notes;
  const auto set = read_noting("\nwidth,\"tall ness\",depth,class\n1,2,3,yes\n4,5,6,no\n",
                               std::string(three_features) + "header\n", notes, GetParam().subset);
  EXPECT_EQ(notes.header, (std::vector<std::string>{"width", "tall ness", "depth", "class"}));
  ASSERT_EQ(set.get_num_instances(), GetParam().rows.size());
  for (std::size_t i = 0; i < set.get_num_instances(); ++i) EXPECT_EQ(row_of(set, i), GetParam().rows[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HeaderRow,
    ::testing::Values(HeaderCase{"Every", std::nullopt, {{1, 2, 3}, {4, 5, 6}}},
                      HeaderCase{"SecondOnly", std::vector<int>{1}, {{4, 5, 6}}},
                      HeaderCase{"FirstOnly", std::vector<int>{0}, {{1, 2, 3}}}),
    [](const auto& info) { return info.param.name; });

TEST(HeaderRow, OfAnotherWidthThanTheRowsIsAnError) {
  ReadNotes notes;
  try {
    read_noting("a,b,c,d\n1,2,3,4,yes\n", std::string(three_features) + "header\n", notes);
    FAIL() << "read a row wider than the header";
  } catch (const std::string& message) {
    EXPECT_EQ(message, "row 0 has 5 columns but the header has 4 columns");
  } catch (const std::exception&) {
    FAIL();
  }
}

TEST(HeaderRow, OfAnotherShapeThanTheDescriptionIsNamed) {
  ReadNotes notes;
  try {
    read_noting("a,b,c,d,e\n1,2,3,4,yes\n", std::string(three_features) + "header\n", notes);
    FAIL() << "read a header of four feature columns for three features";
  } catch (const std::string& message) {
    EXPECT_EQ(message, "the header row has 4 feature columns (neither ignored nor the label) but the "
                       "description declares 3 features");
  } catch (const std::exception&) {
    FAIL();
  }
}

TEST(HeaderRow, WithoutTheCommandTheFirstRowIsData) {
  EXPECT_EQ(read_error("width,tall,depth,class\n1,2,3,yes\n", three_features),
            "row 0 col_no 0: could not convert 'width' to a double.");
}

const char* const unnamed_classes = "num-features 1\nclass-column 1\n";

struct CollectedCase {
  std::string name;
  std::string data;
  std::optional<std::vector<int>> subset;
  std::vector<std::string> class_names;
  std::vector<int> labels;
};

class CollectsClassNames : public ::testing::TestWithParam<CollectedCase> {};

TEST_P(CollectsClassNames, SortedAndNumberedFromZero) {
  const CollectedCase& c = GetParam();
  ReadNotes notes;
  const auto set = read_noting(c.data, unnamed_classes, notes, c.subset);
  EXPECT_EQ(notes.class_names, c.class_names);
  EXPECT_EQ(set.labels, c.labels);
  EXPECT_EQ(set.get_num_classes(), c.class_names.size());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CollectsClassNames,
    ::testing::Values(
        CollectedCase{"FirstMetIsNotFirstNumbered", "1,virginica\n2,setosa\n3,virginica\n4,versicolor\n",
                      std::nullopt, {"setosa", "versicolor", "virginica"}, {2, 0, 2, 1}},
        CollectedCase{"OnlyFromTheSelectedRows", "1,b\n2,c\n3,a\n", std::vector<int>{0, 2}, {"a", "b"}, {1, 0}},
        CollectedCase{"NamesThatLookLikeNumbers", "1,10\n2,9\n", std::nullopt, {"10", "9"}, {0, 1}}),
    [](const auto& info) { return info.param.name; });

TEST(CollectsClassNames, AMissingLabelIsAnError) {
  ReadNotes notes;
  try {
    read_noting("1,a\n2,?\n", unnamed_classes, notes);
    FAIL() << "read a missing label";
  } catch (const std::string& message) {
    EXPECT_EQ(message, "row 1: the label is missing ('?')");
  } catch (const std::exception&) {
    FAIL();
  }
}

TEST(CollectsClassNames, AppendingKeepsTheRowsReadBefore) {
  MemoryDataSet<double, int> set;
  set.set_num_features(1);
  const double kept = 7.0;
  set.add_instance(5, &kept, &kept + 1);
  std::istringstream in("1,b\n2,a\n");
  read_data_set(set, in, "csv", description(unnamed_classes));
  EXPECT_EQ(set.labels, (std::vector<int>{5, 1, 0}));
}

struct DecimalsCase {
  std::string name;
  std::string data;
  std::vector<std::string> warnings;
};

class IntegerFeatureDecimals : public ::testing::TestWithParam<DecimalsCase> {};

TEST_P(IntegerFeatureDecimals, AreReportedOncePerColumnAtTheFirstRow) {
  ReadNotes notes;
  std::istringstream in(GetParam().data);
  MemoryDataSet<int, int> set;
  read_data_set(set, in, "csv", description(three_features), LevelCoding(), &notes);
  EXPECT_EQ(notes.warnings, GetParam().warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IntegerFeatureDecimals,
    ::testing::Values(
        DecimalsCase{"WholeNumbersSayNothing", "1,2.0,-3,yes\n4,5e1,6,no\n", {}},
        DecimalsCase{"FirstOfEachColumn",
                     "1,2,3,yes\n4,5.5,-6.25,no\n7,8.9,9.5,no\n",
                     {"column 1 has decimals, which the feature type int drops: '5.5' in row 1 is read as 5 (the "
                      "first such value of the column; use --feature-type float or double to keep them)",
                      "column 2 has decimals, which the feature type int drops: '-6.25' in row 1 is read as -6 "
                      "(the first such value of the column; use --feature-type float or double to keep them)"}}),
    [](const auto& info) { return info.param.name; });

TEST(IntegerFeatureDecimals, FloatingTypesKeepThemAndSayNothing) {
  ReadNotes notes;
  const auto set = read_noting<float>("1,2.5,3,yes\n", three_features, notes);
  EXPECT_TRUE(notes.warnings.empty());
  EXPECT_EQ(set(0, 1), 2.5f);
}

}  // namespace
}  // namespace Sylvor
