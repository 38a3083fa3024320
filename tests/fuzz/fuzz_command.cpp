// Fuzzes the command tokenizer, the universal parser and the CODEBOOK parse
// (and the run it allows) on a fixed dictionary with a few cases.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_common.h"
#include "support/test_dataset.h"

namespace {

void MakeDataset() {
  testsupport::DatasetBuilder b;
  b.Numeric("age", Measure::Scale);
  b.Numeric("sex", Measure::Nominal).valueLabels = {{ObsFromNumber(1), "Male"}, {ObsFromNumber(2), "Female"}};
  b.Numeric("Sex2", Measure::Ordinal).missing.numbers = {9};
  b.String("city", 8, Measure::Nominal);
  b.String("note", 12, Measure::Scale);
  b.Numeric("m1", Measure::Nominal);
  b.Numeric("m2", Measure::Nominal);
  b.Numeric("w", Measure::Scale);
  b.Variable("age").attributes.Add("Question", {"How old?"});
  b.Variable("sex").attributes.Add("$Reserved", {"a", "b"});
  b.CategorySet("$cats", "Categories", {"m1", "m2"});
  b.DichotomySet("$dich", "", "1", {"m1", "m2", "nosuch"});
  b.Weight("w");
  b.Case({34, 1, 9, "Oslo", "x", 1, 0, 1.5});
  b.Case({SYSMIS, 2, 1, "Lisbon", "", 0, 1, 0.0});
  b.Case({51, 2, 2, "Oslo", "y", 1, 1, 2.0});
  b.Facts().label = "Fuzz";
  b.Facts().fileSpec = "/tmp\\fuzz.json";
  b.Activate();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeDataset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::RunCommands(std::string_view(reinterpret_cast<const char*>(data), size), 8);
  return 0;
}
