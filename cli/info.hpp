// The info command: a summary of a model file (trees, nodes, leaves, depth,
// split features, leaf labels), read in either model format, or with --dot
// one of its trees as a Graphviz DOT graph. Main thread.
#ifndef SYLVOR_CLI_INFO_HPP
#define SYLVOR_CLI_INFO_HPP

#include <ostream>

#include "cli/config.hpp"

namespace Sylvor {

// Prints the summary of --model-file, or with --dot the DOT graph of tree
// --tree (nodes deeper than --max-depth elided), to --out (written whole or
// not at all) or else to `out`; --desc-file, when given, names the classes
// of the leaf labels and the features.
void cli_info(const RandomForestOptions& options, std::ostream& out);

}  // namespace Sylvor

#endif
