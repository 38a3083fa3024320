// Helpers for the dataset reader tests: files in a fresh temporary folder and
// a whole pass over a dataset's cases.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/data/dataset.h"
#include "host/dataset.h"

namespace datatest {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "cbdata-XXXXXX").string();
    fPath = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
  }
  // Writes a file (bytes exactly as given) and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string path = fPath + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  const std::string& Path() const { return fPath; }

 private:
  std::string fPath;
};

// One case as text: numbers with %.17g (SYSMIS as "."), strings quoted.
inline std::string CellText(const host::CaseBlock& b, std::size_t var, std::size_t row) {
  if (!b.numbers[var].empty()) {
    const double v = b.numbers[var][row];
    if (v == SYSMIS) return ".";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
  }
  const host::StringColumn& s = b.strings[var];
  return "'" + std::string(s.Cell(row)) + "'";
}

// Reads a whole pass; every case becomes "cell|cell|..." and the block
// sizes are collected.
struct Pass {
  std::vector<std::string> cases;
  std::vector<double> weights;
  std::vector<int> groupStarts;
  std::vector<std::size_t> blockRows;
};

inline Pass ReadAll(const host::Dataset& ds) {
  Pass pass;
  auto cursor = ds.cases->Open();
  while (const host::CaseBlock* b = cursor->NextBlock()) {
    pass.blockRows.push_back(b->rows);
    for (std::size_t r = 0; r < b->rows; ++r) {
      std::string line;
      for (std::size_t v = 0; v < ds.variables.size(); ++v) {
        if (v > 0) line += "|";
        line += CellText(*b, v, r);
      }
      pass.cases.push_back(line);
      if (!b->weights.empty()) pass.weights.push_back(b->weights[r]);
      if (!b->groupStart.empty()) pass.groupStarts.push_back(b->groupStart[r]);
    }
  }
  return pass;
}

}  // namespace datatest
