// Replays every input the fuzz targets once failed on (crash, leak, hang or
// out-of-memory), through the same code path as the fuzzer: a finding is
// recorded by adding its minimised input to tests/fuzz/regressions/<target>/.
// Bad input must end in a clear message, never in a crash; the sanitizer build
// of the tests catches the memory errors and leaks themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/fuzz_inputs.h"

namespace {

namespace fs = std::filesystem;

struct Finding {
  std::string target;  // fuzz_command, fuzz_csv, fuzz_package or fuzz_foreign
  fs::path path;
};

void PrintTo(const Finding& finding, std::ostream* out) { *out << finding.path.string(); }

// The regression inputs, and the seeds too: they are cheap and keep the
// shared harness honest while the regression folders are small.
std::vector<Finding> Findings(const char* folder) {
  std::vector<Finding> findings;
  const fs::path root = fs::path(CODEBOOK_SOURCE_DIR) / "tests" / "fuzz" / folder;
  for (const char* target : {"fuzz_command", "fuzz_csv", "fuzz_package", "fuzz_foreign"}) {
    const fs::path dir = root / target;
    if (!fs::is_directory(dir)) continue;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) findings.push_back({target, file});
  }
  return findings;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class FuzzRegression : public ::testing::TestWithParam<Finding> {};

TEST_P(FuzzRegression, EndsInOutputOrAMessageNamingTheFile) {
  const Finding& finding = GetParam();
  const fuzzsupport::Outcome outcome = fuzzsupport::RunTargetInput(finding.target, Slurp(finding.path));
  if (!outcome.loaded) {
    const char* file = finding.target == "fuzz_csv"       ? "cases.csv"
                       : finding.target == "fuzz_foreign" ? "data.dta"
                                                          : "datapackage.json";
    // A package's message may name one of its data files instead.
    const bool named = outcome.error.find(file) != std::string::npos ||
                       (finding.target == "fuzz_package" && (outcome.error.find("data.csv") != std::string::npos ||
                                                             outcome.error.find("other.csv") != std::string::npos));
    EXPECT_TRUE(named) << outcome.error;
  }
}

std::string CaseName(const ::testing::TestParamInfo<Finding>& info) {
  std::string name = info.param.target + "_" + info.param.path.stem().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

// The inputs are written to a per-process scratch folder; remove it at the end.
class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(fuzzsupport::ScratchDir(), ignored);
  }
};
[[maybe_unused]] ::testing::Environment* const kScratchCleanup =
    ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

INSTANTIATE_TEST_SUITE_P(Regressions, FuzzRegression, ::testing::ValuesIn(Findings("regressions")), CaseName);
INSTANTIATE_TEST_SUITE_P(Seeds, FuzzRegression, ::testing::ValuesIn(Findings("seeds")), CaseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FuzzRegression);

}  // namespace
