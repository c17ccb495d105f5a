// A model file written together with its companion of training medians, in
// the order that keeps the two paired: the model text goes to a temporary
// file beside the model while its bytes are fingerprinted, the companion
// recording that fingerprint is put in place, and the model is renamed into
// place last. Whatever other writers do to the same path meanwhile, a
// companion's fingerprint is that of the bytes it was written with, so a
// reader never takes the medians of one write for those of another (it sees
// them as stale instead). A failure leaves the earlier model in place.
// Runs on the calling thread.
#ifndef SYLVOR_IO_MODEL_FILE_HPP
#define SYLVOR_IO_MODEL_FILE_HPP

#include <string>
#include <vector>

#include "Sylvor/defs/fingerprint.hpp"
#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/io/medians_io.hpp"
#include "Sylvor/io/tree_io.hpp"

namespace Sylvor {

// A model written to its temporary file (and fingerprinted) but not yet in
// place: commit() puts the companion of medians in place, then the model.
// Destroyed without a commit, it leaves the earlier files as they were.
class StagedModel {
public:
  // Writes `forest` in `format` ("lisp" or "vectortxt") for `path`; with
  // `medians` (not null) and a path that gets companions (see
  // model_gets_companions), the commit writes PATH.medians too.
  template <class L>
  StagedModel(const std::string& path, const Forest<L>& forest, const std::string& format,
              const std::vector<double>* medians)
      : path(path), model(path, "model"), medians(medians) {
    {
      FingerprintingStream out(model.stream());
      write_forest(out, forest, format);
      print = out.fingerprint();
      // A write the model file refused shows on this stream only.
      if (!out) model.stream().setstate(std::ios::badbit);
    }
    model.flush();
  }

  // Model text already made, written as it is.
  StagedModel(const std::string& path, const std::string& text, const std::vector<double>* medians)
      : path(path), model(path, "model"), medians(medians), print(fingerprint_of_bytes(text)) {
    model.stream().write(text.data(), static_cast<std::streamsize>(text.size()));
    model.flush();
  }

  // The fingerprint of the model bytes written.
  const FileFingerprint& fingerprint() const { return print; }

  void commit() {
    if (medians != nullptr && model_gets_companions(path)) write_model_medians(path, *medians, print);
    model.commit();
  }

private:
  std::string path;
  OutputFile model;
  const std::vector<double>* medians;
  FileFingerprint print;
};

// Writes `forest` to `path` with its medians companion at once (see
// StagedModel) and returns the fingerprint of the model bytes.
template <class L>
FileFingerprint write_model_file(const std::string& path, const Forest<L>& forest, const std::string& format,
                                 const std::vector<double>* medians) {
  StagedModel staged(path, forest, format, medians);
  staged.commit();
  return staged.fingerprint();
}

}  // namespace Sylvor

#endif
