// The aggregation engine's public classes over the state in engine_state.h.

#include <malloc.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "host/aggregation.h"
#include "host/check.h"
#include "host/common/text.h"
#include "host/engine/engine_state.h"
#include "host/engine/pass.h"
#include "host/quvo.h"

namespace host {

engine::ColumnRule ColumnRuleOf(const QUVO_DataSource& source, int index) {
  engine::ColumnRule rule;
  rule.index = index;
  const QUVO_Variable* variable = source.GetVariable(index);
  if (variable == nullptr) return rule;
  rule.known = true;
  rule.isString = variable->IsString();
  rule.checkMissing = !variable->missing.Empty();
  rule.numericMissing.values = variable->missing.numbers;
  rule.numericMissing.hasRange = variable->missing.hasRange;
  rule.numericMissing.low = variable->missing.low;
  rule.numericMissing.high = variable->missing.high;
  rule.numericMissing.extended = variable->missing.extended;
  for (const std::string& m : variable->missing.strings) rule.stringMissing.emplace_back(TrimTrailingBlanks(m));
  return rule;
}

// ---------------------------------------------------------------- dimension

DimensionImpl::DimensionImpl(DimensionKind kind, std::vector<int> variables, std::string name)
    : fKind(kind), fVariables(std::move(variables)), fName(std::move(name)) {
  switch (kind) {
    case DimensionKind::Variable:
      fTableDimension = std::make_unique<TableDimension>(this);
      break;
    case DimensionKind::CategorySet:
      fTableDimension = std::make_unique<TableMCSet>(this);
      break;
    case DimensionKind::DichotomySet:
      fTableDimension = std::make_unique<TableMDSet>(this);
      break;
  }
  fRule.kind = kind;
}

DimensionImpl::~DimensionImpl() = default;

void DimensionImpl::SetPredefined(const std::vector<ParsedCategory*>& categories) {
  fPredefined.clear();
  for (ParsedCategory* c : categories) fPredefined.emplace_back(c);
  fRule.fixed = fKind != DimensionKind::DichotomySet;
}

void DimensionImpl::SetCountedValue(const OBS* value, int length) {
  fCountedSource = value;
  fCountedLength = length;
}

void DimensionImpl::Attach(TableState* state, CaseTally* tally) {
  fState = state;
  fTableDimension->SetTally(tally);
}

void DimensionImpl::Prepare(const QUVO_DataSource& source) {
  if (fPrepared) return;
  fPrepared = true;
  bool typeKnown = false;
  for (int v : fVariables) {
    engine::ColumnRule m = ColumnRuleOf(source, v);
    fMemberVariables.push_back(source.GetVariable(v));
    if (m.known && !typeKnown) {
      fRule.isString = m.isString;
      typeKnown = true;
    }
    fRule.members.push_back(std::move(m));
  }
  for (engine::ColumnRule& m : fRule.members) {
    m.usable = m.known && m.isString == fRule.isString;
    if (m.known) ++fRule.knownMembers;
  }
  if (fRule.fixed) {
    for (const auto& c : fPredefined) {
      if (fRule.isString) {
        fRule.predefinedStrings.emplace_back(ObsString(c->Value()));
      } else {
        fRule.predefinedNumbers.push_back(c->Value().d);
      }
    }
  }
  if (fKind == DimensionKind::DichotomySet && fCountedSource != nullptr) {
    if (fRule.isString) {
      // Blank-padded units: equal to a trimmed cell exactly when the trimmed
      // texts are equal.
      const auto bytes = static_cast<std::size_t>(std::max(fCountedLength, 0)) * sizeof(OBS);
      fRule.countedText =
          std::string(TrimTrailingBlanks(std::string_view(reinterpret_cast<const char*>(fCountedSource), bytes)));
    } else {
      fRule.countedNumber = fCountedSource->d;
    }
  }
  fCountedSource = nullptr;
}

const engine::DimensionCounts* DimensionImpl::Counts() const {
  if (fState == nullptr) return nullptr;
  fState->Settle();
  CB_CHECK("engine", !fState->incomplete);
  return fState->Merged().Dimension();
}

std::size_t DimensionImpl::NumberOfValues() {
  if (fFrozen) return fFrozenValues;
  if (fState != nullptr && fState->table != nullptr && fState->table->pass != nullptr) {
    return fState->table->pass->NumberOfValues(*fState->table);
  }
  const engine::DimensionCounts* counts = Counts();
  if (counts == nullptr) return fKind == DimensionKind::DichotomySet ? fRule.knownMembers : 0;
  return counts->NumberOfValues(fRule);
}

double DimensionImpl::CategoryCount(int position) const {
  const auto at = static_cast<std::size_t>(position);
  return fFrozen ? fFrozenCounts[at] : Counts()->Count(fOrder[at]);
}

double DimensionImpl::CategoryRest(int position) const {
  const auto at = static_cast<std::size_t>(position);
  if (fFrozen) return at < fFrozenRests.size() ? fFrozenRests[at] : 0.0;
  return Counts()->CountSum(fOrder[at]).Rest();
}

double DimensionImpl::TotalRest() const {
  if (fFrozen) return fFrozenTotalRest;
  const engine::DimensionCounts* counts = Counts();
  return counts ? counts->TotalSum().Rest() : 0.0;
}

double DimensionImpl::MissingRest() const {
  if (fFrozen) return fFrozenMissingRest;
  const engine::DimensionCounts* counts = Counts();
  return counts ? counts->MissingSum().Rest() : 0.0;
}

double DimensionImpl::MissingWeight() const {
  if (fFrozen) return fFrozenMissing;
  const engine::DimensionCounts* counts = Counts();
  return counts ? counts->MissingWeight() : 0.0;
}

double DimensionImpl::TotalWeight() const {
  if (fFrozen) return fFrozenTotal;
  const engine::DimensionCounts* counts = Counts();
  return counts ? counts->TotalWeight() : 0.0;
}

std::string DimensionImpl::TextOf(const AggregationCategory& category) const {
  if (category.IsTotal()) return "Total";
  if (fKind == DimensionKind::DichotomySet) {
    for (std::size_t j = 0; j < fRule.members.size(); ++j) {
      if (fRule.members[j].known && fRule.members[j].index == category.GetMemberIndex()) {
        return fMemberVariables[j]->name;
      }
    }
    return {};
  }
  if (fRule.isString) return std::string(ObsString(category.GetValue()));
  return NumberText(category.GetValue().d);
}

namespace {
// Categories of a dimension whose freed index is worth handing back to the
// system at once (some 60 bytes a category).
constexpr std::size_t kTrimAfter = 100000;
}  // namespace

void DimensionImpl::Freeze(engine::DimensionCounts& counts) {
  fFrozenCounts.reserve(fOrder.size());
  for (const std::uint32_t s : fOrder) fFrozenCounts.push_back(counts.Count(s));
  // Counts of whole weights have no rest: kept only when one has.
  for (std::size_t i = 0; i < fOrder.size(); ++i) {
    const double rest = counts.CountSum(fOrder[i]).Rest();
    if (rest == 0.0) continue;
    fFrozenRests.assign(fOrder.size(), 0.0);
    for (std::size_t j = i; j < fOrder.size(); ++j) fFrozenRests[j] = counts.CountSum(fOrder[j]).Rest();
    break;
  }
  fFrozenMissing = counts.MissingWeight();
  fFrozenMissingRest = counts.MissingSum().Rest();
  fFrozenTotal = counts.TotalWeight();
  fFrozenTotalRest = counts.TotalSum().Rest();
  fFrozenValues = counts.NumberOfValues(fRule);
  fFrozen = true;
  std::vector<std::uint32_t>().swap(fOrder);
  // Moved out and destroyed, not assigned over: assigning would keep the
  // capacity of the category texts' arena (a string: 16 MB for a million).
  { const engine::DimensionCounts gone(std::move(counts)); }
  counts = engine::DimensionCounts(fRule);
  // A large index leaves its pages free in the middle of the heap, where the
  // allocator keeps them: hand them back before the listing is made.
  if (fFrozenCounts.size() >= kTrimAfter) malloc_trim(0);
}

int DimensionImpl::MemberIndexOf(const OBS& value) const {
  int first = -1;
  for (std::size_t j = 0; j < fRule.members.size(); ++j) {
    if (!fRule.members[j].usable) continue;
    const QUVO_Variable* variable = fMemberVariables[j];
    if (first < 0) first = fRule.members[j].index;
    if (variable->GetValueLabels().GetLabel(value) != nullptr) return fRule.members[j].index;
  }
  return first;
}

void DimensionImpl::BuildCategories() {
  if (fFrozen) {
    // The counts were copied out because no case could come any more: a
    // change of the merged state after that would be lost.
    CB_CHECK("engine", (fState ? fState->generation : 0) == fBuiltGeneration);
    if (fReleased) MakeCategories(std::move(fKeptValues), std::move(fKeptMembers));
    return;
  }
  const engine::DimensionCounts* counts = Counts();  // settles what is pending
  const std::uint64_t generation = fState ? fState->generation : 0;
  if (fBuiltGeneration == generation) return;
  fBuiltGeneration = generation;
  if (!fCategories.empty()) fRetired.push_back(std::move(fCategories));
  fCategories.clear();
  fOrder.clear();

  std::vector<OBS> values;
  std::vector<int> members;
  if (fKind == DimensionKind::DichotomySet) {
    const OBS value = fRule.isString ? ObsFromString(fRule.countedText) : ObsFromNumber(fRule.countedNumber);
    for (std::size_t j = 0; j < fRule.members.size(); ++j) {
      if (!fRule.members[j].known) continue;
      values.push_back(value);
      members.push_back(fRule.members[j].index);
      fOrder.push_back(static_cast<std::uint32_t>(j));
    }
  } else if (counts != nullptr) {
    const std::size_t n = counts->Slots();
    // No case can come any more: what finds a value goes before the
    // listing's copies are made (a million distinct values: 16 to 48 MB).
    if (fState->PassOver()) fState->Merged().Dimension()->DropLookup();
    std::vector<std::uint32_t> slots;
    slots.reserve(n);
    for (std::uint32_t s = 0; s < n; ++s) {
      if (counts->Count(s) > 0.0) slots.push_back(s);
    }
    if (!fRule.fixed) {
      if (fRule.isString) {
        std::sort(slots.begin(), slots.end(),
                  [counts](std::uint32_t a, std::uint32_t b) { return counts->String(a) < counts->String(b); });
      } else {
        std::sort(slots.begin(), slots.end(),
                  [counts](std::uint32_t a, std::uint32_t b) { return counts->Number(a) < counts->Number(b); });
      }
    }
    fOrder = std::move(slots);
    values.reserve(fOrder.size());
    for (const std::uint32_t s : fOrder) {
      values.push_back(fRule.isString ? ObsFromString(counts->String(s)) : ObsFromNumber(counts->Number(s)));
    }
    if (fKind == DimensionKind::CategorySet) {
      members.reserve(values.size());
      for (const OBS& value : values) members.push_back(MemberIndexOf(value));
    }
  }

  // No case can come any more: the counts are final. Copied out before the
  // categories are made, so that the table's index is gone by then.
  if (counts != nullptr && fState->PassOver()) Freeze(*fState->Merged().Dimension());
  MakeCategories(std::move(values), std::move(members));
}

void DimensionImpl::MakeCategories(std::vector<OBS> values, std::vector<int> members) {
  fCategories.reserve(values.size() + (fNoTotal ? 0 : 1));
  for (std::size_t i = 0; i < values.size(); ++i) {
    AggregationCategory& c = fCategories.emplace_back();
    c.fValue = values[i];
    c.fDimension = this;
    c.fMemberIndex = members.empty() ? -1 : members[i];
    c.fIndex = static_cast<int>(fCategories.size() - 1);
  }
  std::vector<OBS>().swap(values);
  if (!fNoTotal) {
    AggregationCategory& total = fCategories.emplace_back();
    total.fValue = ObsFromNumber(SYSMIS);
    total.fDimension = this;
    total.fIsTotal = true;
    total.fIndex = static_cast<int>(fCategories.size() - 1);
  }
  fReleased = false;
}

void DimensionImpl::ReleaseCategories() {
  // Only final categories can be made again without the counts.
  if (!fFrozen || fReleased) return;
  const bool memberIndices = fKind != DimensionKind::Variable;
  fKeptValues.reserve(fCategories.size());
  if (memberIndices) fKeptMembers.reserve(fCategories.size());
  for (const AggregationCategory& c : fCategories) {
    if (c.IsTotal()) continue;
    fKeptValues.push_back(c.GetValue());
    if (memberIndices) fKeptMembers.push_back(c.GetMemberIndex());
  }
  std::vector<AggregationCategory>().swap(fCategories);
  fRetired.clear();
  fReleased = true;
}

// ---------------------------------------------------------------- table

const std::shared_ptr<const engine::TableRules>& TableState::Rules() {
  if (!fRules) {
    auto rules = std::make_shared<engine::TableRules>();
    if (const DimensionImpl* d = Dimension()) rules->dimension = d->Rule();
    rules->scales = scaleRules;
    fRules = std::move(rules);
  }
  return fRules;
}

engine::TableAccumulator& TableState::Merged() {
  if (pendingFinal) AwaitFinal();
  if (!fMerged) fMerged = std::make_unique<engine::TableAccumulator>(*Rules());
  return *fMerged;
}

void TableState::AwaitFinal() {
  const std::shared_ptr<FinalJobs> jobs = std::move(pendingFinal);  // leaves it empty
  jobs->Await(finalJob, *this);
}

std::vector<double> TableState::PercentileTargets(std::size_t v) const {
  std::vector<double> ps;
  if (!scaleCell) return ps;
  const auto& stats = scaleCell->GetStatistics();
  for (std::size_t j = 0; j < stats.size() && j < scaleOfStatistic.size(); ++j) {
    if (scaleOfStatistic[j] == v && stats[j].GetSummaryStatistic() == TableEncryptionCodes::Percentile) {
      ps.push_back(stats[j].GetPTileCutPoint() / 100.0);
    }
  }
  return ps;
}

bool TableState::Wants(std::size_t v, int code) const {
  if (!scaleCell) return false;
  const auto& stats = scaleCell->GetStatistics();
  for (std::size_t j = 0; j < stats.size() && j < scaleOfStatistic.size(); ++j) {
    if (scaleOfStatistic[j] == v && stats[j].GetSummaryStatistic() == code) return true;
  }
  return false;
}

void TableState::Finalize() {
  if (fFinalGeneration == generation) return;
  // Not Merged(): on a thread of FinalJobs the accumulator is made already
  // and pendingFinal is the procedure's thread's to read.
  if (!fMerged) fMerged = std::make_unique<engine::TableAccumulator>(*Rules());
  const std::vector<engine::ScaleAccumulator>& scales = fMerged->Scales();
  fPercentiles.assign(scales.size(), {});
  fMeans.assign(scales.size(), std::nullopt);
  fStdDevs.assign(scales.size(), std::nullopt);
  // The mean and the standard deviation right after the percentiles, from
  // the same reading of the stored values while they are still in the
  // cache, and on the pass's threads instead of the procedure's.
  for (std::size_t v = 0; v < scales.size(); ++v) FinalFor(v, true, true);
  fFinalGeneration = generation;
}

bool TableState::BeginFinal(std::size_t atLeast) {
  if (fFinalGeneration == generation) return false;
  if (!fMerged) fMerged = std::make_unique<engine::TableAccumulator>(*Rules());
  const std::vector<engine::ScaleAccumulator>& scales = fMerged->Scales();
  std::size_t stored = 0;
  for (const engine::ScaleAccumulator& scale : scales) {
    if (!scale.ValuesSettled()) return false;
    stored += scale.StoredValueCount();
  }
  if (stored < atLeast) return false;
  fPercentiles.assign(scales.size(), {});
  fMeans.assign(scales.size(), std::nullopt);
  fStdDevs.assign(scales.size(), std::nullopt);
  return true;
}

void TableState::FinalFor(std::size_t v, bool percentiles, bool moments) {
  const engine::ScaleAccumulator& scale = fMerged->Scales()[v];
  const std::vector<double> ps = percentiles ? PercentileTargets(v) : std::vector<double>{};
  double mean = 0.0;
  double sd = 0.0;
  const bool wantsMean = moments && Wants(v, TableEncryptionCodes::Mean);
  const bool wantsStdDev = moments && Wants(v, TableEncryptionCodes::StdDev) && scale.KeepsValues();
  if (ps.empty() && !wantsMean && !wantsStdDev) return;
  std::vector<double> found = scale.Results(ps, wantsMean ? &mean : nullptr, wantsStdDev ? &sd : nullptr);
  if (!ps.empty()) fPercentiles[v] = std::move(found);
  if (wantsMean) fMeans[v] = mean;
  if (wantsStdDev) fStdDevs[v] = sd;
}

// Each half asks for its part of what Finalize asks in one call, so the same
// functions read the same values: the same bits.
void TableState::FinalHalf(int half) {
  for (std::size_t v = 0; v < fMerged->Scales().size(); ++v) FinalFor(v, half == 0, half == 1);
}

void TableState::EndFinal() { fFinalGeneration = generation; }

double TableState::Mean(std::size_t v) {
  if (pendingFinal) AwaitFinal();
  if (fFinalGeneration == generation && v < fMeans.size() && fMeans[v]) return *fMeans[v];
  return Merged().Scales()[v].Mean();
}

double TableState::StdDev(std::size_t v) {
  if (pendingFinal) AwaitFinal();
  if (fFinalGeneration == generation && v < fStdDevs.size() && fStdDevs[v]) return *fStdDevs[v];
  return Merged().Scales()[v].StdDevKept();
}

std::vector<double> TableState::Percentiles(std::size_t v, const std::vector<double>& ps) {
  if (pendingFinal) AwaitFinal();
  if (fFinalGeneration == generation && v < fPercentiles.size() && fPercentiles[v].size() == ps.size() &&
      PercentileTargets(v) == ps) {
    return fPercentiles[v];
  }
  return Merged().Scales()[v].Percentiles(ps);
}

void TableState::Settle() {
  if (table != nullptr && table->pass != nullptr) table->pass->Settle(*table);
}

bool TableState::PassOver() const { return table == nullptr || table->pass == nullptr || table->pass->Finished(); }

TableImpl::TableImpl(ProcDSIterator& it, CaseTally& caseTally)
    : state(std::make_shared<TableState>()), tally(caseTally) {
  state->table = this;
  cube = std::make_unique<AggregationCube>(this, &it.Source());
  metadata = std::make_unique<TableMetadata>();
  tally.position = &detached;
  it.Pass().Register(*this);
}

namespace {

// A wide pass's table states, kept once the procedure lets its tables go:
// taking apart thousands of them (category indexes, counts, stored values)
// one by one cost the procedure's thread tens of milliseconds after the
// pass, ahead of the report, for memory the process's end gives back at
// once. The next pass lets them go, so runs of many commands do not pile
// them up. Never destroyed itself (reachable to the end, not a leak).
struct KeptStates {
  std::mutex mutex;
  std::vector<std::shared_ptr<TableState>> states;
};

KeptStates& Kept() {
  static auto* kept = new KeptStates;
  return *kept;
}

// Passes with fewer tables free them as they go: there is little to save.
constexpr std::size_t kKeptFrom = 256;

}  // namespace

void ReleaseKeptStates() {
  std::vector<std::shared_ptr<TableState>> gone;
  KeptStates& kept = Kept();
  std::lock_guard<std::mutex> lock(kept.mutex);
  gone.swap(kept.states);
}

TableImpl::~TableImpl() {
  const bool keep = pass != nullptr && pass->Finished() && pass->TableCount() >= kKeptFrom;
  if (pass != nullptr) pass->Unregister(*this);
  state->table = nullptr;
  if (keep) {
    KeptStates& kept = Kept();
    try {
      std::lock_guard<std::mutex> lock(kept.mutex);
      kept.states.push_back(std::move(state));
    } catch (...) {
      // No room to keep it: it is freed here instead.
    }
  }
}

// ---------------------------------------------------------------- aggregator

void AggregatorImpl::Refresh() {
  if (fGeneration == fState->generation) return;
  fGeneration = fState->generation;
  if (fWhole) fRetired.push_back(std::move(fWhole));
}

namespace {

// The statistics of the whole table over its scale variables; percentiles
// of one variable share one copy of its values.
std::vector<AggregationResult> ScaleValues(TableState& s) {
  const auto& stats = s.scaleCell->GetStatistics();
  std::vector<AggregationResult> values(stats.size(), AggregationResult(SYSMIS));
  const std::vector<engine::ScaleAccumulator>& scales = s.Merged().Scales();
  for (std::size_t v = 0; v < scales.size(); ++v) {
    const engine::ScaleAccumulator& acc = scales[v];
    std::vector<double> ps;
    std::vector<std::size_t> at;
    for (std::size_t j = 0; j < stats.size(); ++j) {
      if (s.scaleOfStatistic[j] != v) continue;
      const double w = acc.ValidWeight();
      const double missing = acc.MissingWeight();
      double value = SYSMIS;
      double rest = 0.0;
      switch (stats[j].GetSummaryStatistic()) {
        case TableEncryptionCodes::Valid:
        case TableEncryptionCodes::Count:
          value = w;
          rest = acc.ValidRest();
          break;
        case TableEncryptionCodes::Missing:
          value = missing;
          rest = acc.MissingRest();
          break;
        case TableEncryptionCodes::Total:
          value = w + missing;
          break;
        case TableEncryptionCodes::Mean:
          value = s.Mean(v);
          break;
        case TableEncryptionCodes::StdDev:
          value = s.StdDev(v);
          break;
        case TableEncryptionCodes::Percentile:
          ps.push_back(stats[j].GetPTileCutPoint() / 100.0);
          at.push_back(j);
          break;
        default:
          break;
      }
      values[j] = AggregationResult(value, rest);
    }
    if (!ps.empty()) {
      const std::vector<double> pct = s.Percentiles(v, ps);
      for (std::size_t k = 0; k < at.size(); ++k) values[at[k]] = AggregationResult(pct[k]);
    }
  }
  return values;
}

// The statistics of one category (or of the total) of the dimension.
std::vector<AggregationResult> CategoryValues(const CellStatistics& cell, const DimensionImpl& d,
                                              const AggregationCategory& category, int position) {
  const double total = d.TotalWeight();
  const double missing = d.MissingWeight();
  const double count = category.IsTotal() ? total : d.CategoryCount(position);
  const double totalRest = d.TotalRest();
  const double countRest = category.IsTotal() ? totalRest : d.CategoryRest(position);
  std::vector<AggregationResult> values;
  for (const AggregationStatistic& stat : cell.GetStatistics()) {
    double value = SYSMIS;
    double rest = 0.0;
    switch (stat.GetSummaryStatistic()) {
      case TableEncryptionCodes::Count:
        value = count;
        rest = countRest;
        break;
      case TableEncryptionCodes::Percent:
        // Of a total beyond the largest double there is no percent to give.
        value = total > 0.0 && std::isfinite(total) ? PercentOf(count, countRest, total, totalRest) : SYSMIS;
        break;
      case TableEncryptionCodes::Missing:
        if (category.IsTotal()) {
          value = missing;
          rest = d.MissingRest();
        }
        break;
      case TableEncryptionCodes::Total:
        if (category.IsTotal()) {
          value = total;
          rest = totalRest;
        }
        break;
      default:
        break;
    }
    values.emplace_back(value, rest);
  }
  return values;
}

}  // namespace

const StatValues* AggregatorImpl::GetStatValues(const std::vector<const AggregationCategory*>& categories) {
  TableState& s = *fState;
  s.Settle();
  CB_CHECK("engine", !s.incomplete);
  Refresh();

  if (categories.empty()) {
    if (fWhole) return fWhole.get();
    if (!s.scaleCell) return nullptr;
    fWhole = std::make_unique<StatValues>(s.scaleCell.get(), ScaleValues(s));
    return fWhole.get();
  }

  if (categories.size() != 1 || categories.front() == nullptr) return nullptr;
  DimensionImpl* d = s.Dimension();
  if (d == nullptr) return nullptr;
  d->BuildCategories();
  const AggregationCategory* category = categories.front();
  const auto& list = d->Categories();
  const int position = category->Index();
  if (position < 0 || static_cast<std::size_t>(position) >= list.size() ||
      &list[static_cast<std::size_t>(position)] != category) {
    return nullptr;
  }

  const CellStatistics* cell = category->IsTotal() ? s.totalCell.get() : s.categoryCell.get();
  if (cell == nullptr || cell->GetStatistics().empty()) return nullptr;
  StatValues values(cell, CategoryValues(*cell, *d, *category, position));
  if (fCategory) {
    *fCategory = std::move(values);
  } else {
    fCategory = std::make_unique<StatValues>(std::move(values));
  }
  return fCategory.get();
}

}  // namespace host

// ---------------------------------------------------------------- public classes

using host::DimensionImpl;
using host::DimensionKind;

std::string AggregationCategory::GetText() const {
  return fDimension != nullptr ? fDimension->TextOf(*this) : std::string();
}

TableDimension::~TableDimension() = default;

std::size_t TableDimension::NumberOfValuesSlow() const { return fImpl->NumberOfValues(); }

void TableDimension::ReleaseCategories() { fImpl->ReleaseCategories(); }

std::vector<AggregationCategory*> TableDimension::GetCategoryPointers() const {
  fImpl->BuildCategories();
  std::vector<AggregationCategory*> out;
  out.reserve(fImpl->Categories().size());
  for (AggregationCategory& c : fImpl->Categories()) out.push_back(&c);
  return out;
}

AggregationVariable::AggregationVariable(int variableIndex, const std::string& name)
    : fImpl(std::make_unique<DimensionImpl>(DimensionKind::Variable, std::vector<int>{variableIndex}, name)) {}

AggregationVariable::AggregationVariable(std::unique_ptr<host::DimensionImpl> impl) : fImpl(std::move(impl)) {}

AggregationVariable::~AggregationVariable() = default;

void AggregationVariable::SetPredefinedCategories(const std::vector<ParsedCategory*>& categories) {
  fImpl->SetPredefined(categories);
}

void AggregationVariable::SetIsTotalNo(bool noTotal) { fImpl->SetNoTotal(noTotal); }

void AggregationVariable::SetIsEmptyCategoriesNo(bool) {}

TableDimension* AggregationVariable::GetTableDimension() { return fImpl->Table(); }

AggregationMCSet::AggregationMCSet(const std::vector<int>& members, const std::string& name)
    : AggregationVariable(std::make_unique<DimensionImpl>(DimensionKind::CategorySet, members, name)) {}

AggregationMDSet::AggregationMDSet(const std::vector<int>& members, const std::string& name, const OBS* countedValue,
                                   int length, bool)
    : AggregationVariable(std::make_unique<DimensionImpl>(DimensionKind::DichotomySet, members, name)) {
  fImpl->SetCountedValue(countedValue, length);
}

CellStatistics::~CellStatistics() = default;

CubeAggregator::CubeAggregator(std::unique_ptr<host::AggregatorImpl> impl) : fImpl(std::move(impl)) {}

CubeAggregator::~CubeAggregator() = default;

const StatValues* CubeAggregator::GetStatValues(const std::vector<const AggregationCategory*>& categories, int) {
  return fImpl->GetStatValues(categories);
}

void AggregationCube::AddCategoricalVariable(AggregationVariable* dimension, TableEncryptionCodes::DimensionPosition) {
  if (dimension == nullptr) return;
  host::TableState& s = *fTable->state;
  std::unique_ptr<AggregationVariable> owned(dimension);
  if (s.dimension) {
    // One categorical dimension per cube; a further one is kept alive but
    // does not split the cube.
    s.otherDimensions.push_back(std::move(owned));
    return;
  }
  dimension->Impl()->Prepare(*fSource);
  dimension->Impl()->Attach(&s, &fTable->tally);
  s.dimension = std::move(owned);
  fTable->metadata->SetDimension(dimension->Impl()->Table());
}

void AggregationCube::CreateCubeAggregator() {
  if (fTable->aggregator != nullptr) return;
  fTable->ownedAggregator = std::make_unique<CubeAggregator>(std::make_unique<host::AggregatorImpl>(fTable->state));
  fTable->aggregator = fTable->ownedAggregator.get();
}

void AggregationCube::AddScaleStatistics(const std::vector<AggregationStatistic>& statistics) {
  host::TableState& s = *fTable->state;
  s.scaleCell = std::make_unique<CellStatistics>(statistics);
  s.scaleRules.clear();
  s.scaleOfStatistic.clear();
  for (const AggregationStatistic& stat : statistics) {
    const int v = stat.GetVariableIndex();
    auto found = std::find_if(s.scaleRules.begin(), s.scaleRules.end(),
                              [v](const host::engine::ScaleRule& x) { return x.column.index == v; });
    if (found == s.scaleRules.end()) {
      host::engine::ScaleRule rule;
      // The mean and the standard deviation are made from the kept values
      // (ScaleAccumulator::Mean, StdDevKept), so either asked without
      // percentiles keeps them too: else it would be the running one, a few
      // ulps off where values cancel, and differ from the default run's.
      rule.keepValues = std::any_of(statistics.begin(), statistics.end(), [v](const AggregationStatistic& t) {
        return t.GetVariableIndex() == v && (t.GetSummaryStatistic() == TableEncryptionCodes::Percentile ||
                                             t.GetSummaryStatistic() == TableEncryptionCodes::Mean ||
                                             t.GetSummaryStatistic() == TableEncryptionCodes::StdDev);
      });
      rule.column = host::ColumnRuleOf(*fSource, v);
      s.scaleRules.push_back(std::move(rule));
      found = s.scaleRules.end() - 1;
    }
    s.scaleOfStatistic.push_back(static_cast<std::size_t>(found - s.scaleRules.begin()));
  }
}

void AggregationCube::AddCategoryAndTotalStatistics(const std::vector<AggregationStatistic>& categoryStatistics,
                                                    AggregationVariable*,
                                                    const std::vector<AggregationStatistic>& totalStatistics) {
  host::TableState& s = *fTable->state;
  s.categoryCell = std::make_unique<CellStatistics>(categoryStatistics);
  s.totalCell = std::make_unique<CellStatistics>(totalStatistics);
}

AggregationTable::AggregationTable(QUVO_InputCaseIterator& cases, bool, bool, int)
    : fImpl(std::make_unique<host::TableImpl>(static_cast<ProcDSIterator&>(cases), fTally)),
      fMetadata(fImpl->metadata.get()) {}

AggregationTable::~AggregationTable() = default;

AggregationCube* AggregationTable::CreateCube() { return fImpl->cube.get(); }

void AggregationTable::AddNewCaseSlow() {
  if (fImpl->pass != nullptr) fImpl->pass->Add(*fImpl);
}

std::vector<CubeAggregator*> AggregationTable::GetCubeAggregators() {
  if (fImpl->aggregator == nullptr) fImpl->cube->CreateCubeAggregator();
  // From here on the caller owns the aggregator.
  (void)fImpl->ownedAggregator.release();
  return {fImpl->aggregator};
}
