#include "cli/test.hpp"

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/leaf_samples_io.hpp"
#include "Sylvor/io/medians_io.hpp"
#include "Sylvor/io/tree_io.hpp"
#include "Sylvor/predict/predictor.hpp"
#include "Sylvor/predict/quantiles.hpp"
#include "Sylvor/stats/score.hpp"
#include "cli/console.hpp"
#include "cli/log.hpp"
#include "cli/preflight.hpp"
#include "cli/stopwatch.hpp"

namespace Sylvor {

namespace {

// Reads the model and, for a model that does not learn where missing
// values go, its recorded medians (which must be one per feature of the
// data), and reports the time. A model without trees, or a
// classification model with a leaf outside the description's classes, is
// refused here, before anything is predicted.
template <class L>
Forest<L> read_model_timed(const RandomForestOptions& options, const DataSetDescription& desc,
                           std::size_t num_features, ModelMedians& medians, FileFingerprint& print, CommandLog& log) {
  std::cout << "Reading forest from " << options.model_file << std::endl;
  cvd_timer timer;
  Forest<L> forest;
  // `print` is that of the bytes read: the companions must be theirs.
  read_forest(options.model_file, forest, &print);
  if (forest.empty()) throw Exception("model file `" + options.model_file + "' holds no trees");
  if constexpr (std::is_integral<L>::value) {
    try {
      check_leaf_classes(forest, desc.get_labeling() == PlusOneMinusOne, desc.get_num_classes());
    } catch (const Exception& e) {
      throw Exception("model file `" + options.model_file + "' does not fit the description" +
                      (options.desc_file.empty() ? std::string() : " `" + options.desc_file + "'") + ": " +
                      e.get_message());
    }
  }
  if (model_version(forest) == 1) medians = read_model_medians(options.model_file, num_features, &print);
  const double seconds = timer.get_time();
  std::cout << "Total time to read forest " << seconds << std::endl;
  log.write("forest-read-time", seconds);
  return forest;
}

// Throws Exception unless the description makes as many columns
// categorical as the model has categorical features (the reader has checked
// that each such column is one of them).
void check_categorical_features(const RandomForestOptions& options, const DataSetDescription& desc,
                                const FeatureLevels& levels) {
  const FeatureLevels model = levels.none() ? read_model_levels(options.model_file) : levels;
  std::size_t categorical = 0;
  for (std::size_t f = 0; f < model.names.size(); ++f) categorical += model.is_categorical(f);
  if (categorical != desc.get_categorical_columns().size()) {
    throw Exception("model file `" + options.model_file + "' has " + std::to_string(categorical) +
                    " categorical features, but the description" +
                    (options.desc_file.empty() ? std::string() : " `" + options.desc_file + "'") + " makes " +
                    std::to_string(desc.get_categorical_columns().size()) +
                    " columns categorical: test with the description the model was learned with");
  }
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

// The scores of a test, worked out (and every matrix made) before anything
// is printed or written: the evaluation block of a classification test,
// the mean squared error of a regression test.
struct TestScores {
  std::string console;  // the lines after the predictions
  std::string matrix;   // the --conf-matrix-file text, when asked for
  std::string log_key;  // "classification-rate" or "mse"; empty for none
  double value = 0.0;
};

// The raw-count matrix, or a note where the classes are too many to print.
std::string matrix_text(const ClassifierStats& stats, const DataSetDescription& desc, bool percentage) {
  std::ostringstream out;
  if (stats.get_num_classes() > max_printed_classes) {
    out << "(not printed: " << stats.get_num_classes() << " classes, more than " << max_printed_classes << ")"
        << std::endl;
  } else {
    stats.output_confusion_matrix_with_string_labels(out, desc, percentage);
  }
  return out.str();
}

// A classification test: the matrices and the rate (the console block only
// without string labels; the matrix file whenever it is asked for).
template <class DataSet>
TestScores score_test(const RandomForestOptions& options, const DataSetDescription& desc, const DataSet& data,
                      const std::vector<int>& predicted) {
  TestScores scores;
  if (options.print_string_labels && options.conf_matrix_file.empty()) return scores;
  ClassifierStats stats;
  stats.score(data, predicted, true);
  if (!options.conf_matrix_file.empty()) {
    std::ostringstream matrix;
    stats.output_confusion_matrix_with_string_labels(matrix, desc, false);
    scores.matrix = matrix.str();
  }
  if (options.print_string_labels) return scores;
  const double rate = stats.get_classification_rate();
  std::ostringstream out;
  out << std::endl << "Confusion Matrix (cumulative):" << std::endl << std::endl;
  out << matrix_text(stats, desc, false);
  out << std::endl << std::endl << "Confusion Matrix (percentage):" << std::endl << std::endl;
  out << "Classification Rate: " << rate << std::endl;
  out << matrix_text(stats, desc, true);
  scores.console = out.str();
  scores.log_key = "classification-rate";
  scores.value = rate;
  return scores;
}

// A regression test: the mean squared error (nothing with string labels).
template <class DataSet>
TestScores score_test(const RandomForestOptions& options, const DataSetDescription&, const DataSet& data,
                      const std::vector<double>& predicted) {
  TestScores scores;
  if (options.print_string_labels) return scores;
  ClassifierStats stats;
  stats.score(data, predicted, true);
  const double mse = stats.get_mean_squared_error();
  std::ostringstream out;
  out << std::endl << "Mean Squared Error (regression): " << mse << std::endl;
  scores.console = out.str();
  scores.log_key = "mse";
  scores.value = mse;
  return scores;
}

// Writes the predictions (texts or values) to the --predictions-file
// staged in `files`, or to standard output.
template <class T>
void write_predictions(const RandomForestOptions& options, const std::vector<T>& values,
                       std::vector<std::unique_ptr<OutputFile>>& files) {
  if (options.predictions_file.empty()) {
    save_vector(std::cout, values, " ");
    std::cout.flush();
    if (!std::cout) throw Exception("could not write the predictions to standard output");
    return;
  }
  files.push_back(std::make_unique<OutputFile>(options.predictions_file, "predictions"));
  save_vector(files.back()->stream(), values, " ");
}

// Per instance, its quantiles (instances x quantiles), reported with their
// time.
template <class DataSet>
std::vector<double> predicted_quantiles(const RandomForestOptions& options, const Forest<double>& forest,
                                        const LeafSamples& samples, const DataSet& data,
                                        const std::vector<double>& quantiles) {
  cvd_timer timer;
  std::vector<double> values(data.get_num_instances() * quantiles.size());
  const FlatForest<double> flat(forest);
  predict_quantiles(flat, samples, rank_targets(samples.targets), data, quantiles, options.num_threads,
                    [&](std::size_t i, std::size_t j, double v) { values[i * quantiles.size() + j] = v; });
  std::cout << "Total time to predict quantiles: " << timer.get_time() << std::endl;
  return values;
}

// One line per instance: its mean, then its quantiles, exactly, to the
// --predictions-file staged in `files` or to standard output.
void write_quantile_lines(const RandomForestOptions& options, const std::vector<double>& means,
                          const std::vector<double>& quantiles, std::vector<std::unique_ptr<OutputFile>>& files) {
  if (!options.predictions_file.empty()) files.push_back(std::make_unique<OutputFile>(options.predictions_file, "predictions"));
  std::ostream& out = options.predictions_file.empty() ? std::cout : files.back()->stream();
  const std::size_t per_row = means.empty() ? 0 : quantiles.size() / means.size();
  for (std::size_t i = 0; i < means.size(); ++i) {
    out << exact(means[i]);
    for (std::size_t j = 0; j < per_row; ++j) out << ' ' << exact(quantiles[i * per_row + j]);
    out << '\n';
  }
  if (options.predictions_file.empty()) {
    std::cout.flush();
    if (!std::cout) throw Exception("could not write the predictions to standard output");
  }
}

// A description that names no class takes the class names the model was
// learned with, from the description written beside it.
void take_model_class_names(const RandomForestOptions& options, DataSetDescription& desc) {
  const std::string path = model_description_path(options.model_file);
  std::ifstream probe(path);
  if (!probe) {
    throw Exception("the description" + (options.desc_file.empty() ? std::string() : " `" + options.desc_file + "'") +
                    " names no class, and the class names learned with the model cannot be read from `" + path +
                    "' (written beside the model when learning took them from the data)");
  }
  const DataSetDescription learned = read_sylvor_description(path);
  if (learned.get_label_map().size() == 0) throw Exception("the model's description `" + path + "' names no class");
  for (const auto& [id, name] : learned.get_label_map().get_pairs()) desc.add_label_pair(name, id);
}

// The leaf samples beside a regression model (none for classification).
template <class L>
LeafSamples leaf_samples_of(const RandomForestOptions& options, const FileFingerprint& print, const Forest<L>& forest) {
  if constexpr (std::is_integral<L>::value) {
    return LeafSamples();
  } else {
    return read_model_leaf_samples(options.model_file, print, forest);
  }
}

// The description of a test (classification: with the model's class names
// when it names none), checked against the confusion matrix asked for.
template <class L>
DataSetDescription test_description(const RandomForestOptions& options) {
  DataSetDescription desc = read_command_description(options);
  if (std::is_integral<L>::value && desc.collects_labels()) take_model_class_names(options, desc);
  if (std::is_integral<L>::value && !options.conf_matrix_file.empty() &&
      static_cast<std::size_t>(desc.get_num_classes()) > max_printed_classes) {
    throw Exception("--conf-matrix-file: the description declares " + std::to_string(desc.get_num_classes()) +
                    " classes, but a confusion matrix is written for at most " +
                    std::to_string(max_printed_classes));
  }
  return desc;
}

template <class F, class L>
void test_logged(const RandomForestOptions& options, CommandLog& log) {
  const DataSetDescription desc = test_description<L>(options);
  MemoryDataSet<F, L> data;
  // Categorical cells are numbered by the level names the model keeps.
  FeatureLevels levels;
  if (!desc.get_categorical_columns().empty()) levels = read_model_levels(options.model_file);
  read_data(options, desc, data, log, LevelCoding{&levels, false});
  ModelMedians medians;
  FileFingerprint print;
  const Forest<L> forest = read_model_timed<L>(options, desc, data.get_num_features(), medians, print, log);
  const std::vector<double> quantiles = quantiles_of(options);
  const LeafSamples samples = quantiles.empty() ? LeafSamples() : leaf_samples_of(options, print, forest);
  check_categorical_features(options, desc, levels);
  // A forest that learned where missing values go takes them as they are.
  if (model_version(forest) == 1) fill_missing_values(options, medians, data);

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
  // The conversion to names counts as prediction time.
  std::vector<std::string> texts;
  if (options.print_string_labels) texts = prediction_texts(desc, predicted);
  const double seconds = timer.get_time();
  // Everything that can fail is worked out before any output is put in
  // place, so a failed test leaves earlier outputs as they were.
  const TestScores scores = score_test(options, desc, data, predicted);
  std::cout << std::endl << "Total time to predict: " << seconds << std::endl;
  log.write("prediction-time", seconds);
  std::vector<std::unique_ptr<OutputFile>> files;
  if (!quantiles.empty()) {
    if constexpr (!std::is_integral<L>::value) {
      write_quantile_lines(options, predicted, predicted_quantiles(options, forest, samples, data, quantiles), files);
    }
  } else if (options.print_string_labels) {
    write_predictions(options, texts, files);
  } else {
    write_predictions(options, predicted, files);
  }
  std::cout << scores.console;
  if (!scores.log_key.empty()) log.write(scores.log_key.c_str(), scores.value);
  if (!options.conf_matrix_file.empty() && std::is_integral<L>::value) {
    files.push_back(std::make_unique<OutputFile>(options.conf_matrix_file, "confusion matrix"));
    files.back()->stream() << scores.matrix;
  }
  for (const auto& file : files) file->flush();
  check_standard_output();
  for (const auto& file : files) file->commit();
}

template <class F, class L>
void cli_test(const RandomForestOptions& options) {
  run_logged(options.log_file, [&](CommandLog& log) { test_logged<F, L>(options, log); });
}

}  // namespace

void cli_test_classify(const RandomForestOptions& options, FeatureType feature_type) {
  with_feature_type(feature_type, [&](auto f) { cli_test<decltype(f), int>(options); });
}

void cli_test_regress(const RandomForestOptions& options) { cli_test<double, double>(options); }

}  // namespace Sylvor
