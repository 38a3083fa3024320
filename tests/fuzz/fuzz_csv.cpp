// Fuzzes the CSV reader: the input is a bare CSV file, loaded (types and
// widths inferred) and then read through a full CODEBOOK run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "host/dataset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzzsupport::ScratchDir() + "/cases.csv";
  fuzzsupport::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> warnings;
  try {
    host::SetActiveDataset(host::LoadDataset(path, warnings));
  } catch (const host::InputError&) {
    return 0;  // rejected with a message: the expected outcome for bad files
  }
  fuzzsupport::RunCommands("CODEBOOK /FILEINFO CASECOUNT.", 1);
  host::SetActiveDataset(nullptr);
  return 0;
}
