// What a failed command says and how it ends: the text of its error line
// after "sylvor COMMAND " ("error: MESSAGE", or "error (line N): MESSAGE"
// for a data input error) and its exit status (1 for an option problem,
// 128 + the signal for an interrupted learn, 2 otherwise), from the
// exception it ended with. Main thread.
#ifndef SYLVOR_CLI_FAILURE_HPP
#define SYLVOR_CLI_FAILURE_HPP

#include <exception>
#include <string>

namespace Sylvor {

std::string failure_text(const std::exception_ptr& failure);

int failure_status(const std::exception_ptr& failure);

}  // namespace Sylvor

#endif
