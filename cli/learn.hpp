// The learn commands: read the description and the data, learn a forest
// with the task and settings the options give, report the out-of-bag error
// and permutation importances when asked, and write the model, importance
// and log files. Main thread (learning opens its own parallel region).
#ifndef SYLVOR_CLI_LEARN_HPP
#define SYLVOR_CLI_LEARN_HPP

#include "Sylvor/dataset/feature_type.hpp"
#include "cli/config.hpp"

namespace Sylvor {

// A classification forest over features of the given type (int labels).
void cli_learn_classify(const RandomForestOptions& options, FeatureType feature_type);

// A regression forest over double features and targets; keeps no log.
void cli_learn_regress(const RandomForestOptions& options);

}  // namespace Sylvor

#endif
