// The companion file of a regression model learned with its leaf samples
// (MODEL.leaves, beside the model): the draws each leaf of each tree holds
// and the training targets, which conditional quantiles need. Models keep
// their formats; a model without the companion is read as before.
//
// The text, written whole or not at all (see StagedModel), words separated
// by white space:
//   # comment lines (at the top only)
//   model-fingerprint fnv1a64 HEX SIZE
//   targets N        then the N targets, exact numbers, ten a line
//   trees T
//   tree K nodes M draws D     for K = 0 .. T - 1, then
//   offsets O0 .. OM           (M + 1 numbers)
//   draws I0 .. I(D-1)         (instance numbers, each leaf's in target order)
//   end
// The fingerprint is that of the model bytes it was written with (see
// medians_io.hpp): a companion beside another model is told apart. Reading
// checks the words, the counts and, against the model's trees, every
// invariant of leaf_samples.hpp.
// Functions run on the calling thread.
#ifndef SYLVOR_IO_LEAF_SAMPLES_IO_HPP
#define SYLVOR_IO_LEAF_SAMPLES_IO_HPP

#include <istream>
#include <ostream>
#include <string>

#include "Sylvor/defs/fingerprint.hpp"
#include "Sylvor/model/leaf_samples.hpp"
#include "Sylvor/model/tree.hpp"

namespace Sylvor {

// MODEL.leaves.
std::string leaf_samples_path(const std::string& model_file);

// The companion's text for `samples`, belonging to the model bytes of
// fingerprint `model_print`.
void write_leaf_samples_text(std::ostream& out, const LeafSamples& samples, const FileFingerprint& model_print);

// The leaf samples recorded for the model `model_file` whose bytes, as the
// caller read them, have fingerprint `model_print` and hold `trees`.
// Throws Exception naming the companion when it is missing, was written for
// other model contents, or is malformed (naming what is wrong), or when its
// records do not fit the trees.
LeafSamples read_model_leaf_samples(const std::string& model_file, const FileFingerprint& model_print,
                                    const Forest<double>& trees);

// As above, from the companion's text on `in`, `path` naming it.
LeafSamples read_leaf_samples_text(std::istream& in, const std::string& path, const FileFingerprint& model_print,
                                   const Forest<double>& trees);

}  // namespace Sylvor

#endif
