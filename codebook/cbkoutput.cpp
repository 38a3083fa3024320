#include "cbkoutput.h"

#include <memory>

#include "ordering.h"
#include "stats/variable_statistics.h"

namespace codebook {

// The working data of one Run. The members are released in reverse order of
// declaration, after the statistics object (which refers to the plan entries,
// the category statistics and the iterator), also when the data pass throws
// (bad input data propagates to the host).
struct RunWork {
  explicit RunWork(std::unique_ptr<VariableStatistics>& runStatistics) : statistics(runStatistics) {}
  RunWork(const RunWork&) = delete;
  RunWork& operator=(const RunWork&) = delete;
  ~RunWork() { statistics.reset(); }

  std::unique_ptr<VariableStatistics>& statistics;  // the run's, released first
  std::vector<CodebookItem> items;
  std::string valueLabelWarning;
  std::vector<std::int32_t> treatments;
  std::unique_ptr<QUVO_InputCaseIterator> iterator;
  std::vector<AggregationStatistic> categoryStatistics;
  std::vector<std::unique_ptr<PlanEntry>> plan;
};

namespace {

void DropFinalComma(std::string& text) {
  if (!text.empty() && text.back() == ',') text.pop_back();
}

}  // namespace

CodebookRun::CodebookRun(CodebookSettings* settings, ProcedureDataSource* dataSource, BpProcedure* procedure,
                         ParserMessage* messages)
    : fSettings(settings), fDataSource(dataSource), fProcedure(procedure), fMessages(messages) {}

CodebookRun::~CodebookRun() = default;

void CodebookRun::OrderVariables(std::vector<CodebookItem>& items) const {
  OrderItems(items, *fSettings, *fDataSource);
}

void CodebookRun::MakeScaleStatCodes(bool allStatistics) {
  fScaleStatCodes.clear();
  fScaleStatCodes.push_back(TableEncryptionCodes::Valid);
  fScaleStatCodes.push_back(TableEncryptionCodes::Missing);
  if (allStatistics || fSettings->statMean()) fScaleStatCodes.push_back(TableEncryptionCodes::Mean);
  if (allStatistics || fSettings->statStdDev()) fScaleStatCodes.push_back(TableEncryptionCodes::StdDev);
  if (allStatistics || fSettings->statQuartiles()) fScaleStatCodes.push_back(TableEncryptionCodes::Percentile);
}

void CodebookRun::MakeCategoryStatistics(std::vector<AggregationStatistic>& list, bool allStatistics) const {
  // Percents are computed from the counts, so PERCENT alone still counts.
  if (allStatistics || fSettings->statCount() || fSettings->statPercent()) {
    list.emplace_back(TableEncryptionCodes::Count);
  }
  if (allStatistics || fSettings->statPercent()) list.emplace_back(TableEncryptionCodes::Percent);
}

void CodebookRun::Run() {
  RunWork work(fStatistics);

  // The working list in reporting order.
  work.items = fSettings->items();
  OrderVariables(work.items);

  // What the STATISTICS subcommand asks for.
  const bool statisticsNone = fSettings->statisticsNone();
  const bool allStatistics = !fSettings->statisticsGiven();
  fCategoriesShown.clear();
  if (!statisticsNone) MakePlan(work, allStatistics);

  // The case iterator.
  work.iterator.reset(fDataSource->CreateCaseIterator(0));
  ProcDSIterator* cases = dynamic_cast<ProcDSIterator*>(work.iterator.get());
  CB_CHECK("cbkoutput", cases != nullptr);

  // Statistics set-up and the data pass.
  if (!statisticsNone && !PassData(work, cases, allStatistics)) {
    fMessages->GenericError("Empty dataset.");
    return;
  }

  // The file information table comes before every item table.
  if (fSettings->fileInfoGiven()) {
    const double weightedTotal = fStatistics != nullptr ? fStatistics->GetWeightedCaseTotal() : -1.0;
    WriteFileInformation(weightedTotal);
  }
  WriteItemTables(work, allStatistics);
  IssueClosingWarnings(work);
}

void CodebookRun::MakePlan(RunWork& work, bool allStatistics) {
  const bool countsOrPercents = allStatistics || fSettings->statCount() || fSettings->statPercent();
  const std::vector<std::int32_t>& settingsTreatment = fSettings->treatment();
  // One entry per item, and a second, categorical entry over the labelled
  // values of a scale variable when counts are wanted.
  for (const CodebookItem& item : work.items) {
    auto handle = std::make_unique<ItemHandle>();
    std::int32_t treatment = kTreatNominal;
    bool resolved = false;
    if (item.IsSet()) {
      resolved = ResolveItemByName(*handle, fDataSource, item);
    } else {
      CB_CHECK("cbkoutput", item.index >= 0 && static_cast<std::size_t>(item.index) < settingsTreatment.size());
      treatment = settingsTreatment[static_cast<std::size_t>(item.index)];
      resolved = ResolveVariable(*handle, fDataSource, item.index);
    }
    if (!resolved) break;  // no later item gets an entry

    auto entry = std::make_unique<PlanEntry>(std::move(handle));
    entry->SetTreatment(static_cast<std::uint32_t>(treatment));
    work.plan.push_back(std::move(entry));
    work.treatments.push_back(treatment);
    fCategoriesShown.push_back(true);

    if (treatment == kTreatScale && countsOrPercents) {
      const QUVO_Variable* variable = fDataSource->GetVariable(item.index);
      if (variable != nullptr && variable->GetValueLabels().Size() > 0) {
        auto labelled = std::make_unique<ItemHandle>();
        if (!ResolveVariable(*labelled, fDataSource, item.index)) break;
        auto labelledEntry = std::make_unique<PlanEntry>(std::move(labelled));
        labelledEntry->SetTreatment(kTreatNominal);
        labelledEntry->SetValueLabelsAsCategories(true);
        work.plan.push_back(std::move(labelledEntry));
        work.treatments.push_back(kTreatNominal);
        fCategoriesShown.push_back(true);
      }
    }
  }
}

bool CodebookRun::PassData(RunWork& work, ProcDSIterator* cases, bool allStatistics) {
  MakeScaleStatCodes(allStatistics);
  MakeCategoryStatistics(work.categoryStatistics, allStatistics);
  std::vector<PlanEntry*> entries;
  entries.reserve(work.plan.size());
  for (const auto& entry : work.plan) entries.push_back(entry.get());
  fStatistics = std::make_unique<VariableStatistics>(entries, &work.categoryStatistics, &fScaleStatCodes);
  const std::int32_t maxCats = fSettings->maxCats();
  fStatistics->SetUpTables(cases, maxCats);
  if (fStatistics->PassCases(maxCats) == 0) return false;
  fCategoriesShown = fStatistics->GetCategoriesShown();
  return true;
}

void CodebookRun::WriteItemTables(RunWork& work, bool allStatistics) {
  const bool statisticsNone = fSettings->statisticsNone();
  const std::vector<std::int32_t>& settingsTreatment = fSettings->treatment();
  // One table per item; p is the aggregation index.
  std::uint32_t p = 0;
  for (const CodebookItem& item : work.items) {
    if (item.IsSet()) {
      if (p < work.plan.size() && work.plan[p]->Handle() != nullptr) {
        WriteSetTable(item, *work.plan[p]->Handle(), p, allStatistics);
      } else {
        // No plan entry (a run without statistics): resolve afresh.
        ItemHandle fresh;
        ResolveItemByName(fresh, fDataSource, item);
        WriteSetTable(item, fresh, p, allStatistics);
      }
      p = p + 1;
    } else {
      std::int32_t treatment = 0;
      if (!statisticsNone && p < work.treatments.size()) {
        treatment = work.treatments[p];
      } else {
        CB_CHECK("cbkoutput", item.index >= 0 && static_cast<std::size_t>(item.index) < settingsTreatment.size());
        treatment = settingsTreatment[static_cast<std::size_t>(item.index)];
      }
      p = WriteVariableTable(static_cast<std::uint32_t>(item.index), p, allStatistics,
                             static_cast<std::uint32_t>(treatment)) +
          1;
    }
  }
}

void CodebookRun::IssueClosingWarnings(RunWork& work) {
  // Items that showed nothing. The writers append "name ,"; only the
  // final comma goes.
  if (!fNoInfoNames.empty()) {
    DropFinalComma(fNoInfoNames);
    fMessages->GenericWarning("No Variable Information for ^1.", fNoInfoNames.c_str());
  }

  // Items whose categories could not be shown.
  if (!work.categoryStatistics.empty()) {
    for (std::size_t i = 0; i < fCategoriesShown.size() && i < work.plan.size(); ++i) {
      if (fCategoriesShown[i]) continue;
      work.valueLabelWarning += ItemName(*work.plan[i]);
      work.valueLabelWarning += ',';
    }
  }
  const bool statisticsGiven = fSettings->statisticsGiven();
  const bool valueLabelsShown = !fSettings->varInfoGiven() || fSettings->varInfoValueLabels();
  const bool noCountsOrPercents =
      fSettings->statisticsNone() || (statisticsGiven && !fSettings->statCount() && !fSettings->statPercent());
  if (valueLabelsShown && noCountsOrPercents) {
    const std::int32_t maxCats = fSettings->maxCats();
    for (const CodebookItem& item : work.items) {
      if (item.IsSet()) continue;
      const QUVO_Variable* variable = fDataSource->GetVariable(item.index);
      if (variable == nullptr) continue;
      if (variable->GetValueLabels().Size() > maxCats) {
        work.valueLabelWarning += variable->GetName();
        work.valueLabelWarning += ',';
      }
    }
  }
  if (!work.valueLabelWarning.empty()) {
    DropFinalComma(work.valueLabelWarning);
    fMessages->GenericWarning("Value labels, counts, and/or percents not displayed for ^1.",
                              work.valueLabelWarning.c_str());
  }
}

}  // namespace codebook
