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
// The fingerprint is the FNV-1a hash and byte size of the model file it was
// written for, so a companion left beside another model (a model replaced
// by a run that wrote none, a companion copied without its model) is told
// apart from the model's own. All functions run on the calling thread.
#ifndef SYLVOR_IO_MEDIANS_IO_HPP
#define SYLVOR_IO_MEDIANS_IO_HPP

#include <cstdint>
#include <string>
#include <vector>

namespace Sylvor {

// MODEL.medians.
std::string medians_path(const std::string& model_file);

struct FileFingerprint {
  std::uint64_t hash = 0;  // FNV-1a, 64 bits, over the bytes
  std::uint64_t size = 0;
  bool operator==(const FileFingerprint& other) const { return hash == other.hash && size == other.size; }
};

// The fingerprint of a file's contents; throws Exception when it cannot be
// read.
FileFingerprint fingerprint_of_file(const std::string& path);

// Writes the companion of `model_file` (which must be in place) holding
// `medians`. A model that is not a regular file (a device, a pipe) gets no
// companion: returns false. Throws Exception when the companion cannot be
// written (an earlier companion is then left as it was).
bool write_model_medians(const std::string& model_file, const std::vector<double>& medians);

enum class MediansState {
  Recorded,  // the model's own medians
  Absent,    // no companion file
  Stale,     // a companion written for other model contents
};

struct ModelMedians {
  MediansState state = MediansState::Absent;
  std::vector<double> values;  // when Recorded
};

// The medians recorded for `model_file`. Throws Exception naming the file
// and line when a companion exists but cannot be read or parsed.
ModelMedians read_model_medians(const std::string& model_file);

}  // namespace Sylvor

#endif
