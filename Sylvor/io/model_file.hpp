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

#include <memory>
#include <string>
#include <vector>

#include "Sylvor/defs/fingerprint.hpp"
#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/io/medians_io.hpp"
#include "Sylvor/io/tree_io.hpp"

namespace Sylvor {

// A model written to its temporary file (and fingerprinted), with its
// companions written to theirs, none of them in place yet: commit() puts
// the companions in place, then the model. Every byte is written (and a
// failure to write reported) before anything is renamed; destroyed without
// a commit, it leaves the earlier files as they were.
class StagedModel {
public:
  // Writes `forest` in `format` ("lisp" or "vectortxt") for `path`; with
  // `medians` (not null) and a path that gets companions (see
  // model_gets_companions), PATH.medians too.
  // With `levels`, the model names the levels of its categorical features.
  template <class L>
  StagedModel(const std::string& path, const Forest<L>& forest, const std::string& format,
              const std::vector<double>* medians, const FeatureLevels* levels = nullptr)
      : path(path), model(path, "model") {
    {
      FingerprintingStream out(model.stream());
      write_forest(out, forest, format, levels);
      print = out.fingerprint();
      // A write the model file refused shows on this stream only.
      if (!out) model.stream().setstate(std::ios::badbit);
    }
    model.flush();
    stage_medians(medians);
  }

  // Model text already made, written as it is.
  StagedModel(const std::string& path, const std::string& text, const std::vector<double>* medians)
      : path(path), model(path, "model"), print(fingerprint_of_bytes(text)) {
    model.stream().write(text.data(), static_cast<std::streamsize>(text.size()));
    model.flush();
    stage_medians(medians);
  }

  // Another companion, PATH + suffix, holding `text` (which names the model
  // bytes it belongs to in its own way); written now, put in place before
  // the medians and the model. Nothing when the path gets no companions.
  void add_companion(const std::string& suffix, const std::string& text, const std::string& what) {
    add_companion_written(suffix, what,
                          [&](std::ostream& out) { out.write(text.data(), static_cast<std::streamsize>(text.size())); });
  }

  // As above, the text written by write(stream) (after the model, so it
  // may name fingerprint()).
  template <class Write>
  void add_companion_written(const std::string& suffix, const std::string& what, Write write) {
    if (!model_gets_companions(path)) return;
    companions.push_back(std::make_unique<OutputFile>(path + suffix, what));
    write(companions.back()->stream());
    companions.back()->flush();
  }

  // The fingerprint of the model bytes written.
  const FileFingerprint& fingerprint() const { return print; }

  void commit() {
    for (const auto& companion : companions) companion->commit();
    model.commit();
  }

private:
  void stage_medians(const std::vector<double>* medians) {
    if (medians == nullptr || !model_gets_companions(path)) return;
    companions.push_back(std::make_unique<OutputFile>(medians_path(path), "medians"));
    write_medians_text(companions.back()->stream(), *medians, print);
    companions.back()->flush();
  }

  std::string path;
  OutputFile model;
  FileFingerprint print;
  std::vector<std::unique_ptr<OutputFile>> companions;  // put in place in this order, before the model
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
