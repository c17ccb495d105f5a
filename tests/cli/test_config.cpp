#include "cli/config.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace po = boost::program_options;

namespace Sylvor {
namespace {

RandomForestOptions parse(const std::string& command, std::vector<std::string> args) {
  po::options_description description("Flags", 80, 40);
  RandomForestOptions::register_options(description, command);
  args.insert(args.begin(), command);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  po::variables_map vm;
  EXPECT_FALSE(parse_options(vm, description, static_cast<int>(argv.size()), argv.data()));
  RandomForestOptions options;
  options.populate_from_options(vm);
  return options;
}

TEST(Options, DefaultsOfALearnCommand) {
  const RandomForestOptions o = parse("learn-classify", {});
  EXPECT_EQ(o.num_trees, 30);
  EXPECT_EQ(o.min_instances_per_node, 1);
  EXPECT_EQ(o.max_leaf_nodes, 0);
  EXPECT_EQ(o.fte_per_split, 0);
  EXPECT_EQ(o.max_depth, 0);
  EXPECT_EQ(o.model_format, "vectortxt");
  EXPECT_EQ(o.feature_type, "float");
  EXPECT_EQ(o.criteria, "gainratio");
  EXPECT_FALSE(o.print_string_labels);
  EXPECT_EQ(o.num_threads, 0);
  EXPECT_EQ(o.seed, 0);
  EXPECT_TRUE(o.in_file.empty() && o.desc_file.empty() && o.rng_file.empty() &&
              o.log_file.empty() && o.model_file.empty() && o.predictions_file.empty() &&
              o.selection_file.empty() && o.feature_importances_file.empty() &&
              o.conf_matrix_file.empty());
}

class MinInstancesDefault
    : public ::testing::TestWithParam<std::pair<std::string, int>> {};

TEST_P(MinInstancesDefault, DependsOnlyOnTheCommandWord) {
  EXPECT_EQ(parse(GetParam().first, {}).min_instances_per_node, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Commands, MinInstancesDefault,
                         ::testing::Values(std::make_pair("learn-regress", 5),
                                           std::make_pair("learn-classify", 1),
                                           std::make_pair("test-regress", 1),
                                           std::make_pair("frobnicate", 1)));

TEST(Options, EveryOptionReachesItsField) {
  const RandomForestOptions o = parse(
      "learn",
      {"--num-trees", "7", "--min-instances-per-node=3", "--max-leaf-nodes", "9",
       "--fte-per-split", "4", "--max-depth", "6", "--in-file", "in.csv", "--desc-file",
       "d.bdf", "--rng-file", "r.bin", "--model-file", "m.txt", "--log-file", "l.txt",
       "--model-format", "lisp", "--predictions-file", "p.txt", "--feature-importances-file",
       "f.txt", "--selection-file", "s.txt", "--print-string-labels", "yes",
       "--conf-matrix-file", "c.txt", "--feature-type", "uchar", "--criteria", "gini",
       "--nthreads", "3", "--seed", "-12"});
  EXPECT_EQ(o.num_trees, 7);
  EXPECT_EQ(o.min_instances_per_node, 3);
  EXPECT_EQ(o.max_leaf_nodes, 9);
  EXPECT_EQ(o.fte_per_split, 4);
  EXPECT_EQ(o.max_depth, 6);
  EXPECT_EQ(o.in_file, "in.csv");
  EXPECT_EQ(o.desc_file, "d.bdf");
  EXPECT_EQ(o.rng_file, "r.bin");
  EXPECT_EQ(o.model_file, "m.txt");
  EXPECT_EQ(o.log_file, "l.txt");
  EXPECT_EQ(o.model_format, "lisp");
  EXPECT_EQ(o.predictions_file, "p.txt");
  EXPECT_EQ(o.feature_importances_file, "f.txt");
  EXPECT_EQ(o.selection_file, "s.txt");
  EXPECT_TRUE(o.print_string_labels);
  EXPECT_EQ(o.conf_matrix_file, "c.txt");
  EXPECT_EQ(o.feature_type, "uchar");
  EXPECT_EQ(o.criteria, "gini");
  EXPECT_EQ(o.num_threads, 3);
  EXPECT_EQ(o.seed, -12);
}

TEST(Options, UniquePrefixIsAccepted) {
  EXPECT_EQ(parse("learn", {"--num-t", "12"}).num_trees, 12);
}

TEST(Usage, GeneralText) {
  std::ostringstream out;
  usage(out);
  std::istringstream lines(out.str());
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 9u);
  EXPECT_EQ(got[0], "Sylvor Version 1.1");
  EXPECT_FALSE(got[1].empty());
  EXPECT_EQ(got[2], "");
  EXPECT_EQ(got[3], "Commands:");
  EXPECT_EQ(got[4], "   sylvor learn-classify [options or --help]");
  EXPECT_EQ(got[5], "   sylvor learn-regress [options or --help]");
  EXPECT_EQ(got[6], "   sylvor test-classify [options or --help]");
  EXPECT_EQ(got[7], "   sylvor test-regress [options or --help]");
  EXPECT_EQ(got[8], "");
}

}  // namespace
}  // namespace Sylvor
