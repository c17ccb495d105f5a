// What the learn and test commands share on the console: reading the data
// set with its timing line, and the progress line of long work.
//
// The progress line is drawn on standard error only when it is a terminal
// and --quiet is not given, so transcripts and logs never hold it. Main
// thread (the line's own display thread aside).
#ifndef SYLVOR_CLI_CONSOLE_HPP
#define SYLVOR_CLI_CONSOLE_HPP

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset_description.hpp"
#include "Sylvor/defs/progress.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "cli/config.hpp"
#include "cli/log.hpp"
#include "cli/stopwatch.hpp"

namespace Sylvor {

// Flushes standard output and throws Exception "could not write to standard
// output" when anything written there was lost (a full disk, a closed pipe).
void check_standard_output();

// The description file of the command (the default description without
// one), with a header row when --header is given.
DataSetDescription read_command_description(const RandomForestOptions& options);

// MODEL.bdf: the description a learn command writes beside the model when
// it took class or feature names from the data.
std::string model_description_path(const std::string& model_file);

// Reads the data set (or the selected rows of it) and reports the time;
// missing values stay NaN for the command to fill. The cells of
// categorical columns are numbered as `coding` says. The read's warnings
// go to standard error; the rest of what it noticed to `notes`.
template <class DataSet>
void read_data(const RandomForestOptions& options, const DataSetDescription& desc, DataSet& data, CommandLog& log,
               const LevelCoding& coding = LevelCoding(), ReadNotes* notes = nullptr) {
  ReadNotes own_notes;
  if (notes == nullptr) notes = &own_notes;
  cvd_timer timer;
  if (!options.selection_file.empty()) {
    const std::vector<int> selected_instance_indices = read_selection(options.selection_file);
    timer.reset();
    read_data_subset(data, options.in_file, "csv", desc, selected_instance_indices, coding, notes);
  } else {
    timer.reset();
    read_data_set(data, options.in_file, "csv", desc, coding, notes);
  }
  for (const std::string& warning : notes->warnings) {
    std::cerr << "sylvor warning: data file `" << options.in_file << "': " << warning << std::endl;
  }
  const double seconds = timer.get_time();
  std::cout << std::endl << "Total time to read dataset: " << seconds << std::endl;
  log.write("dataset-read-time", seconds);
}

// The progress line of long work; counter() is null when nothing is shown.
class CommandProgress {
public:
  CommandProgress(const RandomForestOptions& options, std::size_t total, const char* what, const char* unit);
  ProgressCounter* counter() { return progress.get(); }
  // Clears the line (before the command prints again).
  void end();

private:
  std::unique_ptr<ProgressCounter> progress;
  std::unique_ptr<ProgressLine> line;  // declared after the counter it reads: destroyed first
};

}  // namespace Sylvor

#endif
