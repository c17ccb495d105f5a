// The log file of a command: one "key value" line per measurement (timings,
// scores), each flushed as it is written. Without a file name it writes
// nothing. The lines go to a temporary file that close() puts in place of
// the log (OutputFile), so a command that fails or is interrupted leaves an
// earlier log untouched. Main thread.
#ifndef SYLVOR_CLI_LOG_HPP
#define SYLVOR_CLI_LOG_HPP

#include <memory>
#include <ostream>
#include <string>

#include "Sylvor/defs/output_file.hpp"

namespace Sylvor {

class CommandLog {
public:
  // Starts the log; an empty name keeps none.
  explicit CommandLog(const std::string& filename);

  template <class T>
  void write(const char* key, const T& value) {
    if (file) file->stream() << key << ' ' << value << std::endl;
  }

  // Puts the log in place, reporting a failed write.
  void close();

private:
  std::unique_ptr<OutputFile> file;
};

}  // namespace Sylvor

#endif
