// Fuzzes the command tokenizer, the universal parser and the CODEBOOK parse
// (and the run it allows) on a fixed dictionary with a few cases.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::RunCommandInput(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
