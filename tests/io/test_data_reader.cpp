#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <sstream>

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

TEST(DataReader, InfinitiesAndLongColumns) {
  const std::string zeros254 = std::string(253, '0') + "1";
  const auto set = read("inf,-Infinity," + zeros254 + ",no\n", three_features);
  EXPECT_EQ(set(0, 0), HUGE_VAL);
  EXPECT_EQ(set(0, 1), -HUGE_VAL);
  EXPECT_EQ(set(0, 2), 1);
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

TEST(DataReader, NumberLabelsAreTruncatedForClasses) {
  const auto set = read("1,2,3,2.7\n1,2,3,-1\n1,2,3,?\n1,2,3,-0.5\n",
                        "num-features 3\nclass-column 3\nnumber-labels\n");
  EXPECT_EQ(set.labels, (std::vector<int>{2, -1, 0, 0}));
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
        ErrorCase{"ColumnTooLong", std::string(255, '1') + ",2,3,yes\n", "column has too many characters - cannot convert"},
        ErrorCase{"UnknownLabel", "1,2,3,maybe\n", "Exception: label unknown: maybe"},
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
        TypedErrorCase{"IntNotANumber", "nan,2,3,yes\n", "row 0 col_no 0: value 'nan' is out of range for the feature type int"},
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

TEST(DataReader, NumberLabelErrorsNameTheRowAndText) {
  EXPECT_EQ(read_error("1,2,3,1\n1,2,3,yes\n", number_labels),
            "row 1: could not convert label 'yes' to a number.");
  EXPECT_EQ(read_error("1,2,3,1e10\n", number_labels),
            "row 0: label '1e10' is out of range for a class number");
  EXPECT_EQ(read_error("1,2,3," + std::string(255, '1') + "\n", number_labels),
            "column has too many characters - cannot convert");
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
                      SubsetCase{"DuplicateStopsTheMatching", {2, 0, 2}, {0, 2}},
                      SubsetCase{"IndexBeyondTheFile", {0, 5}, {0}},
                      SubsetCase{"Empty", {}, {}},
                      SubsetCase{"All", {0, 1, 2, 3}, {0, 1, 2, 3}}),
    [](const ::testing::TestParamInfo<SubsetCase>& info) { return info.param.name; });

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
