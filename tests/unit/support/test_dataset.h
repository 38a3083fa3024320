// Builds small in-memory datasets for tests: variables, sets, file facts and
// cases, split into blocks of a chosen size so block boundaries get exercised.
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "host/data/dataset.h"
#include "host/quvo.h"

namespace testsupport {

// One cell: a number (SYSMIS for system-missing) or a string.
struct Cell {
  Cell(double value) : number(value) {}
  Cell(int value) : number(value) {}
  Cell(const char* value) : isString(true), text(value) {}
  Cell(std::string value) : isString(true), text(std::move(value)) {}

  bool isString = false;
  double number = 0.0;
  std::string text;
};

class DatasetBuilder {
 public:
  // The returned references stay valid; set further fields on them directly.
  QUVO_Variable& Numeric(const std::string& name, int measure = Measure::Scale, int decimals = 0);
  QUVO_Variable& String(const std::string& name, int width, int measure = Measure::Nominal);
  DatasetBuilder& ValueLabel(const std::string& variable, double value, const std::string& label);
  DatasetBuilder& ValueLabel(const std::string& variable, const std::string& value, const std::string& label);
  VariableSetImpl& CategorySet(const std::string& name, const std::string& label, std::vector<std::string> members);
  VariableSetImpl& DichotomySet(const std::string& name, const std::string& label, const std::string& counted,
                                std::vector<std::string> members);
  DatasetBuilder& Weight(const std::string& variable);
  DatasetBuilder& Split(const std::vector<std::string>& variables);
  // One value per variable, in dictionary order.
  DatasetBuilder& Case(std::vector<Cell> cells);
  DatasetBuilder& BlockRows(std::size_t rows);
  // Variables, sets, weight and cases of a dataset as the reference scripts
  // under tests/reference/ write it (strings may lose their trailing blanks,
  // as the readers hand them over).
  DatasetBuilder& FromReference(const nlohmann::json& dataset, bool trimTrailingBlanks);
  host::Dataset& Facts() { return *fDataset; }
  QUVO_Variable& Variable(const std::string& name) { return Find(name); }

  // Finishes the dataset (name index, case blocks). Call once.
  std::shared_ptr<host::Dataset> Build();
  // Build() and make it the active dataset.
  std::shared_ptr<host::Dataset> Activate();

 private:
  QUVO_Variable& Find(const std::string& name);

  std::shared_ptr<host::Dataset> fDataset = std::make_shared<host::Dataset>();
  std::vector<std::string> fWeightName;
  std::vector<std::string> fSplitNames;
  std::vector<std::vector<Cell>> fCases;
  std::size_t fBlockRows = 3;
};

}  // namespace testsupport
