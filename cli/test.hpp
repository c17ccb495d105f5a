// The test commands: read the description, the data and a model file,
// predict every instance, write the predictions (numbers, or texts with
// --print-string-labels) and score them: confusion matrices and the
// classification rate, or the mean squared error for regression. Main thread
// (prediction opens its own parallel regions).
#ifndef SYLVOR_CLI_TEST_HPP
#define SYLVOR_CLI_TEST_HPP

#include "Sylvor/dataset/feature_type.hpp"
#include "cli/config.hpp"

namespace Sylvor {

// A classification model over features of the given type (int labels).
void cli_test_classify(const RandomForestOptions& options, FeatureType feature_type);

// A regression model over double features and targets.
void cli_test_regress(const RandomForestOptions& options);

}  // namespace Sylvor

#endif
