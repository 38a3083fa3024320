// The statistics of one run: the aggregation tables set up before the data
// pass, the single pass over the cases, and the results the tables read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/aggregation.h"
#include "host/quvo.h"
#include "item.h"

namespace codebook {

// What the engine's sums of weights rounded away (AggregationResult::Rest):
// a count's exact sum is its value plus its rest. Beside the category
// results, so that a difference of counts (the system-missing remainder) or
// a ratio to another table's total is taken of the exact sums.
struct CategoryRests {
  std::vector<double> counts;  // one per count of the category results
  double missing = 0.0;
  double total = 0.0;
};

class VariableStatistics {
 public:
  VariableStatistics(const std::vector<PlanEntry*>& entries,
                     const std::vector<AggregationStatistic>* categoryStatistics,
                     const std::vector<std::int32_t>* scaleCodes);
  virtual ~VariableStatistics() = default;
  VariableStatistics(const VariableStatistics&) = delete;
  VariableStatistics& operator=(const VariableStatistics&) = delete;

  void SetUpTables(ProcDSIterator* iterator, std::int32_t maxCats);
  void MakeScaleStatistics(std::vector<AggregationStatistic>& list, std::int32_t variableIndex) const;

  // The number of cases counted before the pass stopped; 0 for no case.
  std::int32_t PassCases(std::int32_t maxCats);
  std::vector<bool> GetCategoriesShown() const;
  void GetScaleResults(std::uint32_t index, std::vector<double>& results) const;
  double GetCategoryResults(std::uint32_t index, std::vector<double>& counts, std::vector<double>& percents,
                            std::vector<OBS>& values, std::vector<std::string>& valueTexts,
                            std::vector<std::int32_t>& memberIndices, double& missingCount) const;
  // The same without the texts and members, which a variable's listing does
  // not show (a million values would hold 32 MB of texts).
  double GetCategoryResults(std::uint32_t index, std::vector<double>& counts, std::vector<double>& percents,
                            std::vector<OBS>& values, double& missingCount, CategoryRests* rests = nullptr) const;
  double GetWeightedCaseTotal();
  // What the weighted case total rounded away (after GetWeightedCaseTotal).
  double GetWeightedCaseTotalRest() const { return fCaseTotalRest; }

 private:
  double CategoryResults(std::uint32_t index, std::vector<double>& counts, std::vector<double>& percents,
                         std::vector<OBS>& values, std::vector<std::string>* valueTexts,
                         std::vector<std::int32_t>* memberIndices, double& missingCount,
                         CategoryRests* rests = nullptr) const;

  double fCaseTotal = -1.0;
  double fCaseTotalRest = 0.0;
  std::vector<PlanEntry*> fEntries;
  // Side by side in one array: the per-case loop calls every table in
  // turn, and thousands of tables scattered over the heap cost a cache miss
  // each per case.
  std::unique_ptr<std::optional<AggregationTable>[]> fTables;
  std::size_t fTableCount = 0;
  ProcDSIterator* fIterator = nullptr;
  std::vector<AggregationVariable*> fDimensions;  // owned by the tables' cubes
  const std::vector<AggregationStatistic>* fCategoryStatistics;
  const std::vector<std::int32_t>* fScaleCodes;
  std::vector<std::unique_ptr<CubeAggregator>> fAggregators;
  std::vector<bool> fCategoriesShown;
};

}  // namespace codebook
