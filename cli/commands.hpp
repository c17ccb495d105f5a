// The whole run of the sylvor program: command word, options, thread count,
// seeding, dispatch to a driver and the top-level error handler that turns
// every failure into one line on standard error and an exit status.
// Single-threaded until a driver enters a parallel region.
#ifndef SYLVOR_CLI_COMMANDS_HPP
#define SYLVOR_CLI_COMMANDS_HPP

#include <string>

#include "cli/config.hpp"

namespace Sylvor {

// Runs the driver that the command word names (seeding the generator pool
// first for the learning commands). Throws what the driver throws, and the
// strings "Invalid command: ..." and "unknown feature type: ...".
void dispatch_command(const std::string& command, const RandomForestOptions& options);

// The program: returns its exit status (0 success, 1 usage or option error,
// 2 command error).
int run_sylvor(int argc, char** argv);

}  // namespace Sylvor

#endif
