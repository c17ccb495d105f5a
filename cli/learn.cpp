#include "cli/learn.hpp"

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/medians_io.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/learn/forest.hpp"
#include "Sylvor/learn/out_of_bag.hpp"
#include "Sylvor/learn/seeding.hpp"
#include "Sylvor/learn/settings.hpp"
#include "cli/console.hpp"
#include "cli/interrupt.hpp"
#include "cli/log.hpp"
#include "cli/stopwatch.hpp"

namespace Sylvor {

namespace {

ForestSettings settings_of(const RandomForestOptions& options, double sample_prop) {
  ForestSettings settings;
  settings.num_trees = options.num_trees;
  settings.bootstrap_fraction = sample_prop;
  settings.limits.features_per_split = options.fte_per_split;
  settings.limits.max_depth = options.max_depth;
  settings.limits.min_instances_per_node = options.min_instances_per_node;
  settings.limits.min_leaf_size = options.min_leaf_size;
  settings.limits.max_leaf_nodes = options.max_leaf_nodes;
  settings.feature_importances = !options.feature_importances_file.empty();
  settings.out_of_bag =
      options.oob || !options.permutation_importances_file.empty() || !options.oob_curve_file.empty();
  settings.num_threads = options.num_threads;
  return settings;
}

// The generators of the learning, from the pool seeded for the command:
// per thread, its generators; per tree, the seed, or without one a digest
// of the pool's first generator (from the seed file or /dev/urandom).
ForestGenerators generators_of(const RandomForestOptions& options) {
  const XorShiftRNGPool& pool = *get_pool("", default_pool_size(), 0, false);
  if (seeding_from_name(options.seeding) == Seeding::PerThread) return ForestGenerators::per_thread(pool);
  if (options.seed != 0) return ForestGenerators::per_tree(static_cast<std::uint64_t>(static_cast<std::int64_t>(options.seed)));
  return ForestGenerators::per_tree(state_key(pool.get_generator(0)->get_state()));
}

// Learns the forest, with the progress line, and reports the time. SIGINT
// and SIGTERM stop it between nodes.
template <class Task, class DataSet>
LearnedForest<typename DataSet::label_type> learn_timed(const RandomForestOptions& options, const DataSet& data,
                                                        const Task& task, const ForestSettings& settings,
                                                        ForestGenerators& generators, CommandLog& log) {
  cvd_timer timer;
  CommandProgress progress(options, settings.num_trees > 0 ? static_cast<std::size_t>(settings.num_trees) : 0,
                           "Learning", "trees");
  WorkControl control;
  control.progress = progress.counter();
  control.stop = &stop_requested();
  LearnedForest<typename DataSet::label_type> forest = learn_forest(data, settings, task, generators, control);
  const double seconds = timer.get_time();
  progress.end();
  std::cout << std::endl << "Total time to learn: " << seconds << std::endl;
  log.write("learn-time", seconds);
  return forest;
}

// Prints and logs the out-of-bag error: the last point of the curve when
// there is one (the same number), else worked out.
template <class Task, class DataSet>
void report_out_of_bag(const Task& task, const DataSet& data, const LearnedForest<typename DataSet::label_type>& forest,
                       const ForestSettings& settings, const std::vector<OutOfBagEstimate>& curve, CommandLog& log) {
  const OutOfBagEstimate estimate = !curve.empty()
                                        ? curve.back()
                                        : out_of_bag_estimate(task, data, forest.trees, forest.in_bag,
                                                              settings.num_threads);
  std::cout << (Task::is_regression ? "Out-of-bag mean squared error: " : "Out-of-bag error: ") << estimate.error
            << " (" << estimate.without << " instances without out-of-bag trees)" << std::endl;
  log.write(Task::is_regression ? "oob-mse" : "oob-error", estimate.error);
}

// Writes the out-of-bag error (or mean squared error) of the first 1, 2,
// ... trees as CSV lines "trees,error" after a header line; NaN while no
// instance has an out-of-bag tree.
void write_out_of_bag_curve(const RandomForestOptions& options, bool regression,
                            const std::vector<OutOfBagEstimate>& curve) {
  std::cout << "Writing out-of-bag curve to " << options.oob_curve_file << std::endl;
  OutputFile file(options.oob_curve_file, "out-of-bag curve");
  file.stream() << "trees," << (regression ? "oob_mse" : "oob_error") << "\n";
  for (std::size_t k = 0; k < curve.size(); ++k) file.stream() << k + 1 << "," << exact(curve[k].error) << "\n";
  file.commit();
}

template <class Task, class DataSet>
std::vector<double> permutation_importances_timed(const Task& task, const DataSet& data,
                                                  const LearnedForest<typename DataSet::label_type>& forest,
                                                  std::uint64_t shuffle_key, const ForestSettings& settings,
                                                  CommandLog& log) {
  cvd_timer timer;
  std::vector<double> values =
      permutation_importances(task, data, forest.trees, forest.in_bag, shuffle_key, 0, settings.num_threads);
  const double seconds = timer.get_time();
  std::cout << "Total time for permutation importances: " << seconds << std::endl;
  log.write("permutation-importances-time", seconds);
  return values;
}

// Writes the model in the format the options name (examined only now, after
// learning) and reports the time.
// The model file is followed by its companion file of training medians.
template <class L>
void write_model_timed(const RandomForestOptions& options, const Forest<L>& forest,
                       const std::vector<double>& medians, CommandLog& log) {
  cvd_timer timer;
  if (options.model_format == "lisp") {
    std::cout << "Writing forest in LISP format to " << options.model_file << std::endl;
    write_forest_as_lisp(options.model_file, forest);
  } else if (options.model_format == "vectortxt") {
    std::cout << "Writing forest in vtxt format to " << options.model_file << std::endl;
    write_forest_as_vectorized_txt(options.model_file, forest);
  } else {
    throw Exception("unknown model format: " + options.model_format + " (valid formats: 'lisp' or 'vectortxt')");
  }
  write_model_medians(options.model_file, medians);
  const double seconds = timer.get_time();
  std::cout << "Total time to write model: " << seconds << std::endl;
  log.write("forest-write-time", seconds);
}

void write_values(const char* what, const std::string& file, const std::vector<double>& values) {
  std::cout << "Writing " << what << " to " << file << std::endl;
  save_vector(file, values, " ", what);
}

template <class Task, class DataSet>
void learn_and_write(const RandomForestOptions& options, const DataSet& data, const std::vector<double>& medians,
                     const Task& task, double sample_prop, CommandLog& log) {
  const ForestSettings settings = settings_of(options, sample_prop);
  const bool permutation = !options.permutation_importances_file.empty();
  ForestGenerators generators = generators_of(options);
  const auto forest = learn_timed(options, data, task, settings, generators, log);
  std::vector<OutOfBagEstimate> curve;
  if (!options.oob_curve_file.empty()) {
    curve = out_of_bag_curve(task, data, forest.trees, forest.in_bag, settings.num_threads);
  }
  if (options.oob) report_out_of_bag(task, data, forest, settings, curve, log);
  if (!curve.empty()) write_out_of_bag_curve(options, Task::is_regression, curve);
  std::vector<double> permuted;
  if (permutation) permuted = permutation_importances_timed(task, data, forest, generators.shuffle_key(), settings, log);
  write_model_timed(options, forest.trees, medians, log);
  if (settings.feature_importances) {
    write_values("feature importances", options.feature_importances_file, forest.feature_importances);
  }
  if (permutation) write_values("permutation importances", options.permutation_importances_file, permuted);
}

// Reads the description and the data, then learns and writes with the task
// that with_task gives (an unknown criterion fails only here, once the data
// are read).
template <class F, class L, class WithTask>
void learn_command(const RandomForestOptions& options, double sample_prop, bool keep_log, WithTask with_task) {
  CommandLog log(keep_log ? options.log_file : std::string());
  const DataSetDescription desc = read_sylvor_description(options.desc_file);
  MemoryDataSet<F, L> data;
  read_data(options, desc, data, log);
  // Missing values take the column medians, which the model keeps for the
  // rows it will predict.
  const std::vector<double> medians = data.column_medians();
  data.fill_missing(medians);
  std::cout << "Training forest on " << data.get_num_instances() << " instances" << std::endl;
  with_task([&](const auto& task) { learn_and_write(options, data, medians, task, sample_prop, log); });
  log.close();
}

}  // namespace

void cli_learn_classify(const RandomForestOptions& options, FeatureType feature_type) {
  with_feature_type(feature_type, [&](auto f) {
    learn_command<decltype(f), int>(options, 1.0, true, [&](auto run) {
      const std::optional<CriterionKind> kind = criterion_from_name(options.criteria);
      if (!kind || *kind == CriterionKind::Variance) {
        throw Exception("unknown/unusable splitting criterion \"" + options.criteria +
                        "\" for classification. Allowed values: 'gini', 'gainratio', or 'infogain'.");
      }
      with_classification_task(*kind, run);
    });
  });
}

void cli_learn_regress(const RandomForestOptions& options) {
  learn_command<double, double>(options, 0.632, false, [&](auto run) {
    if (criterion_from_name(options.criteria) != CriterionKind::Variance) {
      throw Exception("unknown/unusable splitting criterion \"" + options.criteria +
                      "\" for regression (valid criteria: 'variance').");
    }
    run(RegressionTask());
  });
}

}  // namespace Sylvor
