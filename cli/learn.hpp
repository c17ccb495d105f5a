// The learn commands: read the description and the data, learn a forest
// with the task and settings the options give, report the out-of-bag error
// and permutation importances when asked, and write the model, importance
// and log files. Main thread (learning opens its own parallel region).
#ifndef SYLVOR_CLI_LEARN_HPP
#define SYLVOR_CLI_LEARN_HPP

#include "Sylvor/dataset/feature_type.hpp"
#include "Sylvor/defs/random.hpp"
#include "cli/config.hpp"

namespace Sylvor {

// The generator pool of a learn command, seeded as the options say (from
// --seed, from the words of --rng-file, or from /dev/urandom) with a
// generator for each of its threads and at least 32; throws Exception when
// the seed file cannot be read.
void seed_command_pool(const RandomForestOptions& options, XorShiftRNGPool& pool);

// A classification forest over features of the given type (int labels),
// learned with the generators of `pool`.
void cli_learn_classify(const RandomForestOptions& options, FeatureType feature_type, const XorShiftRNGPool& pool);

// A regression forest over double features and targets; keeps no log.
void cli_learn_regress(const RandomForestOptions& options, const XorShiftRNGPool& pool);

}  // namespace Sylvor

#endif
