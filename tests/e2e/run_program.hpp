// Runs the built sylvor program as a child process and collects what it
// wrote on standard output and standard error, and its exit status.
#ifndef SYLVOR_TESTS_RUN_PROGRAM_HPP
#define SYLVOR_TESTS_RUN_PROGRAM_HPP

#include <string>
#include <vector>

namespace SylvorTest {

struct ProgramResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the program did not exit normally
};

// Runs the program with `args` (not counting the program name) in `directory`
// (the current one when empty), with standard input closed.
ProgramResult run_sylvor(const std::vector<std::string>& args, const std::string& directory = "");

// As run_sylvor, but with standard error on a pseudo-terminal: `err` holds
// what the program wrote to that terminal.
ProgramResult run_sylvor_on_terminal(const std::vector<std::string>& args);

// As run_sylvor, but sends `signal_number` to the program once its standard
// output holds `marker` (and a moment has passed); `seconds` is the time
// from the signal to the program's exit. Throws when the marker does not
// appear within a minute.
ProgramResult run_sylvor_signalled(const std::vector<std::string>& args, int signal_number, const std::string& marker,
                                   double& seconds);

// The whole contents of a file (empty when it cannot be read).
std::string slurp(const std::string& path);

// The lines of a text, without their newline characters.
std::vector<std::string> lines_of(const std::string& text);

// A fresh empty directory under the test temporary directory.
std::string make_temp_directory();

}  // namespace SylvorTest

#endif
