#include <gtest/gtest.h>

#include <sstream>

#include "Sylvor/io/dataset_io.hpp"

namespace Sylvor {
namespace {

DataSetDescription parse(const std::string& text) {
  std::istringstream in(text);
  return SylvorDescriptionReader().read(in);
}

TEST(DescriptionReader, FullExample) {
  const auto d = parse(
      "# pets\n"
      "num-features 4\n"
      "ignore 0\n"
      "class-column 5\n"
      "label 0 cat   # the first class\n"
      "\tlabel  1\tdog\r\n"
      "feature-name 2 weight\n"
      "feature 3 0 red\n");
  EXPECT_EQ(d.get_num_features(), 4);
  EXPECT_TRUE(d.is_ignorable(0));
  EXPECT_FALSE(d.is_ignorable(1));
  EXPECT_EQ(d.get_class_column(), 5);
  EXPECT_EQ(d.get_int_label("cat"), 0);
  EXPECT_EQ(d.get_int_label("dog"), 1);
  EXPECT_EQ(d.get_num_classes(), 2);
  EXPECT_EQ(d.get_feature_name(2), "weight");
  EXPECT_EQ(d.get_int_feature(3, "red"), 0);
  EXPECT_EQ(d.get_labeling(), DiscreteZeroOnward);
  EXPECT_FALSE(d.is_number_labeling());
}

TEST(DescriptionReader, CommentsAndBlankLinesGiveTheDefaults) {
  for (const char* text : {"", "# only a comment\n\n   \n\t# another\n"}) {
    const auto d = parse(text);
    EXPECT_EQ(d.get_class_column(), -1);
    EXPECT_EQ(d.get_num_features(), 0);
    EXPECT_EQ(d.get_num_classes(), 0);
  }
}

struct LabelTypeCase {
  std::string text;
  LabelingType type;
  bool number_labeling;
};

class LabelTypes : public ::testing::TestWithParam<LabelTypeCase> {};

TEST_P(LabelTypes, SetTheKindAndNumberLabeling) {
  const auto d = parse(GetParam().text);
  EXPECT_EQ(d.get_labeling(), GetParam().type);
  EXPECT_EQ(d.is_number_labeling(), GetParam().number_labeling);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LabelTypes,
    ::testing::Values(LabelTypeCase{"label-type plus-one-minus-one\n", PlusOneMinusOne, false},
                      LabelTypeCase{"label-type discrete-nonnegative\n", DiscreteZeroOnward, false},
                      LabelTypeCase{"label-type regression\n", Regression, true},
                      // nothing clears number labeling
                      LabelTypeCase{"label-type regression\nlabel-type discrete-zero-onward\n",
                                    DiscreteZeroOnward, true},
                      LabelTypeCase{"number-labels\n", DiscreteZeroOnward, true}));

TEST(DescriptionReader, NumberLabelsWithoutLabelLinesHaveNoClasses) {
  EXPECT_EQ(parse("number-labels\nclass-column 0\n").get_num_classes(), 0);
}

TEST(DescriptionReader, OrderOfIgnoreAndNumFeaturesMatters) {
  const auto kept = parse("num-features 4\nignore 6\n");
  EXPECT_EQ(kept.num_ignore_flags(), 7u);
  EXPECT_TRUE(kept.is_ignorable(6));
  const auto lost = parse("ignore 6\nnum-features 4\n");
  EXPECT_EQ(lost.num_ignore_flags(), 4u);
  EXPECT_FALSE(lost.is_ignorable(6));
}

TEST(DescriptionReader, LaterCommandsOverrideEarlierOnes) {
  const auto d = parse("class-column 3\nnum-features 2\nclass-column 1\nnum-features 5\n");
  EXPECT_EQ(d.get_class_column(), 1);
  EXPECT_EQ(d.get_num_features(), 5);
}

struct DescriptionError {
  std::string text;
  int line;
  std::string message;
};

class DescriptionErrors : public ::testing::TestWithParam<DescriptionError> {};

TEST_P(DescriptionErrors, NameTheLineAndTheFault) {
  try {
    parse(GetParam().text);
    FAIL() << "accepted: " << GetParam().text;
  } catch (const DataIOException& e) {
    EXPECT_EQ(e.get_line_no(), GetParam().line);
    EXPECT_EQ(e.get_message(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DescriptionErrors,
    ::testing::Values(
        DescriptionError{"# a\n# b\nlabels 0 cat\n", 3, "invalid command: labels"},
        DescriptionError{"Label 0 cat\n", 1, "invalid command: Label"},
        DescriptionError{"\n\nlabel 0\n", 3, "label: 1 arguments given but 2 required."},
        DescriptionError{"number-labels yes\n", 1,
                         "number-labels: 1 arguments given but 0 required."},
        DescriptionError{"feature 1 2\n", 1, "feature: 2 arguments given but 3 required."},
        DescriptionError{"label cat 0\n", 1, "error parsing int from 'cat'"},
        DescriptionError{"class-column -1\n", 1, "error parsing int from '-1'"},
        DescriptionError{"num-features +4\n", 1, "error parsing int from '+4'"},
        DescriptionError{"ignore 1x\n", 1, "error parsing int from '1x'"},
        DescriptionError{"num-features 2147483648\n", 1,
                         "error parsing int from '2147483648'"},
        DescriptionError{"ignore 99999999999999999999\n", 1,
                         "error parsing int from '99999999999999999999'"},
        DescriptionError{"feature x 1 red\n", 1, "error parsing int from 'x'"},
        DescriptionError{"feature 1 y red\n", 1, "error parsing int from 'y'"},
        DescriptionError{"num-features 1\nlabel-type binary\n", 2, "invalid label type: binary"},
        DescriptionError{"label 0 setosa\nlabel 1 versicolor\nlabel 1 virginica\n", 3,
                         "class 1 is named both 'versicolor' and 'virginica': each class number has one name"},
        DescriptionError{"label - neg\n", 1, "error parsing int from '-'"},
        DescriptionError{"label -x neg\n", 1, "error parsing int from 'x'"},
        // An endless line (a binary file, a device) stops at the bound.
        DescriptionError{"num-features 1\nlabel 0 " + std::string(70000, 'a') + "\n", 2,
                         "the line is longer than 65536 characters"}));

TEST(DescriptionReader, ClassNumbersMayBeSignedAndRepeatedWithTheSameName) {
  const auto d = parse("label-type plus-one-minus-one\nlabel -1 neg\nlabel +1 pos\nlabel 1 pos\n");
  EXPECT_EQ(d.get_int_label("neg"), -1);
  EXPECT_EQ(d.get_int_label("pos"), 1);
  EXPECT_EQ(d.get_num_classes(), 2);
  EXPECT_EQ(parse("label-type plus-one-minus-one\nnumber-labels\n").get_num_classes(), 2);
}

struct ClassNumbering {
  std::string name;
  std::string text;
  std::string message;  // empty: accepted
};

class ClassNumbers : public ::testing::TestWithParam<ClassNumbering> {};

TEST_P(ClassNumbers, FollowTheLabelType) {
  const DataSetDescription desc = parse(GetParam().text);
  try {
    check_class_numbers(desc);
    EXPECT_EQ(GetParam().message, "");
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, ClassNumbers,
    ::testing::Values(
        ClassNumbering{"FromZero", "label 2 c\nlabel 0 a\nlabel 1 b\n", ""},
        ClassNumbering{"NoLabels", "num-features 3\n", ""},
        ClassNumbering{"FromOne", "label 1 setosa\nlabel 2 versicolor\nlabel 3 virginica\n",
                       "the description numbers its classes 1, 2, 3, but classes are numbered from 0 without "
                       "gaps: 0, 1, ..., 2 ('label 0 NAME', 'label 1 NAME', ...)"},
        ClassNumbering{"WithAGap", "label 0 a\nlabel 2 c\n",
                       "the description numbers its classes 0, 2, but classes are numbered from 0 without gaps: "
                       "0, 1, ..., 1 ('label 0 NAME', 'label 1 NAME', ...)"},
        ClassNumbering{"MinusOneWithoutItsLabelType", "label -1 neg\nlabel 1 pos\n",
                       "the description numbers its classes -1, 1, but classes are numbered from 0 without gaps: "
                       "0, 1, ..., 1 ('label 0 NAME', 'label 1 NAME', ...)"},
        ClassNumbering{"PlusMinusOne", "label-type plus-one-minus-one\nlabel -1 neg\nlabel 1 pos\n", ""},
        ClassNumbering{"PlusMinusOneNamedZeroAndOne", "label-type plus-one-minus-one\nlabel 0 neg\nlabel 1 pos\n",
                       "the description numbers its classes 0, 1, but plus-one-minus-one labels have the classes "
                       "-1 and +1 only"},
        ClassNumbering{"RegressionIgnoresLabels", "label-type regression\nlabel 5 x\n", ""}),
    [](const ::testing::TestParamInfo<ClassNumbering>& info) { return info.param.name; });

TEST(DescriptionReader, LargestIntIsAccepted) {
  EXPECT_EQ(parse("num-features 2147483647\n").get_num_features(), 2147483647);
}

TEST(DescriptionReader, ReusedLabelStringFailsWithoutALineNumber) {
  try {
    parse("label 0 cat\nlabel 1 cat\n");
    FAIL();
  } catch (const DataIOException&) {
    FAIL() << "carries a line number";
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "String label 'cat' already used for different numeric id 0");
  }
}

TEST(DescriptionFile, EmptyNameGivesTheDefaultDescription) {
  EXPECT_EQ(read_sylvor_description("").get_class_column(), -1);
}

TEST(DescriptionFile, MissingFileIsAnError) {
  try {
    read_sylvor_description("/no/such/description.bdf");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "could not open description file: `/no/such/description.bdf'");
  }
}

}  // namespace
}  // namespace Sylvor

namespace Sylvor {
namespace {

class WrittenDescriptions : public ::testing::TestWithParam<std::string> {};

TEST_P(WrittenDescriptions, ReadBackAsTheyWereRead) {
  const DataSetDescription first = parse(GetParam());
  std::ostringstream written;
  write_sylvor_description(written, first);
  const DataSetDescription again = parse(written.str());
  EXPECT_EQ(again.get_labeling(), first.get_labeling());
  EXPECT_EQ(again.is_number_labeling(), first.is_number_labeling());
  EXPECT_EQ(again.has_header(), first.has_header());
  EXPECT_EQ(again.get_num_features(), first.get_num_features());
  EXPECT_EQ(again.get_class_column(), first.get_class_column());
  EXPECT_EQ(again.get_ignored_columns(), first.get_ignored_columns());
  EXPECT_EQ(again.get_categorical_columns(), first.get_categorical_columns());
  EXPECT_EQ(again.get_label_map().get_pairs(), first.get_label_map().get_pairs());
  for (int f = 0; f < first.get_num_features(); ++f) EXPECT_EQ(again.get_feature_name(f), first.get_feature_name(f));
  EXPECT_NO_THROW(check_class_numbers(again));
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, WrittenDescriptions,
    ::testing::Values("",
                      "num-features 4\nclass-column 4\nlabel 0 setosa\nlabel 1 versicolor\nfeature-name 3 width\n",
                      "header\nnum-features 3\nignore 0\nclass-column 5\ncategorical 2\nlabel 0 no\nlabel 1 yes\n",
                      "label-type plus-one-minus-one\nnum-features 1\nclass-column 0\nlabel -1 neg\nlabel 1 pos\n",
                      "label-type regression\nnum-features 2\nclass-column 2\nignore 7\n",
                      "number-labels\nnum-features 2\nclass-column 0\nlabel 0 a\nlabel 1 b\n"));

struct LabelsFromDataCase {
  std::string text;
  std::string refusal;  // empty: accepted
};

class LabelsFromData : public ::testing::TestWithParam<LabelsFromDataCase> {};

TEST_P(LabelsFromData, NeedsAColumnOfUnnamedClassNames) {
  const DataSetDescription desc = parse(GetParam().text);
  if (GetParam().refusal.empty()) {
    EXPECT_NO_THROW(check_class_numbers(desc));
    EXPECT_TRUE(desc.collects_labels());
    return;
  }
  try {
    check_class_numbers(desc);
    FAIL() << "accepted: " << GetParam().text;
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "labels-from-data takes the class names from a column of class names, but the "
                               "description " + GetParam().refusal);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, LabelsFromData,
    ::testing::Values(LabelsFromDataCase{"labels-from-data\nnum-features 1\nclass-column 1\n", ""},
                      LabelsFromDataCase{"labels-from-data\nclass-column 1\nlabel 0 a\n",
                                         "names its classes with label lines"},
                      LabelsFromDataCase{"labels-from-data\nnum-features 1\n", "gives no class-column"},
                      LabelsFromDataCase{"labels-from-data\nclass-column 1\nnumber-labels\n",
                                         "makes the labels numbers"},
                      LabelsFromDataCase{"label-type regression\nlabels-from-data\nclass-column 1\n",
                                         "makes the labels numbers"}));

TEST(LabelsFromData, AreCollectedWithoutTheCommandWhenNoClassIsNamed) {
  EXPECT_TRUE(parse("num-features 1\nclass-column 1\n").collects_labels());
  EXPECT_FALSE(parse("num-features 1\nclass-column 1\nlabel 0 a\n").collects_labels());
  EXPECT_FALSE(parse("num-features 1\n").collects_labels());
  EXPECT_FALSE(parse("label-type plus-one-minus-one\nclass-column 1\n").collects_labels());
}

}  // namespace
}  // namespace Sylvor
