// Fuzzes the data package reader: the input is the JSON descriptor; the CSV
// beside it is fixed. A descriptor that loads is then run through CODEBOOK
// with the file information table.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "host/dataset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = fuzzsupport::ScratchDir();
  static const bool csvWritten = [&] {
    fuzzsupport::WriteFile(dir + "/data.csv", "a,b,c\n1,x,2026-01-02\n2,y,2026-02-03\n,z,\n1,,2026-01-02\n");
    return true;
  }();
  (void)csvWritten;
  const std::string path = dir + "/datapackage.json";
  fuzzsupport::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> warnings;
  try {
    host::SetActiveDataset(host::LoadDataset(path, warnings));
  } catch (const host::InputError&) {
    return 0;
  }
  fuzzsupport::RunCommands("CODEBOOK /FILEINFO NAME LOCATION LABEL DOCUMENTS WEIGHT CASECOUNT ATTRIBUTES "
                           "RESERVEDATTRIBUTES /VARINFO POSITION LABEL TYPE FORMAT MEASURE ROLE ATTRIBUTES "
                           "VALUELABELS MISSING RESERVEDATTRIBUTES.",
                           1);
  host::SetActiveDataset(nullptr);
  return 0;
}
