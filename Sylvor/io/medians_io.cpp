#include "Sylvor/io/medians_io.hpp"

#include <sys/stat.h>

#include <cstdio>
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

bool is_regular_file(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

[[noreturn]] void malformed(const std::string& path, int line, const std::string& what) {
  throw Exception("medians file `" + path + "', line " + std::to_string(line) + ": " + what);
}

}  // namespace

std::string medians_path(const std::string& model_file) { return model_file + ".medians"; }

FileFingerprint fingerprint_of_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("could not open model file: `" + path + "'");
  FileFingerprint print;
  print.hash = 14695981039346656037ULL;
  char buffer[1 << 16];
  while (in) {
    in.read(buffer, sizeof buffer);
    const std::streamsize got = in.gcount();
    for (std::streamsize k = 0; k < got; ++k) {
      print.hash = (print.hash ^ static_cast<unsigned char>(buffer[k])) * 1099511628211ULL;
    }
    print.size += static_cast<std::uint64_t>(got);
  }
  if (in.bad()) throw Exception("could not read model file: `" + path + "'");
  return print;
}

bool write_model_medians(const std::string& model_file, const std::vector<double>& medians) {
  if (!is_regular_file(model_file)) return false;
  const FileFingerprint print = fingerprint_of_file(model_file);
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(print.hash));
  OutputFile file(medians_path(model_file), "medians");
  std::ostream& out = file.stream();
  out << "# Medians of the training columns of the model beside this file, which fill\n"
         "# the missing values of the rows it predicts.\n";
  out << fingerprint_word << ' ' << hash_name << ' ' << hash << ' ' << print.size << '\n';
  out << medians_word;
  for (const double v : medians) out << ' ' << exact(v);
  out << '\n';
  file.commit();
  return true;
}

ModelMedians read_model_medians(const std::string& model_file) {
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
  int line = 0;
  while (std::getline(in, text)) {
    ++line;
    std::istringstream words(text);
    std::string word;
    if (!(words >> word) || word[0] == '#') continue;
    if (word == fingerprint_word) {
      std::string name, hash, size, extra;
      if (!(words >> name >> hash >> size) || (words >> extra) || name != hash_name) {
        malformed(path, line, "expected '" + std::string(fingerprint_word) + " " + hash_name + " HASH SIZE'");
      }
      char* end = nullptr;
      recorded.hash = std::strtoull(hash.c_str(), &end, 16);
      if (hash.size() != 16 || *end != '\0') malformed(path, line, "the hash must be 16 hexadecimal digits");
      recorded.size = std::strtoull(size.c_str(), &end, 10);
      if (size.empty() || *end != '\0' || size[0] == '-') malformed(path, line, "the size must be a whole number");
      have_print = true;
    } else if (word == medians_word) {
      result.values.clear();
      while (words >> word) {
        double v = 0.0;
        if (!parse_finite_number(word.data(), static_cast<int>(word.size()), v)) {
          malformed(path, line, "'" + word + "' is not a finite number");
        }
        result.values.push_back(v);
      }
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
  result.state = fingerprint_of_file(model_file) == recorded ? MediansState::Recorded : MediansState::Stale;
  if (result.state != MediansState::Recorded) result.values.clear();
  return result;
}

}  // namespace Sylvor
