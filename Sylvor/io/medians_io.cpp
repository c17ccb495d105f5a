#include "Sylvor/io/medians_io.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Sylvor/defs/exception.hpp"
#include "Sylvor/defs/output_file.hpp"
#include "Sylvor/defs/string.hpp"
#include "Sylvor/io/dataset_io.hpp"

namespace Sylvor {

namespace {

const char* const fingerprint_word = "model-fingerprint";
const char* const hash_name = "fnv1a64";
const char* const medians_word = "medians";

[[noreturn]] void malformed(const std::string& path, int line, const std::string& what) {
  throw Exception("medians file `" + path + "', line " + std::to_string(line) + ": " + what);
}

}  // namespace

std::string medians_path(const std::string& model_file) { return model_file + ".medians"; }

bool model_gets_companions(const std::string& model_file) {
  struct stat info;
  return ::stat(model_file.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

void write_fingerprint_line(std::ostream& out, const FileFingerprint& model_print) {
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(model_print.hash));
  out << fingerprint_word << ' ' << hash_name << ' ' << hash << ' ' << model_print.size << '\n';
}

std::optional<FileFingerprint> fingerprint_of_words(const std::string& name, const std::string& hash,
                                                    const std::string& size, std::string& problem) {
  if (name != hash_name) {
    problem = "expected '" + std::string(fingerprint_word) + " " + hash_name + " HASH SIZE'";
    return std::nullopt;
  }
  FileFingerprint recorded;
  char* end = nullptr;
  recorded.hash = std::strtoull(hash.c_str(), &end, 16);
  if (hash.size() != 16 || *end != '\0') {
    problem = "the hash must be 16 hexadecimal digits";
    return std::nullopt;
  }
  errno = 0;
  recorded.size = std::strtoull(size.c_str(), &end, 10);
  if (size.empty() || *end != '\0' || size[0] == '-' || size[0] == '+' || errno == ERANGE) {
    problem = "the size must be a whole number";
    return std::nullopt;
  }
  return recorded;
}

void write_medians_text(std::ostream& out, const std::vector<double>& medians, const FileFingerprint& model_print) {
  if (medians.empty()) throw Exception("a medians file needs at least one median");
  out << "# Medians of the training columns of the model beside this file, which fill\n"
         "# the missing values of the rows it predicts.\n";
  write_fingerprint_line(out, model_print);
  out << medians_word;
  for (const double v : medians) out << ' ' << exact(v);
  out << '\n';
}

void write_model_medians(const std::string& model_file, const std::vector<double>& medians,
                         const FileFingerprint& model_print) {
  OutputFile file(medians_path(model_file), "medians");
  write_medians_text(file.stream(), medians, model_print);
  file.commit();
}

namespace {

// The fingerprint of a "model-fingerprint" line after its first word.
FileFingerprint read_fingerprint_words(std::istringstream& words, const std::string& path, int line) {
  std::string name, hash, size, extra, problem;
  if (!(words >> name >> hash >> size) || (words >> extra)) {
    malformed(path, line, "expected '" + std::string(fingerprint_word) + " " + hash_name + " HASH SIZE'");
  }
  const std::optional<FileFingerprint> recorded = fingerprint_of_words(name, hash, size, problem);
  if (!recorded) malformed(path, line, problem);
  return *recorded;
}

// The values of a "medians" line after its first word: at least one, each
// a finite number.
std::vector<double> read_median_words(std::istringstream& words, const std::string& path, int line) {
  std::vector<double> values;
  std::string word;
  while (words >> word) {
    double v = 0.0;
    if (!parse_finite_number(word.data(), static_cast<int>(word.size()), v)) {
      malformed(path, line, "'" + word + "' is not a finite number");
    }
    values.push_back(v);
  }
  if (values.empty()) malformed(path, line, "the 'medians' line holds no values");
  return values;
}

}  // namespace

ModelMedians read_model_medians(const std::string& model_file, std::optional<std::size_t> num_features,
                                const FileFingerprint* model_print) {
  const std::string path = medians_path(model_file);
  ModelMedians result;
  std::ifstream in(path);
  if (!in) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return result;  // no companion
    throw Exception("could not open medians file: `" + path + "'");
  }
  bool have_print = false, have_medians = false;
  FileFingerprint recorded;
  std::string text;
  int line = 0, medians_line = 0;
  for (;;) {
    const BoundedRead got = read_bounded_line(in, text, max_medians_line);
    if (got == BoundedRead::End) break;
    ++line;
    if (got == BoundedRead::TooLong) {
      malformed(path, line, "the line is longer than " + std::to_string(max_medians_line) + " characters");
    }
    std::istringstream words(text);
    std::string word;
    if (!(words >> word) || word[0] == '#') continue;
    if ((word == fingerprint_word && have_print) || (word == medians_word && have_medians)) {
      malformed(path, line, "a second '" + word + "' line");
    }
    if (word == fingerprint_word) {
      recorded = read_fingerprint_words(words, path, line);
      have_print = true;
    } else if (word == medians_word) {
      result.values = read_median_words(words, path, line);
      medians_line = line;
      have_medians = true;
    } else {
      malformed(path, line, "unknown word '" + word + "'");
    }
  }
  if (in.bad()) throw Exception("could not read medians file: `" + path + "'");
  if (!have_print || !have_medians) {
    throw Exception("medians file `" + path + "' lacks its '" + (have_print ? medians_word : fingerprint_word) +
                    "' line");
  }
  const FileFingerprint model = model_print != nullptr ? *model_print : fingerprint_of_file(model_file);
  result.state = model == recorded ? MediansState::Recorded : MediansState::Stale;
  if (result.state != MediansState::Recorded) {
    result.values.clear();
  } else if (num_features && result.values.size() != *num_features) {
    malformed(path, medians_line,
              std::to_string(result.values.size()) + " medians for " + std::to_string(*num_features) + " features");
  }
  return result;
}

}  // namespace Sylvor
