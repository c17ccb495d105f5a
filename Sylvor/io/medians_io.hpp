// The companion file of a model that records the medians of its training
// columns, so that missing values met at prediction are filled with the
// same values whatever rows come with them. The file is named after the
// model (MODEL.medians) and lies beside it; model files themselves keep
// their formats, so every reader of models reads them as before.
//
// The text, written whole or not at all (see OutputFile):
//   # comment lines
//   model-fingerprint fnv1a64 HEX SIZE
//   medians V0 V1 ... (one exact number per feature)
// The fingerprint is the FNV-1a hash and byte size of the model bytes it was
// written with (see FingerprintingStream), not of whatever lies at MODEL
// when it is written, so a companion left beside another model (a model
// replaced by a run that wrote none, two runs writing one path at once, a
// companion copied without its model) is told apart from the model's own.
// Writers put the companion in place before the model (see model_file.hpp).
// All functions run on the calling thread.
#ifndef SYLVOR_IO_MEDIANS_IO_HPP
#define SYLVOR_IO_MEDIANS_IO_HPP

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Sylvor/defs/fingerprint.hpp"

namespace Sylvor {

// MODEL.medians.
std::string medians_path(const std::string& model_file);

// True when a model written to `model_file` gets companion files: it does
// not exist yet or is a regular file (a device or a pipe gets none).
bool model_gets_companions(const std::string& model_file);

// Writes the companion of `model_file` holding `medians` (at least one),
// recording `model_print`, the fingerprint of the model bytes it belongs
// to. Throws Exception when the companion cannot be written (an earlier
// companion is then left as it was).
void write_model_medians(const std::string& model_file, const std::vector<double>& medians,
                         const FileFingerprint& model_print);

// The text of such a companion, written to `out`; throws Exception for no
// medians.
void write_medians_text(std::ostream& out, const std::vector<double>& medians, const FileFingerprint& model_print);

// The line companions open with: "model-fingerprint fnv1a64 HEX SIZE".
void write_fingerprint_line(std::ostream& out, const FileFingerprint& model_print);

// The fingerprint of the words after "model-fingerprint" (the hash name,
// 16 hexadecimal digits, the byte count); nothing when they are malformed,
// `problem` then saying how.
std::optional<FileFingerprint> fingerprint_of_words(const std::string& name, const std::string& hash,
                                                    const std::string& size, std::string& problem);

enum class MediansState {
  Recorded,  // the model's own medians
  Absent,    // no companion file
  Stale,     // a companion written for other model contents
};

struct ModelMedians {
  MediansState state = MediansState::Absent;
  std::vector<double> values;  // when Recorded
};

// The medians recorded for `model_file`: the companion is the model's when
// it records `model_print`, the fingerprint of the model bytes the caller
// read (or, without it, of the file as it is now). Throws Exception naming
// the file and line when a companion exists but cannot be read or parsed:
// a line longer than max_medians_line, a word that is not a finite number,
// a 'medians' line without values, a repeated line, or (with
// `num_features`) another number of medians than features.
ModelMedians read_model_medians(const std::string& model_file,
                                std::optional<std::size_t> num_features = std::nullopt,
                                const FileFingerprint* model_print = nullptr);

// The longest line a medians file may hold: room for the medians of a
// million features written exactly.
constexpr std::size_t max_medians_line = std::size_t(32) << 20;

}  // namespace Sylvor

#endif
