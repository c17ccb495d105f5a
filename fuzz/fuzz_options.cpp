// Fuzz target: the option parsing of the program. The input is an argument
// vector, arguments separated by NUL bytes, the first being the command
// word. Only parsing runs: no command is dispatched, no file is touched.
#include <boost/program_options.hpp>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "cli/config.hpp"

namespace po = boost::program_options;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Usage texts would flood the fuzzer's output.
  std::cout.setstate(std::ios::badbit);
  std::cerr.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::vector<std::string> words(1);
  for (std::size_t k = 0; k < size; ++k) {
    if (bytes[k] == 0) {
      words.emplace_back();
    } else {
      words.back().push_back(static_cast<char>(bytes[k]));
    }
  }
  if (words.size() > 64) return 0;
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  po::options_description description("Flags", 80, 40);
  po::variables_map vm;
  try {
    Sylvor::RandomForestOptions::register_options(description, words[0]);
    if (Sylvor::parse_options(vm, description, static_cast<int>(words.size()), argv.data())) return 0;
    Sylvor::RandomForestOptions options;
    options.populate_from_options(vm);
  } catch (const po::error&) {
  }
  return 0;
}
