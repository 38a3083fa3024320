// Fuzzes the CSV reader: the input is a bare CSV file, loaded (types and
// widths inferred) and then read through a full CODEBOOK run.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::RunCsvInput(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
