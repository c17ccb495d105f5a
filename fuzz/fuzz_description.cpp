// Fuzz target: the description-file reader.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "Sylvor/io/dataset_io.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    const Sylvor::DataSetDescription desc = Sylvor::SylvorDescriptionReader().read(in);
    // Use what was read the way the data reader does.
    for (int column = 0; column < 64; ++column) (void)desc.is_ignorable(column);
    (void)desc.get_num_classes();
  } catch (const Sylvor::Exception&) {
  } catch (const std::string&) {
  }
  return 0;
}
