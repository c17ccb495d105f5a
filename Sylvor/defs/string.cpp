#include "Sylvor/defs/string.hpp"

namespace Sylvor {

void open_output_file(std::ofstream& out, const std::string& filename, const std::string& what) {
  out.open(filename);
  if (!out) throw Exception("could not write " + what + " file: `" + filename + "'");
}

void close_output_file(std::ofstream& out, const std::string& filename, const std::string& what) {
  out.close();
  if (!out) throw Exception("could not write " + what + " file: `" + filename + "'");
}

}  // namespace Sylvor
