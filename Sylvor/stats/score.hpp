// Scoring predictions against the labels of a data set: a confusion matrix
// (rows actual, columns predicted, label L at index L + 1) with the
// classification rate, or the mean squared error for regression; and the
// two printed forms of the matrix (raw counts and row fractions).
//
// A ClassifierStats is filled once by score() and then printed; it keeps
// no reference to the data or the description. Every labelled instance
// counts: a label or prediction without a cell in the printed matrix (other
// than 0 .. K - 1, or -1 and +1 for plus-one-minus-one labels) is rejected
// before anything is counted. Only the cells that count something are
// stored, so scoring costs memory and time in the rows and the cells seen,
// not in the square of the classes; the printed forms hold K x K cells and
// are made only for at most max_printed_classes classes.
// Used by one thread.
#ifndef SYLVOR_STATS_SCORE_HPP
#define SYLVOR_STATS_SCORE_HPP

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <unordered_map>
#include <string>
#include <type_traits>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

// The most classes whose confusion matrices are printed: a matrix of K
// classes has K x K cells.
constexpr std::size_t max_printed_classes = 1000;

class ClassifierStats {
public:
  ClassifierStats() { set_num_classes(2, true); }

  // K + 2 rows and columns and K + 2 counts; with `reset`, everything but
  // the sum of squared residuals becomes 0.
  void set_num_classes(std::size_t num_classes, bool reset);

  // The matrix cell of (actual, predicted): labels -1 .. K.
  int& operator()(int actual, int predicted) { return cells[cell_key(actual, predicted)]; }
  int operator()(int actual, int predicted) const {
    const auto found = cells.find(cell_key(actual, predicted));
    return found == cells.end() ? 0 : found->second;
  }
  int get_actual_label_count(int actual) const { return counts[static_cast<std::size_t>(actual + 1)]; }
  int get_num_valid_labels() const { return total_valid_labels; }
  int get_num_correct_predictions() const { return total_correct_predictions; }
  LabelingType get_labeling() const { return ltype; }

  // Scores integer predictions (classification; instances labelled -2 are
  // skipped) or double predictions (regression: every instance counts).
  template <class DataSet, class Prediction>
  void score(const DataSet& data, const std::vector<Prediction>& predicted, bool reset) {
    if (data.get_num_instances() != predicted.size()) throw Exception("data set, prediction set mismatch");
    set_num_classes(data.get_num_classes(), reset);
    ltype = data.get_labeling();
    if constexpr (std::is_floating_point<Prediction>::value) {
      sum_residual = 0.0;
      for (std::size_t i = 0; i < predicted.size(); ++i) {
        const double residual = static_cast<double>(data.get_label(i)) - static_cast<double>(predicted[i]);
        sum_residual += residual * residual;
      }
      total_valid_labels = static_cast<int>(predicted.size());
    } else {
      // Every labelled instance counts in the rate, so its label and its
      // prediction must each have a cell of the printed matrix.
      const int k = static_cast<int>(data.get_num_classes());
      const bool plus_minus = ltype == PlusOneMinusOne;
      auto check = [k, plus_minus](long value, std::size_t i, const char* what) {
        const bool has_cell = plus_minus ? (value == -1 || value == 1) : (value >= 0 && value < k);
        if (!has_cell) {
          throw Exception(std::string(what) + " " + std::to_string(value) + " of instance " + std::to_string(i) +
                          " has no cell in the confusion matrix of the classes " +
                          (plus_minus ? std::string("-1 and +1") : "0 to " + std::to_string(k - 1)));
        }
      };
      for (std::size_t i = 0; i < predicted.size(); ++i) {
        const long actual = static_cast<long>(data.get_label(i));
        if (actual == -2) continue;
        check(actual, i, "label");
        check(static_cast<long>(predicted[i]), i, "prediction");
      }
      for (std::size_t i = 0; i < predicted.size(); ++i) {
        const int actual = static_cast<int>(data.get_label(i));
        if (actual == -2) continue;
        const int guess = static_cast<int>(predicted[i]);
        ++total_valid_labels;
        ++(*this)(actual, guess);
        ++counts[static_cast<std::size_t>(actual + 1)];
        if (actual == guess) ++total_correct_predictions;
      }
    }
  }

  double get_classification_rate() const {
    return static_cast<double>(total_correct_predictions) / static_cast<double>(total_valid_labels);
  }
  double get_mean_squared_error() const { return sum_residual / static_cast<double>(total_valid_labels); }

  // The number of classes K of the matrix.
  std::size_t get_num_classes() const { return counts.size() - 2; }

  // Prints the matrix naming labels through the description: raw counts, or
  // with `percentage` each cell as a fraction of its row's actual count.
  // Throws Exception for more than max_printed_classes classes.
  void output_confusion_matrix_with_string_labels(std::ostream& out, const DataSetDescription& desc,
                                                  bool percentage) const;

private:
  static std::uint64_t cell_key(int actual, int predicted) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(actual + 1)) << 32) |
           static_cast<std::uint32_t>(predicted + 1);
  }

  std::unordered_map<std::uint64_t, int> cells;  // the cells that count something
  std::vector<int> counts;
  int total_correct_predictions = 0;
  int total_valid_labels = 0;
  LabelingType ltype = DiscreteZeroOnward;
  double sum_residual = 0.0;
};

}  // namespace Sylvor

#endif
