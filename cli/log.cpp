#include "cli/log.hpp"

namespace Sylvor {

CommandLog::CommandLog(const std::string& filename) {
  if (!filename.empty()) file = std::make_unique<OutputFile>(filename, "log");
}

void CommandLog::close() {
  if (file) file->commit();
  file.reset();
}

}  // namespace Sylvor
