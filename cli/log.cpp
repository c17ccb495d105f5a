#include "cli/log.hpp"

#include "Sylvor/defs/string.hpp"

namespace Sylvor {

CommandLog::CommandLog(const std::string& filename) : name(filename) {
  if (!name.empty()) open_output_file(out, name, "log");
}

void CommandLog::close() {
  if (out.is_open()) close_output_file(out, name, "log");
}

}  // namespace Sylvor
