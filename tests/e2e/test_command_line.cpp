// The command line of the program: usage texts, option errors, the thread
// override line, command and feature-type dispatch, and the error lines and
// exit statuses of the top-level handler.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "e2e/run_program.hpp"

namespace SylvorTest {
namespace {

const char* const general_usage_tail =
    "\n"
    "Commands:\n"
    "   sylvor learn-classify [options or --help]\n"
    "   sylvor learn-regress [options or --help]\n"
    "   sylvor test-classify [options or --help]\n"
    "   sylvor test-regress [options or --help]\n"
    "\n";

void expect_general_usage(const std::string& text) {
  const auto lines = lines_of(text);
  ASSERT_EQ(lines.size(), 9u) << text;
  EXPECT_EQ(lines[0], "Sylvor Version 1.1");
  EXPECT_FALSE(lines[1].empty());
  const std::string after_notice = text.substr(text.find('\n', text.find('\n') + 1) + 1);
  EXPECT_EQ(after_notice, general_usage_tail);
}

void expect_command_usage(const std::string& text, const std::string& command,
                          int min_instances_default) {
  const auto lines = lines_of(text);
  ASSERT_GT(lines.size(), 8u) << text;
  EXPECT_EQ(lines[0], "Sylvor Version 1.1");
  EXPECT_EQ(lines[3], "Commands:");
  EXPECT_EQ(lines[4], "   sylvor " + command + " [options]");
  EXPECT_EQ(lines[5], "Flags:");
  EXPECT_EQ(lines[6].rfind("  --help", 0), 0u);
  EXPECT_EQ(lines.back(), "");
  // Every option appears, in declaration order, with its default.
  const std::vector<std::string> entries{
      "--num-trees arg (=30)",
      "--min-instances-per-node arg (=" + std::to_string(min_instances_default) + ")",
      "--max-leaf-nodes arg (=0)", "--fte-per-split arg (=0)", "--max-depth arg (=0)",
      "--in-file arg", "--desc-file arg", "--rng-file arg", "--model-file arg",
      "--log-file arg", "--model-format arg (=vectortxt)", "--predictions-file arg",
      "--feature-importances-file arg", "--selection-file arg",
      "--print-string-labels arg (=0)", "--conf-matrix-file arg",
      "--feature-type arg (=float)",
      command == "learn-regress" ? "--criteria arg (=variance)" : "--criteria arg (=gainratio)",
      "--nthreads arg (=0)",
      "--seed arg (=0)"};
  std::string::size_type at = 0;
  for (const auto& entry : entries) {
    const auto found = text.find("  " + entry, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << entry;
    at = found;
  }
  // The options added since come after all of the original ones.
  for (const char* later : {"--min-leaf-size", "--oob ", "--permutation-importances-file", "--seeding",
                            "--oob-curve-file", "--quiet"}) {
    EXPECT_GT(text.find(std::string("  ") + later), at) << later;
  }
  EXPECT_NE(text.find("Number of trees in forest to grow"), std::string::npos);
}

TEST(CommandLine, NoCommandPrintsGeneralUsageOnStandardError) {
  const auto r = run_sylvor({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  expect_general_usage(r.err);
}

TEST(CommandLine, HelpAsCommandPrintsGeneralUsage) {
  for (const auto& args : {std::vector<std::string>{"--help"},
                           std::vector<std::string>{"--help", "--bogus", "x"}}) {
    const auto r = run_sylvor(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    expect_general_usage(r.out);
  }
}

class CommandHelp : public ::testing::TestWithParam<std::pair<std::string, int>> {};

TEST_P(CommandHelp, ListsOptionsWithTheCommandsDefaults) {
  const auto& [command, min_instances] = GetParam();
  const auto r = run_sylvor({command, "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_command_usage(r.out, command, min_instances);
}

TEST(CommandHelp, InfoListsOnlyItsOwnOptions) {
  const auto r = run_sylvor({"info", "--help"});
  EXPECT_EQ(r.status, 0);
  const auto lines = lines_of(r.out);
  ASSERT_GT(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[4], "   sylvor info [options]");
  std::vector<std::string> listed;
  for (const std::string& line : lines) {
    if (line.rfind("  --", 0) == 0) listed.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"--help", "--model-file", "--desc-file", "--max-depth", "--tree",
                                              "--dot", "--out"}));
  // An unknown option shows the same short listing.
  const auto unknown = run_sylvor({"info", "--bogus"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err.find("--num-trees"), std::string::npos) << unknown.err;
  EXPECT_NE(unknown.err.find("  --dot"), std::string::npos) << unknown.err;
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandHelp,
                         ::testing::Values(std::make_pair("learn-classify", 1),
                                           std::make_pair("learn-regress", 5),
                                           std::make_pair("test-classify", 1),
                                           std::make_pair("test-regress", 1)));

TEST(CommandLine, UnknownOptionIsNamedBeforeTheCommandUsage) {
  const auto r = run_sylvor({"learn-classify", "--numtrees", "5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const std::string first_line = "sylvor learn-classify error: unknown option --numtrees\n";
  ASSERT_EQ(r.err.rfind(first_line, 0), 0u) << r.err;
  expect_command_usage(r.err.substr(first_line.size()), "learn-classify", 1);
}

struct OptionError {
  std::vector<std::string> args;
  std::string message;  // after "sylvor learn-classify error: "
};

class BadOptionValue : public ::testing::TestWithParam<OptionError> {};

TEST_P(BadOptionValue, EndsWithOneErrorLineAndStatusOne) {
  std::vector<std::string> args{"learn-classify"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  const auto r = run_sylvor(args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sylvor learn-classify error: " + GetParam().message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadOptionValue,
    ::testing::Values(
        OptionError{{"--num-trees", "abc"},
                    "the argument ('abc') for option '--num-trees' is invalid"},
        OptionError{{"--seed", "99999999999"},
                    "the argument ('99999999999') for option '--seed' is invalid"},
        OptionError{{"--num-trees", "3", "--num-trees", "4"},
                    "option '--num-trees' cannot be specified more than once"},
        OptionError{{"--num-trees"}, "the required argument for option '--num-trees' is missing"},
        OptionError{{"--nthreads", "100000"}, "--nthreads must be at most 4096, not 100000"},
        OptionError{{"--print-string-labels", "maybe"},
                    "the argument ('maybe') for option '--print-string-labels' is invalid. "
                    "Valid choices are 'on|off', 'yes|no', '1|0' and 'true|false'"},
        OptionError{{"--max-d", "3", "--m", "1"},
                    "option '--m' is ambiguous and matches '--max-depth', "
                    "'--max-leaf-nodes', '--min-instances-per-node', '--min-leaf-size', '--missing-values', "
                    "'--model-file', and '--model-format'"},
        // Found before any data are read.
        OptionError{{"--model-file", "m", "--num-trees", "0"}, "--num-trees must be at least 1, not 0"},
        OptionError{{"--model-file", "m", "--min-instances-per-node", "-1"},
                    "--min-instances-per-node must not be negative, not -1"},
        OptionError{{"--model-file", "m", "--min-leaf-size", "0"}, "--min-leaf-size must be at least 1, not 0"},
        OptionError{{"--model-file", "m", "--max-leaf-nodes", "-2"},
                    "--max-leaf-nodes must not be negative (0 for no limit), not -2"},
        OptionError{{"--model-file", "m", "--seed", "3", "--rng-file", "seeds"},
                    "give either --seed or --rng-file, not both"},
        OptionError{{"--model-file", "m", "forest"}, "unexpected word 'forest' (every option starts with --)"},
        OptionError{{"--in-file", "data.csv"}, "--model-file is required: the file to write the forest to"},
        OptionError{{"--model-file", "m", "--model-format", "xml"},
                    "unknown model format: xml (valid formats: 'lisp' or 'vectortxt')"},
        OptionError{{"--model-file", "m", "--seeding", "per-forest"},
                    "unknown seeding 'per-forest' (valid seedings: 'per-thread' or 'per-tree')"}));

struct CriterionCase {
  std::string command;
  std::string criterion;
  std::string message;  // after "sylvor COMMAND error: "
};

class UnusableCriterion : public ::testing::TestWithParam<CriterionCase> {};

// The data file does not exist: the criterion is refused before any file is
// read, with the status of the other option errors.
TEST_P(UnusableCriterion, IsAnOptionErrorFoundBeforeTheData) {
  const CriterionCase& c = GetParam();
  const auto r = run_sylvor({c.command, "--in-file", "/no/such/data.csv", "--model-file", "m", "--criteria",
                             c.criterion});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sylvor " + c.command + " error: " + c.message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Commands, UnusableCriterion,
    ::testing::Values(
        CriterionCase{"learn-classify", "entropy",
                      "unknown/unusable splitting criterion \"entropy\" for classification. Allowed values: 'gini', "
                      "'gainratio', or 'infogain'."},
        CriterionCase{"learn", "variance",
                      "unknown/unusable splitting criterion \"variance\" for classification. Allowed values: "
                      "'gini', 'gainratio', or 'infogain'."},
        CriterionCase{"learn-regress", "gini",
                      "unknown/unusable splitting criterion \"gini\" for regression (valid criteria: 'variance')."}));

TEST(CommandLine, RegressionLearnsWithVarianceWithoutBeingTold) {
  const std::string dir = make_temp_directory();
  const std::string examples = SYLVOR_EXAMPLES_DIR;
  const auto r = run_sylvor({"learn-regress", "--in-file", examples + "/diabetes.csv", "--desc-file",
                             examples + "/diabetes.bdf", "--model-file", dir + "/m", "--num-trees", "2", "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto help = run_sylvor({"learn-regress", "--help"});
  EXPECT_NE(help.out.find("(=variance)"), std::string::npos) << help.out;
}

TEST(CommandLine, InvalidCommandHasItsOptionsParsedFirst) {
  const auto r = run_sylvor({"frobnicate", "--nthreads", "3"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Overriding default with 3 threads\n");
  EXPECT_EQ(r.err, "sylvor frobnicate error: Invalid command: frobnicate\n");
}

TEST(CommandLine, ZeroOrNegativeThreadCountPrintsNothing) {
  for (const char* n : {"0", "-4"}) {
    const auto r = run_sylvor({"frobnicate", "--nthreads", n});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 2);
  }
}

struct DispatchCase {
  std::vector<std::string> args;
  std::string err;
};

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, ReportsCommandErrorsWithStatusTwo) {
  const auto r = run_sylvor(GetParam().args);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Dispatch,
    ::testing::Values(
        DispatchCase{{"learn", "--feature-type", "long"},
                     "sylvor learn error: unknown feature type: long\n"},
        DispatchCase{{"test-classify", "--feature-type", "long"},
                     "sylvor test-classify error: unknown feature type: long\n"},
        // Learning commands look at the feature type, then seed the pool.
        DispatchCase{{"learn", "--feature-type", "long", "--rng-file", "no-such-seed-file"},
                     "sylvor learn error: unknown feature type: long\n"},
        DispatchCase{{"learn-regress", "--rng-file", "no-such-seed-file", "--model-file", "m"},
                     "sylvor learn-regress error: unable to read from random number file "
                     "no-such-seed-file\n"},
        DispatchCase{{"learn-uchar", "--rng-file", "no-such-seed-file", "--model-file", "m"},
                     "sylvor learn-uchar error: unable to read from random number file "
                     "no-such-seed-file\n"},
        // Test commands never read the seed file; they ignore a bad one.
        DispatchCase{{"test", "--feature-type", "long", "--rng-file", "no-such-seed-file"},
                     "sylvor test error: unknown feature type: long\n"},
        // Commands that name their type ignore --feature-type.
        DispatchCase{{"learn-float", "--feature-type", "long", "--rng-file", "no-such-seed-file", "--model-file", "m"},
                     "sylvor learn-float error: unable to read from random number file "
                     "no-such-seed-file\n"}));

TEST(CommandLine, ShortSeedFileIsACommandError) {
  const std::string dir = make_temp_directory();
  {
    std::ofstream out(dir + "/seed.bin", std::ios::binary);
    for (int i = 1; i <= 127; ++i) {  // 1016 bytes: one word short of 32 generators
      const long long word = i;
      out.write(reinterpret_cast<const char*>(&word), sizeof word);
    }
  }
  const auto r = run_sylvor({"learn", "--rng-file", "seed.bin", "--model-file", "m"}, dir);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "sylvor learn error: unable to read from random number file seed.bin: it ends after 1016 "
                   "bytes, but 32 generators need at least 1024 (four non-zero 8-byte words each)\n");
  std::remove((dir + "/seed.bin").c_str());
}

}  // namespace
}  // namespace SylvorTest
