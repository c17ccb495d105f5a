#include "cli/preflight.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/io/leaf_samples_io.hpp"
#include "Sylvor/io/medians_io.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/learn/seeding.hpp"
#include "Sylvor/learn/settings.hpp"

namespace Sylvor {

namespace {

// A file named on the command line: what it is, for messages, and its path.
struct NamedFile {
  std::string what;
  std::string path;
};

// The folder of a path ("." for a bare name) and its last component.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// What identifies a file: its device and inode when it exists, else the
// resolved path of its folder and its name.
std::string identity(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    return "inode " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  const auto [folder, name] = split_path(path);
  char resolved[PATH_MAX];
  return "path " + std::string(::realpath(folder.c_str(), resolved) != nullptr ? resolved : folder.c_str()) + "/" +
         name;
}

void check_output(const NamedFile& output) {
  const auto [folder, name] = split_path(output.path);
  struct stat info;
  if (name.empty() || (::stat(output.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
    throw Exception("cannot write the " + output.what + " file `" + output.path + "': it is a folder");
  }
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw Exception("cannot write the " + output.what + " file `" + output.path + "': the folder `" + folder +
                    "' does not exist");
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    throw Exception("cannot write the " + output.what + " file `" + output.path + "': the folder `" + folder +
                    "' is not writable");
  }
}

}  // namespace

void check_learning_options(const RandomForestOptions& options, bool regression) {
  if (options.num_trees < 1) {
    throw OptionProblem{"--num-trees must be at least 1, not " + std::to_string(options.num_trees)};
  }
  if (options.min_instances_per_node < 0) {
    throw OptionProblem{"--min-instances-per-node must not be negative, not " +
                        std::to_string(options.min_instances_per_node)};
  }
  if (options.min_leaf_size < 1) {
    throw OptionProblem{"--min-leaf-size must be at least 1, not " + std::to_string(options.min_leaf_size)};
  }
  if (options.max_leaf_nodes < 0) {
    throw OptionProblem{"--max-leaf-nodes must not be negative (0 for no limit), not " +
                        std::to_string(options.max_leaf_nodes)};
  }
  if (options.seed != 0 && !options.rng_file.empty()) {
    throw OptionProblem{"give either --seed or --rng-file, not both"};
  }
  if (!seeding_from_name(options.seeding)) {
    throw OptionProblem{"unknown seeding '" + options.seeding + "' (valid seedings: 'per-thread' or 'per-tree')"};
  }
  const std::optional<CriterionKind> criterion = criterion_from_name(options.criteria);
  if (regression && criterion != CriterionKind::Variance) {
    throw OptionProblem{"unknown/unusable splitting criterion \"" + options.criteria +
                        "\" for regression (valid criteria: 'variance')."};
  }
  if (!regression && (!criterion || *criterion == CriterionKind::Variance)) {
    throw OptionProblem{"unknown/unusable splitting criterion \"" + options.criteria +
                        "\" for classification. Allowed values: 'gini', 'gainratio', or 'infogain'."};
  }
  if (options.model_file.empty()) throw OptionProblem{"--model-file is required: the file to write the forest to"};
  if (options.model_format != "lisp" && options.model_format != "vectortxt") {
    throw OptionProblem{"unknown model format: " + options.model_format +
                        " (valid formats: 'lisp' or 'vectortxt')"};
  }
  if (!options.missing_values.empty() && options.missing_values != "median" && options.missing_values != "split") {
    throw OptionProblem{"--missing-values: unknown way '" + options.missing_values +
                        "' (valid ways: 'median' or 'split')"};
  }
  if (options.keep_leaf_samples && !regression) {
    throw OptionProblem{"--keep-leaf-samples keeps the leaf samples of regression forests: use it with learn-regress"};
  }
}

std::vector<double> quantiles_of(const RandomForestOptions& options) {
  std::vector<double> quantiles;
  if (options.quantiles.empty()) return quantiles;
  std::string::size_type from = 0;
  for (;;) {
    const std::string::size_type comma = options.quantiles.find(',', from);
    const std::string word = options.quantiles.substr(from, comma == std::string::npos ? comma : comma - from);
    char* end = nullptr;
    const double q = std::strtod(word.c_str(), &end);
    if (word.empty() || *end != '\0' || !(q >= 0.0 && q <= 1.0)) {
      throw OptionProblem{"--quantiles: '" + word + "' is not a number between 0 and 1 (give them as 0.05,0.5,0.95)"};
    }
    quantiles.push_back(q);
    if (comma == std::string::npos) return quantiles;
    from = comma + 1;
  }
}

void check_test_options(const RandomForestOptions& options, bool regression) {
  if (!options.quantiles.empty() && !regression) {
    throw OptionProblem{"--quantiles predicts quantiles of regression forests: use it with test-regress"};
  }
  quantiles_of(options);
}

void check_files(const RandomForestOptions& options, CommandFiles kind) {
  const bool learning = kind == CommandFiles::Learn || kind == CommandFiles::LearnNoLog;
  std::vector<NamedFile> inputs{{"data", options.in_file}, {"description", options.desc_file},
                                {"selection", options.selection_file}};
  std::vector<NamedFile> outputs;
  if (learning) {
    inputs.push_back({"seed", options.rng_file});
    outputs = {{"model", options.model_file},
               {"feature importances", options.feature_importances_file},
               {"permutation importances", options.permutation_importances_file},
               {"out-of-bag curve", options.oob_curve_file}};
    if (model_gets_companions(options.model_file) && options.missing_values != "split") {
      outputs.push_back({"medians", medians_path(options.model_file)});
    }
    if (model_gets_companions(options.model_file) && options.keep_leaf_samples) {
      outputs.push_back({"leaf samples", leaf_samples_path(options.model_file)});
    }
  } else {
    if (options.model_file.empty()) throw OptionProblem{"--model-file is required: the file to read the forest from"};
    inputs.push_back({"model", options.model_file});
    inputs.push_back({"medians", medians_path(options.model_file)});
    if (!options.quantiles.empty()) inputs.push_back({"leaf samples", leaf_samples_path(options.model_file)});
    if (kind == CommandFiles::Info) {
      outputs = {{"output", options.out}};
    } else {
      outputs = {{"predictions", options.predictions_file}, {"confusion matrix", options.conf_matrix_file}};
    }
  }
  if (kind == CommandFiles::Learn || kind == CommandFiles::Test) outputs.push_back({"log", options.log_file});
  std::vector<std::pair<std::string, const NamedFile*>> seen;  // identity, file
  for (const NamedFile& input : inputs) {
    if (!input.path.empty()) seen.push_back({identity(input.path), &input});
  }
  for (const NamedFile& output : outputs) {
    if (output.path.empty()) continue;
    check_output(output);
    const std::string id = identity(output.path);
    for (const auto& [other_id, other] : seen) {
      if (other_id == id) {
        throw Exception("the " + output.what + " file `" + output.path + "' is also the " + other->what +
                        " file: an output must not overwrite an input or another output");
      }
    }
    seen.push_back({id, &output});
  }
  if (!learning) check_model_file(options.model_file);
}

bool same_file(const std::string& first, const std::string& second) { return identity(first) == identity(second); }

}  // namespace Sylvor
