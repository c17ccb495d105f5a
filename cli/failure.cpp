#include "cli/failure.hpp"

#include "Sylvor/defs/exception.hpp"
#include "cli/interrupt.hpp"
#include "cli/preflight.hpp"

namespace Sylvor {

std::string failure_text(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const OptionProblem& problem) {
    return "error: " + problem.message;
  } catch (const DataIOException& e) {
    return "error (line " + std::to_string(e.get_line_no()) + "): " + e.get_message();
  } catch (const Exception& e) {
    return "error: " + e.get_message();
  } catch (const std::string& message) {
    return "error: " + message;
  } catch (const std::exception& e) {
    // An allocation failure or another standard error is a failed command.
    return std::string("error: ") + e.what();
  } catch (...) {
    return "error: unexpected error";
  }
}

int failure_status(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const OptionProblem&) {
    return 1;
  } catch (const InterruptedException&) {
    return 128 + stop_signal();
  } catch (...) {
    return 2;
  }
}

}  // namespace Sylvor
