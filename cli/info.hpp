// The info command: a summary of a model file (trees, nodes, leaves, depth,
// split features, leaf labels), read in either model format. Main thread.
#ifndef SYLVOR_CLI_INFO_HPP
#define SYLVOR_CLI_INFO_HPP

#include <ostream>

#include "cli/config.hpp"

namespace Sylvor {

// Prints the summary of --model-file to `out`; --desc-file, when given,
// names the classes of the leaf labels.
void cli_info(const RandomForestOptions& options, std::ostream& out);

}  // namespace Sylvor

#endif
