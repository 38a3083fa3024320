#include "stats/variable_statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace codebook {

namespace {

constexpr std::uint32_t kScaleTreatment = 1;

// The statistic codes of one cell, read from a copy of its statistics list.
std::vector<TableEncryptionCodes::StatisticCodes> CellCodes(const StatValues& values) {
  const CellStatistics copy = values.GetCellStatistics();
  std::vector<TableEncryptionCodes::StatisticCodes> codes;
  codes.reserve(copy.GetStatistics().size());
  for (const AggregationStatistic& s : copy.GetStatistics()) codes.push_back(s.GetSummaryStatistic());
  return codes;
}

}  // namespace

VariableStatistics::VariableStatistics(const std::vector<PlanEntry*>& entries,
                                       const std::vector<AggregationStatistic>* categoryStatistics,
                                       const std::vector<std::int32_t>* scaleCodes)
    : fEntries(entries), fCategoryStatistics(categoryStatistics), fScaleCodes(scaleCodes) {}

void VariableStatistics::MakeScaleStatistics(std::vector<AggregationStatistic>& list,
                                             std::int32_t variableIndex) const {
  for (std::int32_t code : *fScaleCodes) {
    const auto c = static_cast<TableEncryptionCodes::StatisticCodes>(code);
    if (c != TableEncryptionCodes::Percentile) {
      list.emplace_back(variableIndex, c);
      continue;
    }
    for (double cut : {25.0, 50.0, 75.0}) {
      AggregationStatistic s(variableIndex, c);
      s.SetPTileCutPoint(cut);
      list.push_back(s);
    }
  }
}

void VariableStatistics::SetUpTables(ProcDSIterator* iterator, std::int32_t maxCats) {
  fIterator = iterator;
  const std::size_t n = fEntries.size();
  fTables = std::make_unique<std::optional<AggregationTable>[]>(n);
  fTableCount = n;
  fDimensions.assign(n, nullptr);
  fCategoriesShown.assign(n, false);
  if (n == 0) return;

  for (std::size_t i = 0; i < n; ++i) {
    const PlanEntry& entry = *fEntries[i];
    const ItemHandle& handle = *entry.Handle();
    AggregationTable* table = &fTables[i].emplace(*iterator, false, true, -1);
    AggregationCube* cube = table->CreateCube();
    const std::int32_t variableIndex = handle.Index();
    const std::string name = ItemName(entry);
    const bool scale = entry.Treatment() == kScaleTreatment;

    std::unique_ptr<AggregationVariable> dimension;
    switch (handle.Kind()) {
      case kItemCategorySet:
        dimension = std::make_unique<AggregationMCSet>(handle.MemberIndices(), name);
        break;
      case kItemDichotomySet:
        dimension = std::make_unique<AggregationMDSet>(handle.MemberIndices(), name, handle.CountedValue(),
                                                       handle.CountedValueLength(), false);
        break;
      default:
        if (scale) break;
        dimension = std::make_unique<AggregationVariable>(variableIndex, name);
        if (entry.ValueLabelsAsCategories() && handle.Variable() != nullptr) {
          QUVO_ValueLabelMap labels = handle.Variable()->GetValueLabels();
          if (labels.Size() > 0) {
            // The dimension takes ownership of the categories.
            std::vector<ParsedCategory*> categories;
            labels.Reset();
            OBS value;
            const char* label = nullptr;
            while (labels.GetNextPair(value, label) != 0) {
              categories.push_back(std::make_unique<ParsedCategory>(value, 0).release());
            }
            dimension->SetPredefinedCategories(categories);
          }
        }
        break;
    }

    // A set planned with the scale treatment has no place in the cube: its
    // dimension goes when this step ends.
    if (!scale && dimension != nullptr) {
      dimension->SetIsTotalNo(false);
      dimension->SetIsEmptyCategoriesNo(false);
      fDimensions[i] = dimension.get();
      cube->AddCategoricalVariable(dimension.release(), TableEncryptionCodes::Row);
    }
    cube->CreateCubeAggregator();

    if (scale) {
      std::vector<AggregationStatistic> statistics;
      MakeScaleStatistics(statistics, variableIndex);
      cube->AddScaleStatistics(statistics);
      fCategoriesShown[i] = true;
    } else if (!fCategoryStatistics->empty()) {
      const std::vector<AggregationStatistic> totals{AggregationStatistic(TableEncryptionCodes::Missing),
                                                     AggregationStatistic(TableEncryptionCodes::Total)};
      cube->AddCategoryAndTotalStatistics(*fCategoryStatistics, fDimensions[i], totals);
      fCategoriesShown[i] = static_cast<std::int64_t>(handle.CategoryCount()) <= static_cast<std::int64_t>(maxCats);
    } else {
      fCategoriesShown[i] = false;
    }
  }
}

std::int32_t VariableStatistics::PassCases(std::int32_t maxCats) {
  if (fIterator == nullptr || fIterator->NextCase() == 0) return 0;
  // What the per-case loop reads, gathered once: the tables that take every
  // case (scale statistics), and the categorical tables still within the
  // category limit with their dimension (a table's dimension does not change
  // during the pass). A table past the limit leaves the list for good.
  //
  // Past the limit a table's categories are counted only when they could
  // have passed it: a case adds at most one category to a variable (one per
  // member to a set), so a table with n categories cannot pass the limit
  // within the next (limit - n) / perCase cases.
  struct CountedTable {
    AggregationTable* table;
    const TableDimension* dimension;
    std::size_t index;
    std::int64_t perCase;        // categories a case can add at most
    std::int64_t nextCheck = 0;  // the first case that could find it over the limit
  };
  std::vector<AggregationTable*> everyCase;
  std::vector<CountedTable> counted;
  for (std::size_t i = 0; i < fTableCount; ++i) {
    AggregationTable* table = &*fTables[i];
    if (fDimensions[i] == nullptr) {
      everyCase.push_back(table);
    } else if (fCategoriesShown[i]) {
      const ItemHandle& handle = *fEntries[i]->Handle();
      const bool set = handle.Kind() == kItemCategorySet || handle.Kind() == kItemDichotomySet;
      const std::size_t members = set ? handle.MemberIndices().size() : 1;
      counted.push_back({table, table->GetTableMetaData()->GetDimension(0), i,
                         static_cast<std::int64_t>(std::max<std::size_t>(members, 1))});
    }
  }
  const std::int64_t limit = maxCats;
  const auto overLimit = [limit](const CountedTable& t) {
    return static_cast<std::int64_t>(t.dimension->GetNumberOfValues()) > limit;
  };
  // Every table that takes the next case, in the order they take it, and
  // the first case at which a counted table's check is due: between checks
  // a case is one plain loop over them.
  std::vector<AggregationTable*> taking;
  std::int64_t firstCheck = 0;
  const auto listTaking = [&] {
    taking = everyCase;
    firstCheck = std::numeric_limits<std::int64_t>::max();
    for (const CountedTable& t : counted) {
      taking.push_back(t.table);
      firstCheck = std::min(firstCheck, t.nextCheck);
    }
  };
  listTaking();
  bool more = true;
  std::int32_t c = 0;
  while (more) {
    if (!fIterator->SplitGroupEnd()) {
      if (c > limit && c >= firstCheck) {
        // Past the limit a table with more categories takes no further case.
        for (AggregationTable* table : everyCase) table->AddNewCase();
        bool dropped = false;
        firstCheck = std::numeric_limits<std::int64_t>::max();
        for (CountedTable& t : counted) {
          if (c >= t.nextCheck) {
            const auto n = static_cast<std::int64_t>(t.dimension->GetNumberOfValues());
            if (n > limit) {
              fCategoriesShown[t.index] = false;
              dropped = true;
              continue;
            }
            t.nextCheck = c + (limit - n) / t.perCase + 1;
          }
          firstCheck = std::min(firstCheck, t.nextCheck);
          t.table->AddNewCase();
        }
        if (dropped) {
          std::erase_if(counted, [this](const CountedTable& t) { return !fCategoriesShown[t.index]; });
          listTaking();
        }
        more = !taking.empty();
      } else {
        // Four tables a step: the loop's own count and branch were a fifth
        // of its instructions.
#pragma GCC unroll 4
        for (AggregationTable* table : taking) table->AddNewCase();
        more = !taking.empty();
        if (c == limit) {
          // Up to the limit every table takes the case; the one at the
          // limit is checked after it.
          std::erase_if(counted, [&](const CountedTable& t) {
            if (!overLimit(t)) return false;
            fCategoriesShown[t.index] = false;
            return true;
          });
          listTaking();
        }
      }
      ++c;
    }
    if (fIterator->NextCase() == 0) break;
  }
  if (c == 0) return 0;
  // The aggregators are ours from here on.
  for (std::size_t i = 0; i < fTableCount; ++i) fAggregators.emplace_back(fTables[i]->GetCubeAggregators().front());
  return c;
}

std::vector<bool> VariableStatistics::GetCategoriesShown() const { return fCategoriesShown; }

void VariableStatistics::GetScaleResults(std::uint32_t index, std::vector<double>& results) const {
  results.clear();
  // An index without a plan entry (a plan cut short) has no results.
  if (index >= fAggregators.size() || fDimensions[index] != nullptr) return;
  const StatValues* values = fAggregators[index]->GetStatValues({}, -1);
  if (values == nullptr) return;
  for (int j = 0; j < values->NumOfValues(); ++j) results.push_back(values->GetStatValue(j)->GetValue1());
}

double VariableStatistics::GetCategoryResults(std::uint32_t index, std::vector<double>& counts,
                                              std::vector<double>& percents, std::vector<OBS>& values,
                                              std::vector<std::string>& valueTexts,
                                              std::vector<std::int32_t>& memberIndices, double& missingCount) const {
  return CategoryResults(index, counts, percents, values, &valueTexts, &memberIndices, missingCount);
}

double VariableStatistics::GetCategoryResults(std::uint32_t index, std::vector<double>& counts,
                                              std::vector<double>& percents, std::vector<OBS>& values,
                                              double& missingCount, CategoryRests* rests) const {
  const double total = CategoryResults(index, counts, percents, values, nullptr, nullptr, missingCount, rests);
  // The listing has what it needs: the categories need not stay while its
  // rows are made (made again should anything ask).
  if (index < fDimensions.size() && fDimensions[index] != nullptr) {
    fDimensions[index]->GetTableDimension()->ReleaseCategories();
  }
  return total;
}

double VariableStatistics::CategoryResults(std::uint32_t index, std::vector<double>& counts,
                                           std::vector<double>& percents, std::vector<OBS>& values,
                                           std::vector<std::string>* valueTexts,
                                           std::vector<std::int32_t>* memberIndices, double& missingCount,
                                           CategoryRests* rests) const {
  if (rests != nullptr) *rests = CategoryRests{};
  counts.clear();
  percents.clear();
  values.clear();
  if (valueTexts != nullptr) valueTexts->clear();
  if (memberIndices != nullptr) memberIndices->clear();
  missingCount = 0.0;
  double total = 0.0;
  if (index >= fAggregators.size()) return 0.0;  // no plan entry here: nothing to report
  AggregationVariable* dimension = fDimensions[index];
  if (dimension == nullptr) return 0.0;

  TableDimension* table = dimension->GetTableDimension();
  const bool categorySet = dynamic_cast<TableMCSet*>(table) != nullptr;
  const bool dichotomySet = dynamic_cast<TableMDSet*>(table) != nullptr;
  const std::vector<AggregationCategory*> categories = table->GetCategoryPointers();
  const std::size_t m = categories.size();
  // One entry per category but the total: made to size, since a listing
  // can be a million long.
  const std::size_t n = m > 0 ? m - 1 : 0;
  counts.reserve(n);
  if (rests != nullptr) rests->counts.reserve(n);
  percents.reserve(n);
  if (!dichotomySet) values.reserve(n);
  if (valueTexts != nullptr) valueTexts->reserve(n);
  if (memberIndices != nullptr && (dichotomySet || categorySet)) memberIndices->reserve(n);
  for (std::size_t k = 0; k < m; ++k) {
    const AggregationCategory* category = categories[k];
    const bool real = k + 1 < m;
    if (real) {
      if (memberIndices != nullptr && (dichotomySet || categorySet))
        memberIndices->push_back(category->GetMemberIndex());
      if (!dichotomySet) values.push_back(category->GetValue());
      if (valueTexts != nullptr) valueTexts->push_back(category->GetText());
    }
    const StatValues* cell = fAggregators[index]->GetStatValues({category}, -1);
    if (cell == nullptr) {
      if (real) {
        counts.push_back(0.0);
        if (rests != nullptr) rests->counts.push_back(0.0);
        percents.push_back(0.0);
      }
      continue;
    }
    const auto codes = CellCodes(*cell);
    for (int j = 0; j < cell->NumOfValues() && static_cast<std::size_t>(j) < codes.size(); ++j) {
      const double value = cell->GetStatValue(j)->GetValue1();
      const double rest = cell->GetStatValue(j)->Rest();
      switch (codes[static_cast<std::size_t>(j)]) {
        case TableEncryptionCodes::Count:
          counts.push_back(value);
          if (rests != nullptr) rests->counts.push_back(rest);
          break;
        case TableEncryptionCodes::Percent:
          percents.push_back(value);
          break;
        case TableEncryptionCodes::Missing:
          missingCount = value;
          if (rests != nullptr) rests->missing = rest;
          break;
        case TableEncryptionCodes::Total:
          if (!real) {
            total = value;
            if (rests != nullptr) rests->total = rest;
          }
          break;
        default:
          break;
      }
    }
  }
  return total;
}

double VariableStatistics::GetWeightedCaseTotal() {
  if (fAggregators.empty()) return fCaseTotal;
  for (std::size_t i = 0; i < fAggregators.size() && fCaseTotal < 0.0; ++i) {
    if (!fCategoriesShown[i]) continue;
    if (fDimensions[i] == nullptr) {
      const StatValues* cell = fAggregators[i]->GetStatValues({}, -1);
      if (cell == nullptr) continue;
      const auto codes = CellCodes(*cell);
      host::CompensatedSum sum;  // its carry takes the parts' rests too
      for (int j = 0; j < cell->NumOfValues() && static_cast<std::size_t>(j) < codes.size(); ++j) {
        const auto code = codes[static_cast<std::size_t>(j)];
        if (code == TableEncryptionCodes::Valid || code == TableEncryptionCodes::Missing) {
          sum.Add(cell->GetStatValue(j)->GetValue1(), cell->GetStatValue(j)->Rest());
        }
      }
      if (sum.sum > 0.0) {
        fCaseTotal = sum.sum;
        fCaseTotalRest = std::isfinite(sum.sum) ? sum.carry : 0.0;
      }
      continue;
    }
    const std::vector<AggregationCategory*> categories = fDimensions[i]->GetTableDimension()->GetCategoryPointers();
    if (categories.empty()) continue;
    const StatValues* cell = fAggregators[i]->GetStatValues({categories.back()}, -1);
    if (cell == nullptr) continue;
    const auto codes = CellCodes(*cell);
    for (int j = 0; j < cell->NumOfValues() && static_cast<std::size_t>(j) < codes.size(); ++j) {
      if (codes[static_cast<std::size_t>(j)] == TableEncryptionCodes::Total) {
        const double value = cell->GetStatValue(j)->GetValue1();
        if (value > 0.0) {
          fCaseTotal = value;
          fCaseTotalRest = cell->GetStatValue(j)->Rest();
        }
        break;
      }
    }
  }
  return fCaseTotal;
}

}  // namespace codebook
