#include "cli/learn.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/parallel.hpp"
#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/leaf_samples_io.hpp"
#include "Sylvor/io/model_file.hpp"
#include "Sylvor/learn/forest.hpp"
#include "Sylvor/learn/out_of_bag.hpp"
#include "Sylvor/learn/seeding.hpp"
#include "Sylvor/learn/settings.hpp"
#include "cli/console.hpp"
#include "cli/interrupt.hpp"
#include "cli/log.hpp"
#include "cli/preflight.hpp"
#include "cli/stopwatch.hpp"

namespace Sylvor {

namespace {

// Categorical features (`levels` not none) learn where missing values go,
// as --missing-values split does.
ForestSettings settings_of(const RandomForestOptions& options, double sample_prop, const FeatureLevels& levels,
                           std::size_t num_features) {
  ForestSettings settings;
  settings.num_trees = options.num_trees;
  settings.bootstrap_fraction = sample_prop;
  settings.limits.features_per_split = options.fte_per_split;
  settings.limits.max_depth = options.max_depth;
  settings.limits.min_instances_per_node = options.min_instances_per_node;
  settings.limits.min_leaf_size = options.min_leaf_size;
  settings.limits.max_leaf_nodes = options.max_leaf_nodes;
  settings.limits.learn_missing_sides = options.missing_values == "split" || !levels.none();
  settings.limits.feature_levels = levels.counts(num_features);
  settings.feature_importances = !options.feature_importances_file.empty();
  settings.out_of_bag =
      options.oob || !options.permutation_importances_file.empty() || !options.oob_curve_file.empty();
  settings.leaf_samples = options.keep_leaf_samples;
  settings.num_threads = options.num_threads;
  return settings;
}

// The generators of the learning, from the pool seeded for the command:
// per thread, its generators; per tree, the seed, or without one a digest
// of the pool's first generator (from the seed file or /dev/urandom).
ForestGenerators generators_of(const RandomForestOptions& options, const XorShiftRNGPool& pool) {
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

// Files written to their temporary files, put in place together once all
// of them are written: commit() puts the accessory files in place first and
// the model last.
struct StagedOutputs {
  std::vector<std::unique_ptr<OutputFile>> files;
  std::unique_ptr<StagedModel> model;

  std::ostream& add(const std::string& path, const std::string& what) {
    files.push_back(std::make_unique<OutputFile>(path, what));
    return files.back()->stream();
  }

  void commit() {
    for (const auto& file : files) file->flush();
    for (const auto& file : files) file->commit();
    if (model) model->commit();
  }
};

// Stages the out-of-bag error (or mean squared error) of the first 1, 2,
// ... trees as CSV lines "trees,error" after a header line; NaN while no
// instance has an out-of-bag tree.
void stage_out_of_bag_curve(const RandomForestOptions& options, bool regression,
                            const std::vector<OutOfBagEstimate>& curve, StagedOutputs& outputs) {
  std::cout << "Writing out-of-bag curve to " << options.oob_curve_file << std::endl;
  std::ostream& out = outputs.add(options.oob_curve_file, "out-of-bag curve");
  out << "trees," << (regression ? "oob_mse" : "oob_error") << "\n";
  for (std::size_t k = 0; k < curve.size(); ++k) out << k + 1 << "," << exact(curve[k].error) << "\n";
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

// Writes the model (with its companion file of training medians, when
// there are any) in the format the options name to its temporary file, and
// reports the time.
template <class L>
void stage_model_timed(const RandomForestOptions& options, const Forest<L>& forest,
                       const std::vector<double>& medians, const FeatureLevels& levels, StagedOutputs& outputs,
                       CommandLog& log) {
  cvd_timer timer;
  std::cout << "Writing forest in " << (options.model_format == "lisp" ? "LISP" : "vtxt") << " format to "
            << options.model_file << std::endl;
  outputs.model = std::make_unique<StagedModel>(options.model_file, forest, options.model_format,
                                                medians.empty() ? nullptr : &medians, &levels);
  const double seconds = timer.get_time();
  std::cout << "Total time to write model: " << seconds << std::endl;
  log.write("forest-write-time", seconds);
}

void stage_values(const char* what, const std::string& file, const std::vector<double>& values,
                  StagedOutputs& outputs) {
  std::cout << "Writing " << what << " to " << file << std::endl;
  save_vector(outputs.add(file, what), values, " ");
}

// Learns, works out the estimates asked for, and writes every output: all
// of them are written and checked before any is put in place.
template <class Task, class DataSet>
void learn_and_write(const RandomForestOptions& options, const XorShiftRNGPool& pool, const DataSet& data,
                     const std::vector<double>& medians, const FeatureLevels& levels, const Task& task,
                     double sample_prop, const DataSetDescription* learned_description, CommandLog& log) {
  const ForestSettings settings = settings_of(options, sample_prop, levels, data.get_num_features());
  const bool permutation = !options.permutation_importances_file.empty();
  ForestGenerators generators = generators_of(options, pool);
  const auto forest = learn_timed(options, data, task, settings, generators, log);
  StagedOutputs outputs;
  std::vector<OutOfBagEstimate> curve;
  if (!options.oob_curve_file.empty()) {
    curve = out_of_bag_curve(task, data, forest.trees, forest.in_bag, settings.num_threads);
  }
  if (options.oob) report_out_of_bag(task, data, forest, settings, curve, log);
  if (!curve.empty()) stage_out_of_bag_curve(options, Task::is_regression, curve, outputs);
  std::vector<double> permuted;
  if (permutation) permuted = permutation_importances_timed(task, data, forest, generators.shuffle_key(), settings, log);
  stage_model_timed(options, forest.trees, medians, levels, outputs, log);
  if (settings.leaf_samples) {
    std::cout << "Writing the leaf samples to " << leaf_samples_path(options.model_file) << std::endl;
    outputs.model->add_companion_written(".leaves", "leaf samples", [&](std::ostream& out) {
      write_leaf_samples_text(out, forest.leaf_samples, outputs.model->fingerprint());
    });
  }
  if (settings.feature_importances) {
    stage_values("feature importances", options.feature_importances_file, forest.feature_importances, outputs);
  }
  if (permutation) stage_values("permutation importances", options.permutation_importances_file, permuted, outputs);
  if (learned_description != nullptr) {
    const std::string path = model_description_path(options.model_file);
    std::cout << "Writing the model's description to " << path << std::endl;
    write_sylvor_description(outputs.add(path, "model description"), *learned_description);
  }
  check_standard_output();
  outputs.commit();
}

// Takes into the description the names the data gave: the class names
// collected from the rows (numbered in sorted order) and, from a header
// row, the names of the features the description does not name (white
// space and '#' in them become '_'). Returns whether it took any, for the
// description to be written beside the model.
bool take_names_from_data(const RandomForestOptions& options, const ReadNotes& notes, DataSetDescription& desc) {
  for (std::size_t k = 0; k < notes.class_names.size(); ++k) {
    const std::string& name = notes.class_names[k];
    if (!is_description_word(name)) {
      throw Exception("data file `" + options.in_file + "': class name '" + name +
                      "' cannot be kept in the model's description, whose class names are single words "
                      "without '#'");
    }
    desc.add_label_pair(name, static_cast<int>(k));
  }
  int feature = 0;
  for (std::size_t j = 0; j < notes.header.size(); ++j) {
    const int column = static_cast<int>(j);
    if (column == desc.get_class_column() || desc.is_ignorable(column)) continue;
    std::string name = notes.header[j];
    for (char& c : name) {
      if (c == '#' || std::isspace(static_cast<unsigned char>(c)) != 0) c = '_';
    }
    if (desc.get_feature_name(feature).empty() && !name.empty()) desc.set_feature_name(feature, name);
    ++feature;
  }
  const bool took = !notes.class_names.empty() || !notes.header.empty();
  if (took && model_gets_companions(options.model_file) && !options.desc_file.empty() &&
      same_file(options.desc_file, model_description_path(options.model_file))) {
    throw Exception("the model's description `" + model_description_path(options.model_file) +
                    "' would overwrite the description file: give the model another name");
  }
  return took && model_gets_companions(options.model_file);
}

// Reads the description and the data, then learns and writes with the task
// that with_task gives.
template <class F, class L, class WithTask>
void learn_command(const RandomForestOptions& options, const XorShiftRNGPool& pool, double sample_prop,
                   bool keep_log, WithTask with_task) {
  run_logged(keep_log ? options.log_file : std::string(), [&](CommandLog& log) {
    DataSetDescription desc = read_command_description(options);
    if (!desc.get_categorical_columns().empty() && options.missing_values == "median") {
      throw Exception("--missing-values median: the description makes columns categorical, whose missing values "
                      "are learned in the splits; give split or leave the option out");
    }
    MemoryDataSet<F, L> data;
    FeatureLevels levels;
    ReadNotes notes;
    read_data(options, desc, data, log, LevelCoding{&levels, true}, &notes);
    const bool names_taken = take_names_from_data(options, notes, desc);
    // Missing values take the column medians, which the model keeps for the
    // rows it will predict, unless the splits learn where they go.
    std::vector<double> medians;
    if (options.missing_values != "split" && levels.none()) {
      medians = data.column_medians();
      data.fill_missing(medians);
    }
    std::cout << "Training forest on " << data.get_num_instances() << " instances" << std::endl;
    with_task([&](const auto& task) {
      learn_and_write(options, pool, data, medians, levels, task, sample_prop, names_taken ? &desc : nullptr, log);
    });
  });
}

}  // namespace

void seed_command_pool(const RandomForestOptions& options, XorShiftRNGPool& pool) {
  // The size is the command's own thread count, never a process-wide
  // setting; the first 32 generators depend on the seed alone.
  const int size = std::max(32, team_size(options.num_threads));
  if (options.seed != 0) {
    pool.init_using_rand(options.seed, size);
  } else {
    pool.init(options.rng_file, size);
  }
}

void cli_learn_classify(const RandomForestOptions& options, FeatureType feature_type, const XorShiftRNGPool& pool) {
  // The criterion was checked with the other options.
  const CriterionKind kind = *criterion_from_name(options.criteria);
  with_feature_type(feature_type, [&](auto f) {
    learn_command<decltype(f), int>(options, pool, 1.0, true,
                                    [&](auto run) { with_classification_task(kind, run); });
  });
}

void cli_learn_regress(const RandomForestOptions& options, const XorShiftRNGPool& pool) {
  learn_command<double, double>(options, pool, 0.632, false, [&](auto run) { run(RegressionTask()); });
}

}  // namespace Sylvor
