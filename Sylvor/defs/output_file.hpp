// Output files written whole or not at all. An OutputFile writes to a
// temporary file beside its target (in the same folder, so that the rename
// cannot cross file systems); commit() flushes and closes it and renames it
// over the target. Until then the target is untouched, and a failure, or
// destruction without a commit (an exception, an interruption), removes the
// temporary file. A target that exists and is not a regular file (a device
// such as /dev/null, a pipe) is written directly; a symbolic link is
// followed, so the file it names is replaced.
//
// An OutputFile belongs to the thread that writes it; any number of them may
// be open at once. Temporary files are named ".NAME.tmp.PID.N" with a
// per-process counter, created exclusively with the usual permissions.
#ifndef SYLVOR_DEFS_OUTPUT_FILE_HPP
#define SYLVOR_DEFS_OUTPUT_FILE_HPP

#include <fstream>
#include <ostream>
#include <string>

namespace Sylvor {

class OutputFile {
public:
  // Opens the temporary file; throws Exception "could not write <what>
  // file: `PATH'" when it cannot be created.
  OutputFile(const std::string& path, const std::string& what);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  std::ostream& stream() { return out; }

  // Passes everything written so far to the file; throws the Exception
  // above (the target untouched) when it could not all be written. For
  // checks before other files are put in place.
  void flush();

  // Puts the written text in place of the target; throws the Exception
  // above (the target untouched) when not everything could be written.
  void commit();

private:
  [[noreturn]] void fail();

  std::string name;     // the target as given (for messages)
  std::string path;     // the target (after following a symbolic link)
  std::string what;
  std::string written;  // the file being written: the temporary one, or the target itself
  std::ofstream out;
  bool direct = false;  // writing the target itself (not a regular file)
  bool done = false;
};

}  // namespace Sylvor

#endif
