// The log file of a command: one "key value" line per measurement (timings,
// scores), each flushed as it is written. Without a file name it writes
// nothing. The lines go to a temporary file that close() puts in place of
// the log (OutputFile). The log of a failed run is that run's: run_logged
// ends it with the error line ("error: MESSAGE", as printed after "sylvor
// COMMAND ") and puts it in place, so the log never describes another run.
// Main thread.
#ifndef SYLVOR_CLI_LOG_HPP
#define SYLVOR_CLI_LOG_HPP

#include <memory>
#include <ostream>
#include <string>

#include "Sylvor/defs/output_file.hpp"
#include "cli/failure.hpp"

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

  // Ends the log of a failed run with `error_line` and puts it in place
  // (quietly: the run's own error is what it reports).
  void fail(const std::string& error_line);

private:
  std::unique_ptr<OutputFile> file;
};

// Runs body(log) with the log of `filename` (none when empty), closing it
// at the end; when body throws, the log ends with the error line and is put
// in place, and the exception goes on.
template <class Body>
void run_logged(const std::string& filename, Body body) {
  CommandLog log(filename);
  try {
    body(log);
  } catch (...) {
    log.fail(failure_text(std::current_exception()));
    throw;
  }
  log.close();
}

}  // namespace Sylvor

#endif
