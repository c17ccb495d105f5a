// Fuzz target: the CSV and text data readers, with and without a selection.
// Input: one flag byte, a description, a NUL byte, then the data text.
//   flag bit 0: text format instead of csv; bit 1: read a selection of rows;
//   bit 2: unsigned char features instead of float; bit 3: double labels.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Sylvor/dataset/dataset.hpp"
#include "Sylvor/io/dataset_io.hpp"

namespace {

template <class F, class L>
void read(const Sylvor::DataSetDescription& desc, const std::string& text, const std::string& format,
          const std::vector<int>* selection) {
  Sylvor::MemoryDataSet<F, L> data;
  std::istringstream in(text);
  Sylvor::ReadNotes notes;
  try {
    if (selection != nullptr) {
      Sylvor::read_data_subset(data, in, format, desc, *selection, Sylvor::LevelCoding(), &notes);
    } else {
      Sylvor::read_data_set(data, in, format, desc, Sylvor::LevelCoding(), &notes);
    }
    // Class names collected from the rows number every label.
    if (!notes.class_names.empty()) {
      for (const L& label : data.labels) {
        if (!(label >= 0 && static_cast<std::size_t>(label) < notes.class_names.size())) __builtin_trap();
      }
    }
  } catch (const Sylvor::Exception&) {
  } catch (const std::string&) {
  }
  // Whatever was read must be a consistent data set.
  for (const auto& column : data.features) {
    if (column.size() != data.labels.size()) __builtin_trap();
  }
  data.impute();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 1) return 0;
  const unsigned flags = bytes[0];
  const std::string rest(reinterpret_cast<const char*>(bytes) + 1, size - 1);
  const std::size_t split = rest.find('\0');
  if (split == std::string::npos) return 0;
  Sylvor::DataSetDescription desc;
  try {
    std::istringstream in(rest.substr(0, split));
    desc = Sylvor::SylvorDescriptionReader().read(in);
  } catch (const Sylvor::Exception&) {
    return 0;
  } catch (const std::string&) {
    return 0;
  }
  const std::string text = rest.substr(split + 1);
  const std::string format = (flags & 1) ? "text" : "csv";
  std::vector<int> selection{static_cast<int>(flags >> 4), 1, 3, static_cast<int>(flags >> 5)};
  const std::vector<int>* chosen = (flags & 2) ? &selection : nullptr;
  if (flags & 4) {
    if (flags & 8) {
      read<unsigned char, double>(desc, text, format, chosen);
    } else {
      read<unsigned char, int>(desc, text, format, chosen);
    }
  } else if (flags & 8) {
    read<float, double>(desc, text, format, chosen);
  } else {
    read<float, int>(desc, text, format, chosen);
  }
  return 0;
}
