#include "support/test_dataset.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "host/dataset.h"

namespace testsupport {

QUVO_Variable& DatasetBuilder::Numeric(const std::string& name, int measure, int decimals) {
  auto variable = std::make_unique<QUVO_Variable>();
  variable->name = name;
  variable->measure = measure;
  variable->printFormat = QUVO_Format{8, FormatType::F, static_cast<std::uint8_t>(decimals)};
  variable->writeFormat = variable->printFormat;
  fDataset->variables.push_back(std::move(variable));
  return *fDataset->variables.back();
}

QUVO_Variable& DatasetBuilder::String(const std::string& name, int width, int measure) {
  auto variable = std::make_unique<QUVO_Variable>();
  variable->name = name;
  variable->width = width;
  variable->measure = measure;
  variable->printFormat = QUVO_Format{static_cast<std::uint16_t>(width), FormatType::A, 0};
  variable->writeFormat = variable->printFormat;
  fDataset->variables.push_back(std::move(variable));
  return *fDataset->variables.back();
}

DatasetBuilder& DatasetBuilder::FromReference(const nlohmann::json& ds, bool trimTrailingBlanks) {
  using nlohmann::json;
  const double inf = std::numeric_limits<double>::infinity();
  for (const json& v : ds["variables"]) {
    const std::string name = v["name"];
    const int width = v["width"];
    QUVO_Variable& var = width ? String(name, width) : Numeric(name);
    if (v.contains("format")) var.printFormat.type = v["format"] == "DATE" ? FormatType::DATE : FormatType::DATETIME;
    const json missing = v.value("missing", json::object());
    for (const json& x : missing.value("values", json::array())) {
      if (x.is_string()) var.missing.strings.push_back(x);
      if (x.is_number()) var.missing.numbers.push_back(x);
    }
    if (missing.contains("range")) {  // "LO" and "HI" are the open ends
      const json& r = missing["range"];
      var.missing.hasRange = true;
      var.missing.low = r[0].is_string() ? -inf : r[0].get<double>();
      var.missing.high = r[1].is_string() ? inf : r[1].get<double>();
    }
    for (const json& l : v.value("labels", json::array())) {
      if (width) {
        ValueLabel(name, l[0].get<std::string>(), l[1].get<std::string>());
      } else {
        ValueLabel(name, l[0].get<double>(), l[1].get<std::string>());
      }
    }
  }
  for (const json& s : ds.value("sets", json::array())) {
    if (s["type"] == "dichotomy") {
      DichotomySet(s["name"], "", s["counted"], s["members"]);
    } else {
      CategorySet(s["name"], "", s["members"]);
    }
  }
  if (!ds["weight"].is_null()) Weight(ds["weight"]);
  for (const json& c : ds["cases"]) {
    std::vector<Cell> cells;
    for (const json& x : c) {
      if (x.is_null()) {
        cells.emplace_back(SYSMIS);
      } else if (x.is_string()) {
        std::string text = x;
        while (trimTrailingBlanks && !text.empty() && text.back() == ' ') text.pop_back();
        cells.emplace_back(text);
      } else {
        cells.emplace_back(x.get<double>());
      }
    }
    Case(std::move(cells));
  }
  return *this;
}

QUVO_Variable& DatasetBuilder::Find(const std::string& name) {
  for (auto& variable : fDataset->variables) {
    if (variable->name == name) return *variable;
  }
  throw std::invalid_argument("test dataset has no variable " + name);
}

DatasetBuilder& DatasetBuilder::ValueLabel(const std::string& variable, double value, const std::string& label) {
  Find(variable).valueLabels.push_back({ObsFromNumber(value), label});
  return *this;
}

DatasetBuilder& DatasetBuilder::ValueLabel(const std::string& variable, const std::string& value,
                                           const std::string& label) {
  Find(variable).valueLabels.push_back({ObsFromString(value), label});
  return *this;
}

VariableSetImpl& DatasetBuilder::CategorySet(const std::string& name, const std::string& label,
                                             std::vector<std::string> members) {
  auto set = std::make_unique<VariableSetImpl>();
  set->name = name;
  set->label = label;
  set->type = 1;
  set->members = std::move(members);
  fDataset->sets.push_back(std::move(set));
  return *fDataset->sets.back();
}

VariableSetImpl& DatasetBuilder::DichotomySet(const std::string& name, const std::string& label,
                                              const std::string& counted, std::vector<std::string> members) {
  VariableSetImpl& set = CategorySet(name, label, std::move(members));
  set.type = 2;
  set.countedValue = counted;
  return set;
}

DatasetBuilder& DatasetBuilder::Weight(const std::string& variable) {
  fWeightName = {variable};
  return *this;
}

DatasetBuilder& DatasetBuilder::Split(const std::vector<std::string>& variables) {
  fSplitNames = variables;
  return *this;
}

DatasetBuilder& DatasetBuilder::Case(std::vector<Cell> cells) {
  if (cells.size() != fDataset->variables.size())
    throw std::invalid_argument("test case has the wrong number of cells");
  fCases.push_back(std::move(cells));
  return *this;
}

DatasetBuilder& DatasetBuilder::BlockRows(std::size_t rows) {
  fBlockRows = rows == 0 ? 1 : rows;
  return *this;
}

std::shared_ptr<host::Dataset> DatasetBuilder::Build() {
  host::Dataset& dataset = *fDataset;
  dataset.IndexNames();
  if (!fWeightName.empty()) dataset.weightIndex = dataset.Find(fWeightName[0]);
  dataset.splitIndices.clear();
  for (const std::string& name : fSplitNames) dataset.splitIndices.push_back(dataset.Find(name));

  const std::size_t nvars = dataset.variables.size();
  std::vector<host::CaseBlock> blocks;
  for (std::size_t start = 0; start < fCases.size(); start += fBlockRows) {
    host::CaseBlock block;
    const std::size_t end = std::min(fCases.size(), start + fBlockRows);
    block.rows = end - start;
    block.numbers.resize(nvars);
    block.strings.resize(nvars);
    for (std::size_t v = 0; v < nvars; ++v) {
      const bool isString = dataset.variables[v]->IsString();
      if (isString) block.strings[v].offsets.push_back(0);
      for (std::size_t r = start; r < end; ++r) {
        const Cell& cell = fCases[r][v];
        if (isString) {
          std::string text = cell.isString ? cell.text : std::string();
          while (!text.empty() && text.back() == ' ') text.pop_back();
          block.strings[v].bytes += text;
          block.strings[v].offsets.push_back(static_cast<std::uint32_t>(block.strings[v].bytes.size()));
        } else {
          block.numbers[v].push_back(cell.isString ? SYSMIS : cell.number);
        }
      }
    }
    if (dataset.weightIndex >= 0) {
      for (std::size_t r = start; r < end; ++r) {
        const Cell& cell = fCases[r][static_cast<std::size_t>(dataset.weightIndex)];
        block.weights.push_back(cell.isString ? SYSMIS : cell.number);
      }
    }
    if (!dataset.splitIndices.empty()) {
      for (std::size_t r = start; r < end; ++r) {
        bool changed = r == 0;
        for (int s : dataset.splitIndices) {
          const Cell& a = fCases[r][static_cast<std::size_t>(s)];
          if (r > 0) {
            const Cell& b = fCases[r - 1][static_cast<std::size_t>(s)];
            if (a.isString != b.isString || a.text != b.text || a.number != b.number) changed = true;
          }
        }
        block.groupStart.push_back(changed ? 1 : 0);
      }
    }
    blocks.push_back(std::move(block));
  }
  dataset.cases = std::make_shared<host::MemoryCaseSource>(std::move(blocks));
  return fDataset;
}

std::shared_ptr<host::Dataset> DatasetBuilder::Activate() {
  std::shared_ptr<host::Dataset> dataset = Build();
  host::SetActiveDataset(dataset);
  return dataset;
}

}  // namespace testsupport
