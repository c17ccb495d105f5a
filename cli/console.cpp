#include "cli/console.hpp"

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

DataSetDescription read_command_description(const RandomForestOptions& options) {
  DataSetDescription desc = read_sylvor_description(options.desc_file);
  if (options.header) desc.set_header(true);
  return desc;
}

std::string model_description_path(const std::string& model_file) { return model_file + ".bdf"; }

void check_standard_output() {
  std::cout.flush();
  if (!std::cout) throw Exception("could not write to standard output");
}

CommandProgress::CommandProgress(const RandomForestOptions& options, std::size_t total, const char* what,
                                 const char* unit) {
  if (options.quiet || !standard_error_is_terminal()) return;
  progress = std::make_unique<ProgressCounter>(total);
  line = std::make_unique<ProgressLine>(*progress, what, unit, write_to_standard_error);
}

void CommandProgress::end() {
  if (line) line->stop();
}

}  // namespace Sylvor
