#include "Sylvor/stats/score.hpp"

#include <algorithm>

namespace Sylvor {

void ClassifierStats::set_num_classes(std::size_t num_classes, bool reset) {
  const std::size_t size = num_classes + 2;
  counts.resize(size, 0);
  if (reset) {
    cells.clear();
    std::fill(counts.begin(), counts.end(), 0);
    total_correct_predictions = 0;
    total_valid_labels = 0;
  }
}

void ClassifierStats::output_confusion_matrix_with_string_labels(std::ostream& out,
                                                                 const DataSetDescription& desc,
                                                                 bool percentage) const {
  if (get_num_classes() > max_printed_classes) {
    throw Exception("a confusion matrix is printed for at most " + std::to_string(max_printed_classes) +
                    " classes, not " + std::to_string(get_num_classes()));
  }
  const int k = static_cast<int>(get_num_classes());
  // Zero-onward classes are shown by name; plus-one-minus-one ones as -1, +1.
  std::vector<std::string> names;
  std::size_t width = 5;
  for (int i = 0; ltype == DiscreteZeroOnward && i < k; ++i) {
    names.push_back(desc.get_string_label(i));
    width = std::max(width, names.back().size());
  }
  auto padded = [width](const std::string& name) {
    return name + std::string(name.size() < width ? width - name.size() : 0, ' ');
  };
  // Cells beyond the matrix (the +1 column of a data set declaring fewer
  // than two classes) print as 0. Rows and columns are label + 1.
  auto cell = [&](int row, int column) {
    const int value = (*this)(row - 1, column - 1);
    if (!percentage) {
      out << value;
      return;
    }
    const std::size_t r = static_cast<std::size_t>(row);
    const int row_count = r < counts.size() ? counts[r] : 0;
    out << (row_count <= 0 ? 0.0 : static_cast<double>(value) / static_cast<double>(row_count));
  };
  if (ltype == DiscreteZeroOnward) {
    out << std::string(width, ' ') << '\t';
    for (int i = 0; i < k; ++i) out << padded(names[static_cast<std::size_t>(i)]) << '\t';
    out << std::endl;
    for (int r = 0; r < k; ++r) {
      out << padded(names[static_cast<std::size_t>(r)]);
      for (int j = 0; j < k; ++j) {
        out << '\t';
        cell(r + 1, j + 1);
      }
      out << std::endl;
    }
  } else if (ltype == PlusOneMinusOne) {
    out << "\t-1\t+1" << std::endl;
    out << "-1\t";
    cell(0, 0);
    out << '\t';
    cell(0, 2);
    out << std::endl;
    out << "+1\t";
    cell(2, 0);
    out << '\t';
    cell(2, 2);
    out << std::endl;
  }
}

}  // namespace Sylvor
