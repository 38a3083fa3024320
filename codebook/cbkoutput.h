// The run of one CODEBOOK command: orders the list, plans the statistics,
// makes the data pass, writes the tables and issues the closing warnings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/aggregation.h"
#include "host/check.h"
#include "host/output.h"
#include "host/parser.h"
#include "host/quvo.h"
#include "item.h"
#include "parser/settings.h"

namespace codebook {

class VariableStatistics;
struct RunWork;

class CodebookRun {
 public:
  CodebookRun(CodebookSettings* settings, ProcedureDataSource* dataSource, BpProcedure* procedure,
              ParserMessage* messages);
  ~CodebookRun();
  CodebookRun(const CodebookRun&) = delete;
  CodebookRun& operator=(const CodebookRun&) = delete;

  void Run();

  // The statistics lists of the run (the scale codes are kept in
  // fScaleStatCodes; the category statistics go to the list given).
  void MakeScaleStatCodes(bool allStatistics);
  void MakeCategoryStatistics(std::vector<AggregationStatistic>& list, bool allStatistics) const;

  // Reorders a copy of the list by VARORDER and SORT.
  void OrderVariables(std::vector<CodebookItem>& items) const;

  // The tables (codebook/output/).
  void WriteFileInformation(double weightedCaseTotal);
  // Returns the last aggregation index the variable used.
  std::uint32_t WriteVariableTable(std::uint32_t variableIndex, std::uint32_t aggregationIndex, bool allStatistics,
                                   std::uint32_t treatment);
  void WriteSetTable(const CodebookItem& item, const ItemHandle& handle, std::uint32_t aggregationIndex,
                     bool allStatistics);

  // Readers for tests.
  const std::string& NoInfoNames() const { return fNoInfoNames; }
  const std::vector<bool>& CategoriesShown() const { return fCategoriesShown; }
  const std::vector<std::int32_t>& ScaleStatCodes() const { return fScaleStatCodes; }

 private:
  // The steps of Run, in order.
  void MakePlan(RunWork& work, bool allStatistics);
  // Sets up the tables and makes the pass; false when no case was counted.
  bool PassData(RunWork& work, ProcDSIterator* cases, bool allStatistics);
  void WriteItemTables(RunWork& work, bool allStatistics);
  void IssueClosingWarnings(RunWork& work);

  CodebookSettings* fSettings;
  ProcedureDataSource* fDataSource;
  BpProcedure* fProcedure;
  std::unique_ptr<VariableStatistics> fStatistics;
  ParserMessage* fMessages;
  std::string fNoInfoNames;
  std::vector<bool> fCategoriesShown;
  std::vector<std::int32_t> fScaleStatCodes;
};

}  // namespace codebook
