// SIGINT and SIGTERM during the learn commands: the handler only records
// the signal in a flag that learning polls between nodes (WorkControl), so
// the command stops promptly by an InterruptedException, its output files
// untouched, and the program exits with status 128 + the signal's number
// (130, 143). Installed on the main thread before the command starts.
#ifndef SYLVOR_CLI_INTERRUPT_HPP
#define SYLVOR_CLI_INTERRUPT_HPP

#include <atomic>

namespace Sylvor {

// Installs the handlers for SIGINT and SIGTERM.
void catch_stop_signals();

// The flag the handlers set.
const std::atomic<bool>& stop_requested();

// The number of the signal that set the flag (0 when none did).
int stop_signal();

}  // namespace Sylvor

#endif
