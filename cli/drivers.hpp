// The drivers of the sylvor commands: each runs one command from its options
// record to its output files and console lines, on the main thread (the
// library opens the parallel regions). Generic over the feature type F and
// the label type L of the data set the command works on.
//
// Learning and testing are not built yet: the drivers report that the
// command is not available rather than pretending to work.
#ifndef SYLVOR_CLI_DRIVERS_HPP
#define SYLVOR_CLI_DRIVERS_HPP

#include "Sylvor/defs/exception.hpp"
#include "cli/config.hpp"

namespace Sylvor {

template <class F>
void cli_learn_classify(const RandomForestOptions& /*options*/) {
  throw Exception("learning classification forests is not available yet");
}

inline void cli_learn_regress(const RandomForestOptions& /*options*/) {
  throw Exception("learning regression forests is not available yet");
}

template <class F, class L>
void cli_test(const RandomForestOptions& /*options*/) {
  throw Exception("testing forests is not available yet");
}

}  // namespace Sylvor

#endif
