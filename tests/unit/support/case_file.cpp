#include "support/case_file.h"

#include <fstream>
#include <stdexcept>

namespace testsupport {

std::string TextCase::Block(const std::string& name) const {
  for (const auto& [key, text] : blocks) {
    if (key == name) return text;
  }
  return "";
}

bool TextCase::Has(const std::string& name) const {
  for (const auto& block : blocks) {
    if (block.first == name) return true;
  }
  return false;
}

std::string TextCase::Take(const std::string& key) {
  const std::string prefix = key + ": ";
  for (auto it = body.begin(); it != body.end(); ++it) {
    if (it->rfind(prefix, 0) == 0) {
      std::string value = it->substr(prefix.size());
      body.erase(it);
      return value;
    }
  }
  return "";
}

std::string TextCase::Text() const {
  std::string out;
  for (const std::string& line : body) out += line + "\n";
  return out;
}

std::vector<TextCase> ReadCases(const std::string& name) {
  const std::string path = std::string(CODEBOOK_SOURCE_DIR) + "/tests/unit/cases/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot read the case file");
  std::vector<TextCase> cases;
  std::string* block = nullptr;
  std::size_t blankRun = 0;  // blank lines held back: kept only if text follows
  auto endBlock = [&] {
    block = nullptr;
    blankRun = 0;
  };
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line == "===" || line.rfind("=== ", 0) == 0) {
      endBlock();
      cases.push_back({name + ":" + std::to_string(number), line.size() > 4 ? line.substr(4) : "", {}, {}});
    } else if (cases.empty()) {
      continue;  // the file's heading
    } else if (line.rfind("--- ", 0) == 0) {
      endBlock();
      cases.back().blocks.emplace_back(line.substr(4), "");
      block = &cases.back().blocks.back().second;
    } else if (block != nullptr) {
      if (line.empty()) {
        ++blankRun;
        continue;
      }
      block->append(blankRun, '\n');
      blankRun = 0;
      *block += line + "\n";
    } else if (!line.empty() && line[0] != '#') {
      cases.back().body.push_back(line);
    }
  }
  if (cases.empty()) throw std::runtime_error(path + ": no case in the file");
  return cases;
}

}  // namespace testsupport
