#include "cli/test.hpp"

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/medians_io.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/predict/predictor.hpp"
#include "Sylvor/stats/score.hpp"
#include "cli/console.hpp"
#include "cli/log.hpp"
#include "cli/stopwatch.hpp"

namespace Sylvor {

namespace {

// Reads the model and its recorded medians, and reports the time.
template <class L>
Forest<L> read_model_timed(const RandomForestOptions& options, ModelMedians& medians, CommandLog& log) {
  std::cout << "Reading forest from " << options.model_file << std::endl;
  cvd_timer timer;
  Forest<L> forest;
  read_forest(options.model_file, forest);
  medians = read_model_medians(options.model_file);
  const double seconds = timer.get_time();
  std::cout << "Total time to read forest " << seconds << std::endl;
  log.write("forest-read-time", seconds);
  return forest;
}

// Fills the missing values with the model's recorded medians; without them,
// with the medians of the rows being tested, saying so in one line.
template <class DataSet>
void fill_missing_values(const RandomForestOptions& options, const ModelMedians& medians, DataSet& data) {
  if (!data.has_missing()) return;
  if (medians.state == MediansState::Recorded) {
    data.fill_missing(medians.values);
  } else {
    const std::string companion = medians_path(options.model_file);
    std::cerr << "sylvor warning: "
              << (medians.state == MediansState::Absent
                      ? "no medians are recorded for the model (no file `" + companion + "')"
                      : "`" + companion + "' was written for another model than `" + options.model_file + "'")
              << "; missing values are filled with the medians of the rows being tested" << std::endl;
  }
  data.impute();  // columns the recorded medians do not cover
}

// The texts of the predictions: class names from the description, or the
// numbers exactly (as the predictions file holds them).
std::vector<std::string> prediction_texts(const DataSetDescription& desc, const std::vector<int>& predicted) {
  std::vector<std::string> names(predicted.size());
  for (std::size_t i = 0; i < predicted.size(); ++i) names[i] = desc.get_string_label(predicted[i]);
  return names;
}

std::vector<std::string> prediction_texts(const DataSetDescription&, const std::vector<double>& predicted) {
  std::vector<std::string> texts(predicted.size());
  std::ostringstream text;
  for (std::size_t i = 0; i < predicted.size(); ++i) {
    text.str("");
    text << exact(predicted[i]);
    texts[i] = text.str();
  }
  return texts;
}

// The --conf-matrix-file copy of the raw-count confusion matrix.
void write_confusion_matrix(const RandomForestOptions& options, const DataSetDescription& desc,
                            const ClassifierStats& stats) {
  if (options.conf_matrix_file.empty()) return;
  OutputFile file(options.conf_matrix_file, "confusion matrix");
  stats.output_confusion_matrix_with_string_labels(file.stream(), desc, false);
  file.commit();
}

// With string labels nothing is scored on the console, but a confusion
// matrix asked for is still written (classification only).
template <class DataSet>
void write_matrix_only(const RandomForestOptions& options, const DataSetDescription& desc, const DataSet& data,
                       const std::vector<int>& predicted) {
  if (options.conf_matrix_file.empty()) return;
  ClassifierStats stats;
  stats.score(data, predicted, true);
  write_confusion_matrix(options, desc, stats);
}

template <class DataSet>
void write_matrix_only(const RandomForestOptions&, const DataSetDescription&, const DataSet&,
                       const std::vector<double>&) {}

// The confusion matrices and classification rate of a classification test.
template <class DataSet>
void report_scores(const RandomForestOptions& options, const DataSetDescription& desc, const DataSet& data,
                   const std::vector<int>& predicted, CommandLog& log) {
  ClassifierStats stats;
  stats.score(data, predicted, true);
  std::cout << std::endl << "Confusion Matrix (cumulative):" << std::endl << std::endl;
  stats.output_confusion_matrix_with_string_labels(std::cout, desc, false);
  write_confusion_matrix(options, desc, stats);
  std::cout << std::endl << std::endl << "Confusion Matrix (percentage):" << std::endl << std::endl;
  const double rate = stats.get_classification_rate();
  std::cout << "Classification Rate: " << rate << std::endl;
  log.write("classification-rate", rate);
  stats.output_confusion_matrix_with_string_labels(std::cout, desc, true);
}

// The mean squared error of a regression test.
template <class DataSet>
void report_scores(const RandomForestOptions&, const DataSetDescription&, const DataSet& data,
                   const std::vector<double>& predicted, CommandLog& log) {
  ClassifierStats stats;
  stats.score(data, predicted, true);
  const double mse = stats.get_mean_squared_error();
  std::cout << std::endl << "Mean Squared Error (regression): " << mse << std::endl;
  log.write("mse", mse);
}

template <class F, class L>
void cli_test(const RandomForestOptions& options) {
  CommandLog log(options.log_file);
  const DataSetDescription desc = read_sylvor_description(options.desc_file);
  MemoryDataSet<F, L> data;
  read_data(options, desc, data, log);
  ModelMedians medians;
  const Forest<L> forest = read_model_timed<L>(options, medians, log);
  fill_missing_values(options, medians, data);

  ForestPredictor<L> predictor(static_cast<std::size_t>(desc.get_num_classes()));
  predictor.use_forest(forest);
  predictor.set_num_threads(options.num_threads);
  std::cout << "Predicting using forest of " << forest.size() << " trees on " << data.get_num_instances()
            << " instances" << std::endl;

  cvd_timer timer;
  std::vector<L> predicted;
  {
    CommandProgress progress(options, data.get_num_instances(), "Predicting", "instances");
    predictor.predict(data, predicted, progress.counter());
  }
  if (options.print_string_labels) {
    // The conversion counts as prediction time; nothing is scored.
    const std::vector<std::string> texts = prediction_texts(desc, predicted);
    const double seconds = timer.get_time();
    std::cout << std::endl << "Total time to predict: " << seconds << std::endl;
    log.write("prediction-time", seconds);
    save_vector(options.predictions_file, texts, " ", "predictions");
    write_matrix_only(options, desc, data, predicted);
  } else {
    const double seconds = timer.get_time();
    std::cout << std::endl << "Total time to predict: " << seconds << std::endl;
    log.write("prediction-time", seconds);
    save_vector(options.predictions_file, predicted, " ", "predictions");
    report_scores(options, desc, data, predicted, log);
  }
  log.close();
}

}  // namespace

void cli_test_classify(const RandomForestOptions& options, FeatureType feature_type) {
  with_feature_type(feature_type, [&](auto f) { cli_test<decltype(f), int>(options); });
}

void cli_test_regress(const RandomForestOptions& options) { cli_test<double, double>(options); }

}  // namespace Sylvor
