#include "Sylvor/io/medians_io.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {
namespace {

class MediansFile : public ::testing::Test {
protected:
  void SetUp() override {
    folder = ::testing::TempDir() + "sylvor_medians_" + std::to_string(::getpid());
    ::mkdir(folder.c_str(), 0755);
    model = folder + "/model";
    std::ofstream(model) << "vtxt 1 1 \n-1\n-1\n-1\nnan\n0\n";
  }
  void TearDown() override {
    std::remove(medians_path(model).c_str());
    std::remove(model.c_str());
    ::rmdir(folder.c_str());
  }
  void write_companion(const std::string& text) const { std::ofstream(medians_path(model)) << text; }
  std::string folder, model;
};

TEST_F(MediansFile, RoundTripKeepsEveryDoubleExactly) {
  const std::vector<double> medians{0.1, -1234567.89, 1.7000000000000002, 0, 5e-324, 3};
  write_model_medians(model, medians, fingerprint_of_file(model));
  const ModelMedians read = read_model_medians(model);
  EXPECT_EQ(read.state, MediansState::Recorded);
  EXPECT_EQ(read.values, medians);
}

// The companion of this very model must hold one median per feature; a
// stale one is not the model's, whatever it holds.
TEST_F(MediansFile, ARecordedCompanionHoldsOneMedianPerFeature) {
  write_model_medians(model, {1.0, 2.0}, fingerprint_of_file(model));
  EXPECT_EQ(read_model_medians(model, 2).values, (std::vector<double>{1.0, 2.0}));
  try {
    read_model_medians(model, 3);
    FAIL() << "read";
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "medians file `" + medians_path(model) + "', line 4: 2 medians for 3 features");
  }
  write_model_medians(model, {1.0, 2.0}, fingerprint_of_bytes("other model bytes"));
  EXPECT_EQ(read_model_medians(model, 3).state, MediansState::Stale);
}

TEST_F(MediansFile, NoCompanionIsAbsent) {
  EXPECT_EQ(read_model_medians(model).state, MediansState::Absent);
}

TEST_F(MediansFile, ACompanionOfOtherModelContentsIsStale) {
  write_model_medians(model, {1.0}, fingerprint_of_file(model));
  std::ofstream(model) << "vtxt 1 1 \n-1\n-1\n-1\nnan\n1\n";  // same size, other contents
  const ModelMedians read = read_model_medians(model);
  EXPECT_EQ(read.state, MediansState::Stale);
  EXPECT_TRUE(read.values.empty());
}

TEST_F(MediansFile, AModelThatIsNoRegularFileGetsNoCompanion) {
  EXPECT_FALSE(model_gets_companions("/dev/null"));
  EXPECT_TRUE(model_gets_companions(model));
  EXPECT_TRUE(model_gets_companions(folder + "/not-yet-written"));
}

struct BadCompanion {
  std::string name;
  std::string text;
  std::string message;  // after "medians file `PATH'"
};

class MalformedCompanion : public MediansFile, public ::testing::WithParamInterface<BadCompanion> {};

TEST_P(MalformedCompanion, IsAnErrorNamingTheFileAndLine) {
  write_companion(GetParam().text);
  try {
    read_model_medians(model);
    FAIL() << "read";
  } catch (const Exception& e) {
    EXPECT_EQ(e.get_message(), "medians file `" + medians_path(model) + "'" + GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedCompanion,
    ::testing::Values(
        BadCompanion{"NoMedians", "model-fingerprint fnv1a64 0123456789abcdef 12\n", " lacks its 'medians' line"},
        BadCompanion{"NoFingerprint", "# c\nmedians 1 2\n", " lacks its 'model-fingerprint' line"},
        BadCompanion{"NotANumber", "model-fingerprint fnv1a64 0123456789abcdef 12\nmedians 1 x\n",
                     ", line 2: 'x' is not a finite number"},
        BadCompanion{"NaN", "model-fingerprint fnv1a64 0123456789abcdef 12\nmedians nan\n",
                     ", line 2: 'nan' is not a finite number"},
        BadCompanion{"ShortHash", "model-fingerprint fnv1a64 12ab 12\nmedians 1\n",
                     ", line 1: the hash must be 16 hexadecimal digits"},
        BadCompanion{"OtherHash", "model-fingerprint md5 0123456789abcdef 12\nmedians 1\n",
                     ", line 1: expected 'model-fingerprint fnv1a64 HASH SIZE'"},
        BadCompanion{"NegativeSize", "model-fingerprint fnv1a64 0123456789abcdef -3\nmedians 1\n",
                     ", line 1: the size must be a whole number"},
        BadCompanion{"UnknownWord", "\nmeans 1\n", ", line 2: unknown word 'means'"},
        BadCompanion{"NoValues", "model-fingerprint fnv1a64 0123456789abcdef 12\nmedians\n",
                     ", line 2: the 'medians' line holds no values"},
        BadCompanion{"TwoMediansLines", "model-fingerprint fnv1a64 0123456789abcdef 12\nmedians 1\nmedians 2\n",
                     ", line 3: a second 'medians' line"},
        BadCompanion{"EndlessLine", "model-fingerprint fnv1a64 0123456789abcdef 12\nmedians " +
                                        std::string(max_medians_line, '1'),
                     ", line 2: the line is longer than 33554432 characters"}),
    [](const ::testing::TestParamInfo<BadCompanion>& info) { return info.param.name; });

}  // namespace
}  // namespace Sylvor
