// The checks a command makes before it reads anything, so that a mistake in
// the options never costs the time of reading and learning:
// - option values (check_learning_options): a problem is an OptionProblem,
//   reported with exit status 1 like the other option errors;
// - files (check_files): the model a test or info command reads must be a
//   regular file that is not empty; every output must lie in an existing,
//   writable folder, must not be a folder itself, and must not be one of
//   the command's inputs or another of its outputs; a problem is an
//   Exception (exit status 2).
// Main thread.
#ifndef SYLVOR_CLI_PREFLIGHT_HPP
#define SYLVOR_CLI_PREFLIGHT_HPP

#include <string>
#include <vector>

#include "cli/config.hpp"

namespace Sylvor {

struct OptionProblem {
  std::string message;
};

// The option values of a learn command: at least one tree, a non-negative
// minimum node size, not both --seed and --rng-file, a known seeding, a
// criterion of the task (variance for `regression`, else gini, infogain or
// gainratio), a model file and a known model format; --keep-leaf-samples
// only for regression.
void check_learning_options(const RandomForestOptions& options, bool regression);

// The option values of a test command: --quantiles only for regression,
// and each of its numbers in [0, 1].
void check_test_options(const RandomForestOptions& options, bool regression);

// The numbers of --quantiles, in the order given (none when it is empty);
// an OptionProblem names a word that is not a number in [0, 1].
std::vector<double> quantiles_of(const RandomForestOptions& options);

// What a command does with its files.
enum class CommandFiles {
  Learn,        // reads data, writes the model, its companions and the log
  LearnNoLog,   // as Learn, keeping no log
  Test,         // reads data and the model, writes predictions, matrix, log
  Info,         // reads the model and a description, writes --out
};

// The input and output files of a command. The model a Test or Info
// command reads must be named (an OptionProblem otherwise).
void check_files(const RandomForestOptions& options, CommandFiles kind);

// Whether two paths name the same file (existing or not).
bool same_file(const std::string& first, const std::string& second);

}  // namespace Sylvor

#endif
