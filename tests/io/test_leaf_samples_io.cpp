#include "Sylvor/io/leaf_samples_io.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {
namespace {

// A stump and a tree of three nodes, with leaf samples over five targets.
struct SmallForest {
  Forest<double> trees;
  LeafSamples samples;
  SmallForest() {
    Tree<double> stump;
    stump.add_node();
    Tree<double> split;
    split.add_node();
    split.add_children(0);
    split.feature[0] = 0;
    split.threshold[0] = 0.5;
    trees = {stump, split};
    samples.targets = {0.1, -1234567.89, 1.7000000000000002, 5e-324, 3};
    // Draws in target order: -1234567.89 (1), 5e-324 (3), 0.1 (0), 1.7.. (2), 3 (4).
    samples.trees = {TreeLeafSamples{{0, 6}, {1, 1, 3, 0, 2, 4}}, TreeLeafSamples{{0, 0, 2, 5}, {1, 0, 3, 2, 4}}};
  }
};

class LeafSamplesFile : public ::testing::Test {
protected:
  void SetUp() override {
    folder = ::testing::TempDir() + "sylvor_leaves_" + std::to_string(::getpid());
    ::mkdir(folder.c_str(), 0755);
    model = folder + "/model";
  }
  void TearDown() override {
    std::remove(leaf_samples_path(model).c_str());
    ::rmdir(folder.c_str());
  }
  std::string text_of(const LeafSamples& samples) const {
    std::ostringstream out;
    write_leaf_samples_text(out, samples, print);
    return out.str();
  }
  void write_companion(const std::string& text) const { std::ofstream(leaf_samples_path(model)) << text; }
  std::string folder, model;
  FileFingerprint print{0x0123456789abcdefULL, 77};
  SmallForest forest;
};

TEST_F(LeafSamplesFile, RoundTripKeepsTheRecordsAndEveryTargetExactly) {
  ASSERT_NO_THROW(check_leaf_samples(forest.samples, forest.trees));
  write_companion(text_of(forest.samples));
  EXPECT_EQ(read_model_leaf_samples(model, print, forest.trees), forest.samples);
}

struct Damage {
  const char* name;
  std::function<std::string(std::string)> change;
  const char* message;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

class DamagedLeafSamples : public LeafSamplesFile, public ::testing::WithParamInterface<Damage> {};

// Every damaged companion is refused with a message naming the file and
// what is wrong; none allocates what its counts claim.
TEST_P(DamagedLeafSamples, AreRefusedNamingTheFile) {
  write_companion(GetParam().change(text_of(forest.samples)));
  try {
    read_model_leaf_samples(model, print, forest.trees);
    ADD_FAILURE() << "accepted";
  } catch (const Exception& e) {
    EXPECT_NE(e.get_message().find("leaf samples file `" + leaf_samples_path(model) + "'"), std::string::npos)
        << e.get_message();
    EXPECT_NE(e.get_message().find(GetParam().message), std::string::npos) << e.get_message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedLeafSamples,
    ::testing::Values(
        Damage{"OtherModel", [](std::string t) { return replaced(t, "0123456789abcdef", "0123456789abcdee"); },
               "written for other contents"},
        Damage{"Truncated", [](std::string t) { return t.substr(0, t.size() - 12); }, "it ends before"},
        Damage{"WordsAfterTheEnd", [](std::string t) { return t + "tree\n"; }, "words after 'end'"},
        Damage{"TargetNotANumber", [](std::string t) { return replaced(t, "0.1", "zero"); }, "'zero' is not a finite"},
        Damage{"MoreTreesThanTheModel", [](std::string t) { return replaced(t, "trees 2", "trees 3"); },
               "holds 3 trees, the model 2"},
        Damage{"OtherNodeCount", [](std::string t) { return replaced(t, "tree 1 nodes 3", "tree 1 nodes 4"); },
               "tree 1 has 4 nodes, the model's 3"},
        Damage{"HugeDrawCount",
               [](std::string t) { return replaced(t, "tree 1 nodes 3 draws 5", "tree 1 nodes 3 draws 4000000000"); },
               "a draw must be a whole number up to 4294967295, not 'end'"},
        Damage{"CountBeyond32Bits", [](std::string t) { return replaced(t, "targets 5", "targets 5000000000"); },
               "must be a whole number up to"},
        Damage{"DrawWithoutTarget", [](std::string t) { return replaced(t, "1 0 3 2 4", "1 0 3 2 9"); },
               "instance 9 has no target"},
        Damage{"NoFingerprint", [](std::string t) { return t.substr(t.find("targets")); },
               "expected 'model-fingerprint'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LeafSamplesFile, AMissingCompanionSaysHowToMakeIt) {
  try {
    read_model_leaf_samples(model, print, forest.trees);
    ADD_FAILURE() << "accepted";
  } catch (const Exception& e) {
    EXPECT_NE(e.get_message().find("learn it with --keep-leaf-samples"), std::string::npos) << e.get_message();
  }
}

}  // namespace
}  // namespace Sylvor
