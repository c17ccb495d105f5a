// How the module reports the library's failures: the 34 typed entries word
// them as the program's error lines less the program prefix, the general
// entries as plain messages, both as RuntimeError; and the check of a
// call's thread count. Stateless; any thread holding the interpreter lock.
#ifndef PYSYLVOR_ERRORS_HPP
#define PYSYLVOR_ERRORS_HPP

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/random.hpp"

namespace PySylvor {

namespace py = pybind11;
using namespace Sylvor;

// How an entry words the library's failures: the 34 typed entries as the
// program's error lines less the program prefix ("error: ..." and a newline,
// which their callers may match), the general entries as plain messages.
enum class Messages { AsTheProgram, Plain };

// Runs `work`, turning the library's failures into RuntimeError.
template <class Work>
auto guarded(Work&& work, Messages style = Messages::AsTheProgram) -> decltype(work()) {
  const bool plain = style == Messages::Plain;
  try {
    return work();
  } catch (const DataIOException& e) {
    const std::string line = std::to_string(e.get_line_no());
    throw std::runtime_error(plain ? "line " + line + ": " + e.get_message()
                                   : "error (line " + line + "): " + e.get_message() + "\n");
  } catch (const Exception& e) {
    throw std::runtime_error(plain ? e.get_message() : "error: " + e.get_message() + "\n");
  } catch (const std::string& message) {
    throw std::runtime_error(message);
  }
}

// The thread count of a call, given to each of its parallel regions (the
// process-wide OpenMP setting is never changed, so concurrent calls with
// other counts do not disturb each other).
inline void check_threads(int num_threads) {
  if (num_threads > max_threads) {
    throw py::value_error("num_threads must be at most " + std::to_string(max_threads) + ", not " +
                          std::to_string(num_threads));
  }
}

// The class count of a classification call.
inline void check_num_classes(int num_classes) {
  if (num_classes < 1) throw py::value_error("num_classes must be at least 1, not " + std::to_string(num_classes));
}

}  // namespace PySylvor

#endif
