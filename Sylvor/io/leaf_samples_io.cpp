#include "Sylvor/io/leaf_samples_io.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/io/dataset_io.hpp"
#include "Sylvor/io/medians_io.hpp"

namespace Sylvor {

std::string leaf_samples_path(const std::string& model_file) { return model_file + ".leaves"; }

namespace {

// Writes `values` ten a line after the current line.
template <class T>
void write_rows(std::ostream& out, const std::vector<T>& values) {
  for (std::size_t k = 0; k < values.size(); ++k) {
    write_value(out, values[k]) << ((k + 1) % 10 == 0 || k + 1 == values.size() ? '\n' : ' ');
  }
}

}  // namespace

void write_leaf_samples_text(std::ostream& out, const LeafSamples& samples, const FileFingerprint& model_print) {
  out << "# The training draws each leaf of the model beside this file holds, and the\n"
         "# training targets: what its conditional quantiles are made of.\n";
  write_fingerprint_line(out, model_print);
  out << "targets " << samples.targets.size() << '\n';
  write_rows(out, samples.targets);
  out << "trees " << samples.trees.size() << '\n';
  for (std::size_t t = 0; t < samples.trees.size(); ++t) {
    const TreeLeafSamples& record = samples.trees[t];
    out << "tree " << t << " nodes " << record.offsets.size() - 1 << " draws " << record.instances.size() << '\n';
    out << "offsets\n";
    write_rows(out, record.offsets);
    out << "draws\n";
    write_rows(out, record.instances);
  }
  out << "end\n";
}

namespace {

// Reads the companion word by word, each failure naming the file.
class LeafSamplesReader {
public:
  LeafSamplesReader(std::istream& in, const std::string& path) : in(in), path(path) {}

  [[noreturn]] void malformed(const std::string& what) const {
    throw Exception("leaf samples file `" + path + "': " + what);
  }

  std::string word(const char* what) {
    std::string w;
    if (!(in >> w)) malformed(std::string("it ends before ") + what);
    return w;
  }

  void expect(const std::string& keyword) {
    const std::string w = word(("'" + keyword + "'").c_str());
    if (w != keyword) malformed("expected '" + keyword + "', found '" + w + "'");
  }

  std::size_t count(const char* what, std::size_t at_most = max_leaf_sample_instances) {
    const std::string w = word(what);
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(w.c_str(), &end, 10);
    if (w.empty() || *end != '\0' || w[0] == '-' || w[0] == '+' || errno == ERANGE || v > at_most) {
      malformed(std::string(what) + " must be a whole number up to " + std::to_string(at_most) + ", not '" + w + "'");
    }
    return static_cast<std::size_t>(v);
  }

  double number(const char* what) {
    const std::string w = word(what);
    double v = 0.0;
    if (!parse_finite_number(w.data(), static_cast<int>(w.size()), v)) {
      malformed(std::string(what) + ": '" + w + "' is not a finite number");
    }
    return v;
  }

  // Skips the comment lines at the top; the first word after them.
  std::string first_word() {
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string w;
      if (!(words >> w) || w[0] == '#') continue;
      rest_of_first_line = line.substr(line.find(w) + w.size());
      return w;
    }
    malformed("it holds no 'model-fingerprint' line");
  }

  std::string rest_of_first_line;

private:
  std::istream& in;
  std::string path;
};

// Lists are reserved at most this much ahead of what was read.
constexpr std::size_t reading_step = std::size_t(1) << 20;

FileFingerprint read_recorded_fingerprint(LeafSamplesReader& reader) {
  const std::string first = reader.first_word();
  if (first != "model-fingerprint") reader.malformed("expected 'model-fingerprint', found '" + first + "'");
  std::istringstream words(reader.rest_of_first_line);
  std::string name, hash, size, extra, problem;
  if (!(words >> name >> hash >> size) || (words >> extra)) {
    reader.malformed("expected 'model-fingerprint fnv1a64 HASH SIZE'");
  }
  const std::optional<FileFingerprint> recorded = fingerprint_of_words(name, hash, size, problem);
  if (!recorded) reader.malformed(problem);
  return *recorded;
}

TreeLeafSamples read_tree_record(LeafSamplesReader& reader, std::size_t t, std::size_t model_nodes) {
  reader.expect("tree");
  if (reader.count("the tree number") != t) reader.malformed("tree " + std::to_string(t) + " is out of order");
  reader.expect("nodes");
  const std::size_t nodes = reader.count("the node count");
  if (nodes != model_nodes) {
    reader.malformed("tree " + std::to_string(t) + " has " + std::to_string(nodes) + " nodes, the model's " +
                     std::to_string(model_nodes));
  }
  reader.expect("draws");
  const std::size_t draws = reader.count("the draw count");
  TreeLeafSamples record;
  reader.expect("offsets");
  record.offsets.resize(nodes + 1);
  for (std::uint32_t& v : record.offsets) v = static_cast<std::uint32_t>(reader.count("an offset"));
  reader.expect("draws");
  // Grown as read: a count the file cannot back allocates nothing.
  record.instances.reserve(std::min(draws, reading_step));
  for (std::size_t k = 0; k < draws; ++k) record.instances.push_back(static_cast<std::uint32_t>(reader.count("a draw")));
  return record;
}

}  // namespace

LeafSamples read_model_leaf_samples(const std::string& model_file, const FileFingerprint& model_print,
                                    const Forest<double>& trees) {
  const std::string path = leaf_samples_path(model_file);
  std::ifstream in(path);
  if (!in) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
      throw Exception("no leaf samples beside the model (no file `" + path +
                      "'): learn it with --keep-leaf-samples for quantiles");
    }
    throw Exception("could not open leaf samples file: `" + path + "'");
  }
  return read_leaf_samples_text(in, path, model_print, trees);
}

LeafSamples read_leaf_samples_text(std::istream& in, const std::string& path, const FileFingerprint& model_print,
                                   const Forest<double>& trees) {
  LeafSamplesReader reader(in, path);
  if (read_recorded_fingerprint(reader) != model_print) {
    reader.malformed("it was written for other contents of its model (learn the model again with "
                     "--keep-leaf-samples)");
  }
  LeafSamples samples;
  reader.expect("targets");
  const std::size_t num_targets = reader.count("the target count");
  samples.targets.reserve(std::min(num_targets, reading_step));
  for (std::size_t k = 0; k < num_targets; ++k) samples.targets.push_back(reader.number("a target"));
  reader.expect("trees");
  const std::size_t num_trees = reader.count("the tree count");
  if (num_trees != trees.size()) {
    reader.malformed("it holds " + std::to_string(num_trees) + " trees, the model " + std::to_string(trees.size()));
  }
  for (std::size_t t = 0; t < num_trees; ++t) samples.trees.push_back(read_tree_record(reader, t, trees[t].size()));
  reader.expect("end");
  std::string extra;
  if (in >> extra) reader.malformed("words after 'end'");
  if (in.bad()) throw Exception("could not read leaf samples file: `" + path + "'");
  try {
    check_leaf_samples(samples, trees);
  } catch (const Exception& e) {
    reader.malformed(e.get_message());
  }
  return samples;
}

}  // namespace Sylvor
