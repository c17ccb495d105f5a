// The log file of a command: one "key value" line per measurement (timings,
// scores), each flushed as it is written. Without a file name it writes
// nothing. Created at the start of the command; a file that cannot be
// written is an error. Main thread.
#ifndef SYLVOR_CLI_LOG_HPP
#define SYLVOR_CLI_LOG_HPP

#include <fstream>
#include <ostream>
#include <string>

namespace Sylvor {

class CommandLog {
public:
  // Opens (creates or truncates) the file; an empty name keeps no log.
  explicit CommandLog(const std::string& filename);

  template <class T>
  void write(const char* key, const T& value) {
    if (out.is_open()) out << key << ' ' << value << std::endl;
  }

  // Closes the file, reporting a failed write.
  void close();

private:
  std::string name;
  std::ofstream out;
};

}  // namespace Sylvor

#endif
