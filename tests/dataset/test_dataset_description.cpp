#include "Sylvor/dataset/dataset_description.hpp"

#include <gtest/gtest.h>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {
namespace {

TEST(DataSetDescription, NewDescriptionHasTheDefaults) {
  const DataSetDescription d;
  EXPECT_EQ(d.get_labeling(), DiscreteZeroOnward);
  EXPECT_EQ(d.get_class_column(), -1);
  EXPECT_EQ(d.get_num_features(), 0);
  EXPECT_FALSE(d.is_number_labeling());
  EXPECT_EQ(d.get_num_classes(), 0);
}

TEST(LabelMap, LooksUpBothWays) {
  DataSetDescription d;
  d.add_label_pair("A", 0);
  d.add_label_pair("B", 1);
  EXPECT_EQ(d.get_num_classes(), 2);
  EXPECT_EQ(d.get_int_label("B"), 1);
  EXPECT_EQ(d.get_string_label(0), "A");
}

TEST(LabelMap, SamePairTwiceIsAcceptedButAnotherIdIsNot) {
  StringIntMap map;
  map.add_label("A", 0);
  map.add_label("A", 0);
  try {
    map.add_label("A", 1);
    FAIL() << "a string reused with another id was accepted";
  } catch (const NoSuchLabelException&) {
    FAIL() << "wrong exception class";
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "String label 'A' already used for different numeric id 0");
  }
  EXPECT_EQ(map.get_int_label("A"), 0);
  EXPECT_EQ(map.get_string_label(0), "A");
}

TEST(LabelMap, SecondStringForAnIdTakesOverTheIdsString) {
  DataSetDescription d;
  d.add_label_pair("A", 0);
  d.add_label_pair("Z", 0);
  EXPECT_EQ(d.get_string_label(0), "Z");
  EXPECT_EQ(d.get_int_label("A"), 0);
  EXPECT_EQ(d.get_int_label("Z"), 0);
  EXPECT_EQ(d.get_num_classes(), 1);
}

TEST(LabelMap, UnknownLabelsNameWhatWasAsked) {
  DataSetDescription d;
  d.add_label_pair("A", 0);
  try {
    d.get_int_label("B");
    FAIL();
  } catch (const NoSuchLabelException& e) {
    EXPECT_EQ(e.get_message(), "label unknown: B");
  }
  try {
    d.get_string_label(7);
    FAIL();
  } catch (const NoSuchLabelException& e) {
    EXPECT_EQ(e.get_message(), "label unknown: 7");
  }
}

TEST(DataSetDescription, RegressionHasOneClassWhateverTheMap) {
  DataSetDescription d;
  d.add_label_pair("A", 0);
  d.add_label_pair("B", 1);
  d.set_labeling(Regression);
  EXPECT_EQ(d.get_num_classes(), 1);
}

TEST(IgnoreFlags, IgnoreAfterCountIsKept) {
  DataSetDescription d;
  d.set_num_features(3);
  d.set_ignorable(5);
  EXPECT_EQ(d.num_ignore_flags(), 6u);
  EXPECT_EQ(d.get_ignored_columns(), std::vector<int>{5});
  EXPECT_TRUE(d.is_ignorable(5));
  EXPECT_FALSE(d.is_ignorable(6));
  EXPECT_FALSE(d.is_ignorable(100));
}

TEST(IgnoreFlags, IgnoreBeyondALaterCountIsLost) {
  DataSetDescription d;
  d.set_ignorable(5);
  d.set_num_features(3);
  EXPECT_EQ(d.num_ignore_flags(), 3u);
  EXPECT_TRUE(d.get_ignored_columns().empty());
  EXPECT_FALSE(d.is_ignorable(5));
}

TEST(IgnoreFlags, SmallColumnGrowsToTheFeatureCount) {
  DataSetDescription d;
  d.set_num_features(4);
  d.set_ignorable(1);
  EXPECT_EQ(d.num_ignore_flags(), 4u);
  EXPECT_EQ(d.get_ignored_columns(), std::vector<int>{1});
}

TEST(NominalFeatures, ValuesAndNamesAreKeptPerFeature) {
  DataSetDescription d;
  d.add_nominal_feature(2, "red", 0);
  d.add_nominal_feature(2, "blue", 1);
  d.set_feature_name(2, "colour");
  d.set_feature_name(2, "color");
  EXPECT_TRUE(d.is_nominal_feature(2));
  EXPECT_FALSE(d.is_nominal_feature(1));
  EXPECT_EQ(d.get_int_feature(2, "blue"), 1);
  EXPECT_EQ(d.get_string_feature(2, 0), "red");
  EXPECT_EQ(d.get_feature_name(2), "color");
  EXPECT_EQ(d.get_feature_name(1), "");
  EXPECT_THROW(d.get_int_feature(1, "red"), NoSuchLabelException);
}

TEST(IgnoreFlags, HugeColumnNumbersCostNoMemory) {
  DataSetDescription d;
  d.set_ignorable(2000000000);
  d.set_num_features(2147483647);
  d.set_ignorable(3);
  EXPECT_TRUE(d.is_ignorable(2000000000));
  EXPECT_TRUE(d.is_ignorable(3));
  EXPECT_FALSE(d.is_ignorable(4));
  EXPECT_EQ(d.num_ignore_flags(), 2147483647u);
}

}  // namespace
}  // namespace Sylvor
