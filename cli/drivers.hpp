// The drivers of the sylvor commands: each runs one command from its options
// record to its console lines, log and output files, on the main thread
// (learning and prediction open their own parallel regions). Generic over
// the feature type F and the label type L of the data set.
//
// A driver owns its description, data set, forest, stopwatch and log for
// the length of the command and frees them when it returns or fails. Every
// failure is thrown to the top-level handler; an output file that cannot be
// written is a failure too, so a run that reports success has written
// everything it was asked for.
#ifndef SYLVOR_CLI_DRIVERS_HPP
#define SYLVOR_CLI_DRIVERS_HPP

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/learn/forest_classifier.hpp"
#include "Sylvor/learn/learn_forest.hpp"
#include "Sylvor/learn/out_of_bag.hpp"
#include "Sylvor/stats/info.hpp"
#include "Sylvor/stats/score.hpp"
#include "cli/config.hpp"
#include "cli/stopwatch.hpp"

namespace Sylvor {

namespace cli_detail {

// The log file of a command: one "key value" line per measurement. Without
// a file name it writes nothing.
class CommandLog {
public:
  explicit CommandLog(const std::string& filename) : name(filename) {
    if (!name.empty()) open_output_file(out, name, "log");
  }
  template <class T>
  void write(const char* key, const T& value) {
    if (out.is_open()) out << key << ' ' << value << std::endl;
  }
  void close() {
    if (out.is_open()) close_output_file(out, name, "log");
  }

private:
  std::string name;
  std::ofstream out;
};

// The progress line of long work: drawn on standard error only when it is a
// terminal and --quiet is not given, so transcripts and logs never hold it.
// counter() is null when nothing is shown.
class CommandProgress {
public:
  CommandProgress(const RandomForestOptions& options, std::size_t total, const char* what, const char* unit) {
    if (options.quiet || !standard_error_is_terminal()) return;
    progress = std::make_unique<ProgressCounter>(total);
    line = std::make_unique<ProgressLine>(*progress, what, unit, write_to_standard_error);
  }
  ProgressCounter* counter() { return progress.get(); }
  // Clears the line (before the command prints again).
  void end() {
    if (line) line->stop();
  }

private:
  std::unique_ptr<ProgressCounter> progress;
  std::unique_ptr<ProgressLine> line;  // declared after the counter it reads: destroyed first
};

// Reads the data set (or the selected rows of it), reports the time and
// fills in missing values.
template <class DataSet>
void read_data(const RandomForestOptions& options, const DataSetDescription& desc, DataSet& data,
               CommandLog& log) {
  cvd_timer timer;
  if (!options.selection_file.empty()) {
    std::vector<int> selected_instance_indices;
    read_vector(options.selection_file, selected_instance_indices, "");
    timer.reset();
    read_data_subset(data, options.in_file, "csv", desc, selected_instance_indices);
  } else {
    timer.reset();
    read_data_set(data, options.in_file, "csv", desc);
  }
  const double seconds = timer.get_time();
  std::cout << std::endl << "Total time to read dataset: " << seconds << std::endl;
  log.write("dataset-read-time", seconds);
  data.impute();
}

// Learns a forest with the criterion the options name, and writes it in the
// model format they name (examined only after learning).
template <class DataSet>
void learn_and_write(const RandomForestOptions& options, const DataSet& data, double sample_prop,
                     CommandLog& log) {
  typedef typename DataSet::label_type L;
  constexpr bool regression = std::is_same<L, double>::value;
  std::cout << "Training forest on " << data.get_num_instances() << " instances" << std::endl;
  cvd_timer timer;
  const bool compute_feature_importances = !options.feature_importances_file.empty();
  std::vector<double> feature_importances;
  if (compute_feature_importances) feature_importances.assign(data.get_num_features(), 0.0);

  OwnedForest<L> forest;
  const bool permutation = !options.permutation_importances_file.empty();
  std::vector<std::vector<bool>> in_bag;
  // The shuffles of permutation importance draw from generators keyed on how
  // the pool was seeded, taken before learning draws anything.
  const std::uint64_t shuffle_key = permutation ? permutation_key() : 0;
  CommandProgress progress(options, options.num_trees > 0 ? static_cast<std::size_t>(options.num_trees) : 0,
                           "Learning", "trees");
  auto learn = [&](const auto& criteria) {
    forest.roots = learn_forest(data, options.num_trees, sample_prop, options.fte_per_split, options.max_depth,
                                options.min_instances_per_node, criteria, compute_feature_importances,
                                feature_importances, options.oob || permutation ? &in_bag : nullptr,
                                progress.counter());
  };
  const std::string& criteria = options.criteria;
  if constexpr (regression) {
    if (criteria == "var" || criteria == "variance") {
      learn(TwoSplitVariance());
    } else {
      throw Exception("unknown/unusable splitting criterion \"" + criteria +
                      "\" for regression (valid criteria: 'variance').");
    }
  } else {
    if (criteria == "infogain") {
      learn(TwoSplitInfoGain());
    } else if (criteria == "gainratio") {
      learn(TwoSplitGainRatio());
    } else if (criteria == "gini") {
      learn(TwoSplitGiniImpurity());
    } else {
      throw Exception("unknown/unusable splitting criterion \"" + criteria +
                      "\" for classification. Allowed values: 'gini', 'gainratio', or 'infogain'.");
    }
  }
  const double learn_seconds = timer.get_time();
  progress.end();
  std::cout << std::endl << "Total time to learn: " << learn_seconds << std::endl;
  log.write("learn-time", learn_seconds);
  if (options.oob) {
    const OutOfBagEstimate estimate = out_of_bag_estimate(data, forest.roots, in_bag);
    std::cout << (regression ? "Out-of-bag mean squared error: " : "Out-of-bag error: ") << estimate.error << " ("
              << estimate.without << " instances without out-of-bag trees)" << std::endl;
    log.write(regression ? "oob-mse" : "oob-error", estimate.error);
  }
  std::vector<double> permutation_importance_values;
  if (permutation) {
    timer.reset();
    permutation_importance_values = permutation_importances(data, forest.roots, in_bag, shuffle_key);
    const double permutation_seconds = timer.get_time();
    std::cout << "Total time for permutation importances: " << permutation_seconds << std::endl;
    log.write("permutation-importances-time", permutation_seconds);
  }

  timer.reset();
  if (options.model_format == "lisp") {
    std::cout << "Writing forest in LISP format to " << options.model_file << std::endl;
    write_forest_as_lisp(options.model_file, forest.roots);
  } else if (options.model_format == "vectortxt") {
    std::cout << "Writing forest in vtxt format to " << options.model_file << std::endl;
    write_forest_as_vectorized_txt(options.model_file, forest.roots);
  } else {
    throw Exception("unknown model format: " + options.model_format + " (valid formats: 'lisp' or 'vectortxt')");
  }
  const double write_seconds = timer.get_time();
  std::cout << "Total time to write model: " << write_seconds << std::endl;
  log.write("forest-write-time", write_seconds);

  if (compute_feature_importances) {
    std::cout << "Writing feature importances to " << options.feature_importances_file << std::endl;
    save_vector(options.feature_importances_file, feature_importances, " ", "feature importances");
  }
  if (permutation) {
    std::cout << "Writing permutation importances to " << options.permutation_importances_file << std::endl;
    save_vector(options.permutation_importances_file, permutation_importance_values, " ",
                "permutation importances");
  }
}

// The confusion matrices and classification rate of a classification test.
template <class DataSet>
void print_evaluation(const RandomForestOptions& options, const DataSetDescription& desc, const DataSet& data,
                      const std::vector<int>& predicted_labels, CommandLog& log) {
  ClassifierStats stats;
  stats.score(data, predicted_labels, true);
  std::cout << std::endl << "Confusion Matrix (cumulative):" << std::endl << std::endl;
  stats.output_confusion_matrix_with_string_labels(std::cout, desc, false);
  if (!options.conf_matrix_file.empty()) {
    std::ofstream file;
    open_output_file(file, options.conf_matrix_file, "confusion matrix");
    stats.output_confusion_matrix_with_string_labels(file, desc, false);
    close_output_file(file, options.conf_matrix_file, "confusion matrix");
  }
  std::cout << std::endl << std::endl << "Confusion Matrix (percentage):" << std::endl << std::endl;
  const double rate = stats.get_classification_rate();
  std::cout << "Classification Rate: " << rate << std::endl;
  log.write("classification-rate", rate);
  stats.output_confusion_matrix_with_string_labels(std::cout, desc, true);
}

}  // namespace cli_detail

template <class F>
void cli_learn_classify(const RandomForestOptions& options) {
  cli_detail::CommandLog log(options.log_file);
  const DataSetDescription desc = read_sylvor_description(options.desc_file);
  MemoryDataSet<F, int> data;
  cli_detail::read_data(options, desc, data, log);
  cli_detail::learn_and_write(options, data, 1.0, log);
  log.close();
}

// Regression learning keeps no log, whatever --log-file says.
inline void cli_learn_regress(const RandomForestOptions& options) {
  cli_detail::CommandLog no_log("");
  const DataSetDescription desc = read_sylvor_description(options.desc_file);
  MemoryDataSet<double, double> data;
  cli_detail::read_data(options, desc, data, no_log);
  cli_detail::learn_and_write(options, data, 0.632, no_log);
}

template <class F, class L>
void cli_test(const RandomForestOptions& options) {
  constexpr bool regression = std::is_same<L, double>::value;
  cli_detail::CommandLog log(options.log_file);
  const DataSetDescription desc = read_sylvor_description(options.desc_file);
  MemoryDataSet<F, L> data;
  cli_detail::read_data(options, desc, data, log);

  std::cout << "Reading forest from " << options.model_file << std::endl;
  cvd_timer timer;
  OwnedForest<L> forest;
  read_forest(options.model_file, forest.roots);
  const double read_seconds = timer.get_time();
  std::cout << "Total time to read forest " << read_seconds << std::endl;
  log.write("forest-read-time", read_seconds);

  ForestPredictor<L> predictor(static_cast<std::size_t>(desc.get_num_classes()));
  predictor.use_forest(forest.roots);
  std::cout << "Predicting using forest of " << forest.roots.size() << " trees on " << data.get_num_instances()
            << " instances" << std::endl;

  timer.reset();
  std::vector<L> predicted_labels;
  {
    cli_detail::CommandProgress progress(options, data.get_num_instances(), "Predicting", "instances");
    predictor.report_progress_to(progress.counter());
    predictor.predict(data, predicted_labels);
    predictor.report_progress_to(nullptr);
  }
  if (options.print_string_labels) {
    std::vector<std::string> names(predicted_labels.size());
    std::ostringstream text;
    for (std::size_t i = 0; i < predicted_labels.size(); ++i) {
      if constexpr (regression) {
        text.str("");
        text << predicted_labels[i];
        names[i] = text.str();
      } else {
        names[i] = desc.get_string_label(predicted_labels[i]);
      }
    }
    const double predict_seconds = timer.get_time();
    std::cout << std::endl << "Total time to predict: " << predict_seconds << std::endl;
    log.write("prediction-time", predict_seconds);
    save_vector(options.predictions_file, names, " ", "predictions");
  } else {
    const double predict_seconds = timer.get_time();
    std::cout << std::endl << "Total time to predict: " << predict_seconds << std::endl;
    log.write("prediction-time", predict_seconds);
    save_vector(options.predictions_file, predicted_labels, " ", "predictions");
    if constexpr (regression) {
      ClassifierStats stats;
      stats.score(data, predicted_labels, true);
      const double mse = stats.get_mean_squared_error();
      std::cout << std::endl << "Mean Squared Error (regression): " << mse << std::endl;
      log.write("mse", mse);
    } else {
      cli_detail::print_evaluation(options, desc, data, predicted_labels, log);
    }
  }
  log.close();
}

}  // namespace Sylvor

#endif
