// Fuzzes the Stata and SAS reader: the input is a Stata, SAS or SAS transport
// file (the first bytes choose), loaded and read through a CODEBOOK run.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::RunForeignInput(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
