#include "Sylvor/io/model_file.hpp"

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace Sylvor {
namespace {

Forest<int> one_leaf_forest(int label) {
  Tree<int> tree;
  tree.add_node();
  tree.value[0] = label;
  return {tree};
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ModelWithMedians : public ::testing::Test {
protected:
  void SetUp() override {
    folder = ::testing::TempDir() + "sylvor_model_file_" + std::to_string(::getpid());
    ::mkdir(folder.c_str(), 0755);
    model = folder + "/model";
  }
  void TearDown() override {
    std::remove(medians_path(model).c_str());
    std::remove(model.c_str());
    ::rmdir(folder.c_str());
  }
  // Every entry of the folder (temporary files start with a dot).
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    DIR* listing = ::opendir(folder.c_str());
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(listing);
    return names;
  }
  std::string folder, model;
};

class BothFormats : public ModelWithMedians, public ::testing::WithParamInterface<std::string> {};

// The fingerprint a companion records is that of the bytes written, which
// are the model file's bytes.
TEST_P(BothFormats, TheCompanionRecordsTheBytesWritten) {
  const std::vector<double> medians{0.5, 1e-300};
  const FileFingerprint print = write_model_file(model, one_leaf_forest(2), GetParam(), &medians);
  EXPECT_EQ(print, fingerprint_of_file(model));
  const ModelMedians read = read_model_medians(model, 2);
  EXPECT_EQ(read.state, MediansState::Recorded);
  EXPECT_EQ(read.values, medians);
}

INSTANTIATE_TEST_SUITE_P(Formats, BothFormats, ::testing::Values("lisp", "vectortxt"));

// A write that never commits leaves the earlier pair whole and no
// temporary file; one that commits after another write made its pair puts
// its own pair in place.
TEST_F(ModelWithMedians, EachCommitPutsItsOwnPairInPlace) {
  const std::vector<double> first{1.0}, second{2.0};
  write_model_file(model, one_leaf_forest(0), "vectortxt", &first);
  const std::string model_text = slurp(model), medians_text = slurp(medians_path(model));
  {
    StagedModel abandoned(model, one_leaf_forest(1), "vectortxt", &second);
  }
  EXPECT_EQ(slurp(model), model_text);
  EXPECT_EQ(slurp(medians_path(model)), medians_text);
  EXPECT_EQ(entries().size(), 2u);

  StagedModel slow(model, one_leaf_forest(1), "lisp", &second);
  write_model_file(model, one_leaf_forest(0), "vectortxt", &first);  // another writer, done meanwhile
  slow.commit();
  EXPECT_EQ(read_model_medians(model).values, second);
  Forest<int> back;
  read_forest(model, back);
  EXPECT_EQ(back[0].value[0], 1);
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(ModelWithMedians, ADeviceGetsNoCompanion) {
  const std::vector<double> medians{1.0};
  write_model_file("/dev/null", one_leaf_forest(0), "vectortxt", &medians);
  struct stat info;
  EXPECT_NE(::stat("/dev/null.medians", &info), 0);
}

}  // namespace
}  // namespace Sylvor
