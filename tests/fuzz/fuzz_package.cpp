// Fuzzes the data package reader: the input is the JSON descriptor; the CSV
// beside it is fixed. A descriptor that loads is then run through CODEBOOK
// with the file and variable information tables.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::RunPackageInput(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
