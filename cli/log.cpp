#include "cli/log.hpp"

#include "Sylvor/defs/exception.hpp"

namespace Sylvor {

CommandLog::CommandLog(const std::string& filename) {
  if (!filename.empty()) file = std::make_unique<OutputFile>(filename, "log");
}

void CommandLog::close() {
  if (file) file->commit();
  file.reset();
}

void CommandLog::fail(const std::string& error_line) {
  if (!file) return;
  file->stream() << error_line << std::endl;
  try {
    file->commit();
  } catch (const Exception&) {
    // The log could not be written: the earlier one stays, and the run's
    // own error is reported.
  }
  file.reset();
}

}  // namespace Sylvor
