// Times reading a CSV data file into a float data set, the way the learn and
// test commands read their input.
//
//   sylvor_read_csv_bench generate FILE ROWS FEATURES   writes a test file
//   sylvor_read_csv_bench read FILE FEATURES            reads it, prints the time
//
// The generated file has FEATURES numeric columns (six significant digits,
// some negative, a few missing) and a class name in the last column.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/io/dataset_io.hpp"

namespace {

int generate(const std::string& path, long rows, int features) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) {
    std::cerr << "cannot write " << path << "\n";
    return 1;
  }
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> value(-1000.0, 1000.0);
  for (long r = 0; r < rows; ++r) {
    for (int f = 0; f < features; ++f) {
      if (rng() % 1000 == 0) {
        std::fputs("?,", out);
      } else {
        std::fprintf(out, "%.6g,", value(rng));
      }
    }
    std::fputs(rng() % 2 ? "yes\n" : "no\n", out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}

int read(const std::string& path, int features) {
  Sylvor::DataSetDescription desc;
  desc.set_num_features(features);
  desc.set_class_column(features);
  desc.add_label_pair("no", 0);
  desc.add_label_pair("yes", 1);
  Sylvor::MemoryDataSet<float, int> data;
  const auto start = std::chrono::steady_clock::now();
  Sylvor::read_data_set(data, path, "csv", desc);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  std::cout << "read " << data.get_num_instances() << " rows x " << data.get_num_features()
            << " features in " << seconds.count() << " s" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "generate" && argc == 5) return generate(argv[2], std::atol(argv[3]), std::atoi(argv[4]));
    if (mode == "read" && argc == 4) return read(argv[2], std::atoi(argv[3]));
  } catch (const Sylvor::Exception& e) {
    std::cerr << e.get_message() << "\n";
    return 2;
  } catch (const std::string& message) {
    std::cerr << message << "\n";
    return 2;
  }
  std::cerr << "usage: sylvor_read_csv_bench generate FILE ROWS FEATURES | read FILE FEATURES\n";
  return 1;
}
