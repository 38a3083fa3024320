// The aggregation engine's public classes over the state in engine_state.h.

#include <algorithm>
#include <charconv>

#include "host/aggregation.h"
#include "host/engine/engine_state.h"
#include "host/quvo.h"

namespace host {
namespace {

// The shortest digits that read back as the same double, written in plain
// decimal notation for decimal exponents -5..15 and as d.ddde+XX otherwise
// (so codes and counts never show an exponent).
std::string NumberText(double x) {
  if (x == 0.0) return "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
  const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = sci.find('e');
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  if (exponent < -5 || exponent > 15) return std::string(sci);
  std::string_view mantissa = sci.substr(0, e);
  std::string sign;
  if (mantissa.front() == '-') {
    sign = "-";
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  std::string body;
  if (exponent >= 0) {
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {
      body = digits + std::string(whole - digits.size(), '0');
    } else {
      body = digits.substr(0, whole) + "." + digits.substr(whole);
    }
  } else {
    body = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  }
  return sign + body;
}

std::string_view TrimTrailingBlanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

engine::NumericMissing NumericMissingOf(const QUVO_Variable& variable) {
  engine::NumericMissing m;
  m.values = variable.missing.numbers;
  m.hasRange = variable.missing.hasRange;
  m.low = variable.missing.low;
  m.high = variable.missing.high;
  m.extended = variable.missing.extended;
  return m;
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
}

DimensionImpl::~DimensionImpl() = default;

void DimensionImpl::SetPredefined(const std::vector<ParsedCategory*>& categories) {
  fPredefined.clear();
  for (ParsedCategory* c : categories) fPredefined.emplace_back(c);
  fFixed = fKind != DimensionKind::DichotomySet;
}

void DimensionImpl::SetCountedValue(const OBS* value, int length) {
  fCountedSource = value;
  fCountedLength = length;
}

void DimensionImpl::Prepare(const QUVO_DataSource& source) {
  if (fPrepared) return;
  fPrepared = true;
  const int columns = source.ColumnCount();
  bool typeKnown = false;
  for (int v : fVariables) {
    Member m;
    m.index = v;
    if (v >= 0 && v < columns) {
      m.variable = source.GetVariable(v);
      m.isString = m.variable->IsString();
      m.checkMissing = !m.variable->missing.Empty();
      m.numericMissing = NumericMissingOf(*m.variable);
      if (!typeKnown) {
        fIsString = m.isString;
        typeKnown = true;
      }
    }
    fMembers.push_back(m);
  }
  for (Member& m : fMembers) {
    m.usable = m.variable != nullptr && m.isString == fIsString;
    if (m.variable != nullptr) ++fKnownMembers;
  }
  fCaseSlots.reserve(fMembers.size());

  if (fFixed) {
    // Pre-defined categories take the first slots, in the order given; a
    // repeated value keeps its first position.
    for (const auto& c : fPredefined) {
      if (fIsString) {
        (void)fStrings.FindOrInsert(ObsString(c->Value()));
      } else {
        (void)fNumbers.FindOrInsert(c->Value().d);
      }
    }
    fCounts.assign(fIsString ? fStrings.Size() : fNumbers.Size(), engine::CompensatedSum{});
  }

  if (fKind == DimensionKind::DichotomySet) {
    fCounts.assign(fMembers.size(), engine::CompensatedSum{});
    if (fCountedSource != nullptr) {
      if (fIsString) {
        // Blank-padded units: equal to a trimmed cell exactly when the
        // trimmed texts are equal.
        const auto bytes = static_cast<std::size_t>(std::max(fCountedLength, 0)) * sizeof(OBS);
        fCountedText = std::string(
            TrimTrailingBlanks(std::string_view(reinterpret_cast<const char*>(fCountedSource), bytes)));
      } else {
        fCountedNumber = fCountedSource->d;
      }
    }
    fCountedSource = nullptr;
  }
}

void DimensionImpl::AddVariable(const ProcDSIterator& it, double w) {
  const Member& m = fMembers.front();
  if (!m.usable) {
    fMissing.Add(w);
    return;
  }
  if (fIsString) {
    const std::string_view s = it.String(m.index);
    if (m.checkMissing && m.variable->IsUserMissingString(s)) fMissing.Add(w);
    Count(Slot(s), w);
    return;
  }
  const double x = it.Number(m.index);
  if (x == SYSMIS) {
    fMissing.Add(w);
    return;
  }
  if (m.checkMissing && m.numericMissing.Test(x)) fMissing.Add(w);
  Count(Slot(x), w);
}

void DimensionImpl::AddCategorySet(const ProcDSIterator& it, double w) {
  fCaseSlots.clear();
  for (const Member& m : fMembers) {
    if (!m.usable) continue;
    std::uint32_t slot;
    if (fIsString) {
      const std::string_view s = it.String(m.index);
      if (m.checkMissing && m.variable->IsUserMissingString(s)) continue;
      slot = Slot(s);
    } else {
      const double x = it.Number(m.index);
      if (x == SYSMIS || (m.checkMissing && m.numericMissing.Test(x))) continue;
      slot = Slot(x);
    }
    if (slot == engine::kNoSlot) continue;
    // A case counts once per category, however many members hold it.
    if (std::find(fCaseSlots.begin(), fCaseSlots.end(), slot) != fCaseSlots.end()) continue;
    fCaseSlots.push_back(slot);
    Count(slot, w);
  }
  if (fCaseSlots.empty()) fMissing.Add(w);
}

void DimensionImpl::AddDichotomySet(const ProcDSIterator& it, double w) {
  bool any = false;
  for (std::size_t j = 0; j < fMembers.size(); ++j) {
    const Member& m = fMembers[j];
    if (!m.usable) continue;
    const bool counted = fIsString ? it.String(m.index) == fCountedText : it.Number(m.index) == fCountedNumber;
    if (counted) {
      fCounts[j].Add(w);
      any = true;
    }
  }
  if (!any) fMissing.Add(w);
}

std::size_t DimensionImpl::NumberOfValues() const {
  if (fKind == DimensionKind::DichotomySet) return fKnownMembers;
  if (fFixed) return fFixedSeen;
  return fIsString ? fStrings.Size() : fNumbers.Size();
}

int DimensionImpl::MemberIndexOf(const OBS& value) const {
  const Member* first = nullptr;
  for (const Member& m : fMembers) {
    if (!m.usable) continue;
    if (first == nullptr) first = &m;
    if (m.variable->GetValueLabels().GetLabel(value) != nullptr) return m.index;
  }
  return first ? first->index : -1;
}

void DimensionImpl::BuildCategories() {
  if (fBuiltGeneration == fAdded) return;
  fBuiltGeneration = fAdded;
  for (auto& c : fCategories) fRetired.push_back(std::move(c));
  fCategories.clear();
  fOrder.clear();

  if (fKind == DimensionKind::DichotomySet) {
    const OBS value = fIsString ? ObsFromString(fCountedText) : ObsFromNumber(fCountedNumber);
    for (std::size_t j = 0; j < fMembers.size(); ++j) {
      const Member& m = fMembers[j];
      if (m.variable == nullptr) continue;
      auto c = std::make_unique<AggregationCategory>();
      c->fValue = value;
      c->fMemberIndex = m.index;
      c->fText = m.variable->name;
      c->fIndex = static_cast<int>(fCategories.size());
      fOrder.push_back(static_cast<std::uint32_t>(j));
      fCategories.push_back(std::move(c));
    }
  } else {
    const std::size_t n = fCounts.size();
    std::vector<std::uint32_t> slots;
    slots.reserve(n);
    for (std::uint32_t s = 0; s < n; ++s) {
      if (fCounts[s].Value() > 0.0) slots.push_back(s);
    }
    if (!fFixed) {
      if (fIsString) {
        std::sort(slots.begin(), slots.end(),
                  [this](std::uint32_t a, std::uint32_t b) { return fStrings.Value(a) < fStrings.Value(b); });
      } else {
        std::sort(slots.begin(), slots.end(),
                  [this](std::uint32_t a, std::uint32_t b) { return fNumbers.Value(a) < fNumbers.Value(b); });
      }
    }
    for (std::uint32_t s : slots) {
      auto c = std::make_unique<AggregationCategory>();
      if (fIsString) {
        const std::string_view text = fStrings.Value(s);
        c->fValue = ObsFromString(text);
        c->fText = std::string(text);
      } else {
        const double x = fNumbers.Value(s);
        c->fValue = ObsFromNumber(x);
        c->fText = NumberText(x);
      }
      c->fMemberIndex = fKind == DimensionKind::CategorySet ? MemberIndexOf(c->fValue) : -1;
      c->fIndex = static_cast<int>(fCategories.size());
      fOrder.push_back(s);
      fCategories.push_back(std::move(c));
    }
  }

  if (!fNoTotal) {
    auto total = std::make_unique<AggregationCategory>();
    total->fValue = ObsFromNumber(SYSMIS);
    total->fText = "Total";
    total->fIsTotal = true;
    total->fIndex = static_cast<int>(fCategories.size());
    fCategories.push_back(std::move(total));
  }
}

// ---------------------------------------------------------------- table

TableImpl::TableImpl(ProcDSIterator& it) : state(std::make_shared<TableState>()) {
  state->iterator = &it;
  cube = std::make_unique<AggregationCube>(this);
  metadata = std::make_unique<TableMetadata>(this);
}

TableImpl::~TableImpl() = default;

// ---------------------------------------------------------------- aggregator

void AggregatorImpl::Refresh() {
  if (fGeneration == fState->generation) return;
  fGeneration = fState->generation;
  if (fWhole) fRetired.push_back(std::move(fWhole));
  for (auto& v : fByCategory) {
    if (v) fRetired.push_back(std::move(v));
  }
  fByCategory.clear();
}

const StatValues* AggregatorImpl::Keep(std::unique_ptr<StatValues>& slot, std::unique_ptr<StatValues> values) {
  slot = std::move(values);
  return slot.get();
}

const StatValues* AggregatorImpl::GetStatValues(const std::vector<const AggregationCategory*>& categories) {
  Refresh();
  TableState& s = *fState;

  if (categories.empty()) {
    if (fWhole) return fWhole.get();
    if (!s.scaleCell) return nullptr;
    const auto& stats = s.scaleCell->GetStatistics();
    std::vector<AggregationResult> values(stats.size(), AggregationResult(SYSMIS));
    // Percentiles of one variable share one copy of its values.
    for (std::size_t v = 0; v < s.scales.size(); ++v) {
      const engine::ScaleAccumulator& acc = s.scales[v].acc;
      std::vector<double> ps;
      std::vector<std::size_t> at;
      for (std::size_t j = 0; j < stats.size(); ++j) {
        if (s.scaleOfStatistic[j] != v) continue;
        const double w = acc.ValidWeight();
        const double missing = acc.MissingWeight();
        double value = SYSMIS;
        switch (stats[j].GetSummaryStatistic()) {
          case TableEncryptionCodes::Valid:
          case TableEncryptionCodes::Count:
            value = w;
            break;
          case TableEncryptionCodes::Missing:
            value = missing;
            break;
          case TableEncryptionCodes::Total:
            value = w + missing;
            break;
          case TableEncryptionCodes::Mean:
            value = acc.Mean();
            break;
          case TableEncryptionCodes::StdDev:
            value = acc.StdDev();
            break;
          case TableEncryptionCodes::Percentile:
            ps.push_back(stats[j].GetPTileCutPoint() / 100.0);
            at.push_back(j);
            break;
          default:
            break;
        }
        values[j] = AggregationResult(value);
      }
      if (!ps.empty()) {
        const std::vector<double> pct = acc.Percentiles(ps);
        for (std::size_t k = 0; k < at.size(); ++k) values[at[k]] = AggregationResult(pct[k]);
      }
    }
    return Keep(fWhole, std::make_unique<StatValues>(s.scaleCell.get(), std::move(values)));
  }

  if (categories.size() != 1 || categories.front() == nullptr) return nullptr;
  DimensionImpl* d = s.Dimension();
  if (d == nullptr) return nullptr;
  d->BuildCategories();
  const AggregationCategory* category = categories.front();
  const auto& list = d->Categories();
  const int position = category->Index();
  if (position < 0 || static_cast<std::size_t>(position) >= list.size() ||
      list[static_cast<std::size_t>(position)].get() != category) {
    return nullptr;
  }
  if (fByCategory.size() != list.size()) fByCategory.resize(list.size());
  auto& cached = fByCategory[static_cast<std::size_t>(position)];
  if (cached) return cached.get();

  const double total = d->TotalWeight();
  const double missing = d->MissingWeight();
  const CellStatistics* cell = category->IsTotal() ? s.totalCell.get() : s.categoryCell.get();
  if (cell == nullptr || cell->GetStatistics().empty()) return nullptr;
  const double count = category->IsTotal() ? total : d->CategoryCount(position);
  std::vector<AggregationResult> values;
  for (const AggregationStatistic& stat : cell->GetStatistics()) {
    double value = SYSMIS;
    switch (stat.GetSummaryStatistic()) {
      case TableEncryptionCodes::Count:
        value = count;
        break;
      case TableEncryptionCodes::Percent:
        value = total > 0.0 ? count / total * 100.0 : SYSMIS;
        break;
      case TableEncryptionCodes::Missing:
        if (category->IsTotal()) value = missing;
        break;
      case TableEncryptionCodes::Total:
        if (category->IsTotal()) value = total;
        break;
      default:
        break;
    }
    values.emplace_back(value);
  }
  return Keep(cached, std::make_unique<StatValues>(cell, std::move(values)));
}

}  // namespace host

// ---------------------------------------------------------------- public classes

using host::DimensionImpl;
using host::DimensionKind;

TableDimension::~TableDimension() = default;

std::size_t TableDimension::GetNumberOfValues() const { return fImpl->NumberOfValues(); }

std::vector<AggregationCategory*> TableDimension::GetCategoryPointers() const {
  fImpl->BuildCategories();
  std::vector<AggregationCategory*> out;
  out.reserve(fImpl->Categories().size());
  for (const auto& c : fImpl->Categories()) out.push_back(c.get());
  return out;
}

TableDimension* TableMetadata::GetDimension(int position) const {
  if (position != 0 || fImpl == nullptr) return nullptr;
  DimensionImpl* d = fImpl->state->Dimension();
  return d ? d->Table() : nullptr;
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
  dimension->Impl()->Prepare(s.iterator->Source());
  s.dimension = std::move(owned);
}

void AggregationCube::CreateCubeAggregator() {
  if (fTable->aggregator != nullptr) return;
  fTable->ownedAggregator =
      std::make_unique<CubeAggregator>(std::make_unique<host::AggregatorImpl>(fTable->state));
  fTable->aggregator = fTable->ownedAggregator.get();
}

void AggregationCube::AddScaleStatistics(const std::vector<AggregationStatistic>& statistics) {
  host::TableState& s = *fTable->state;
  s.scaleCell = std::make_unique<CellStatistics>(statistics);
  s.scales.clear();
  s.scaleOfStatistic.clear();
  const QUVO_DataSource& source = s.iterator->Source();
  const int columns = source.ColumnCount();
  for (const AggregationStatistic& stat : statistics) {
    const int v = stat.GetVariableIndex();
    auto found = std::find_if(s.scales.begin(), s.scales.end(), [v](const host::ScaleVariable& x) { return x.index == v; });
    if (found == s.scales.end()) {
      const bool keep = std::any_of(statistics.begin(), statistics.end(), [v](const AggregationStatistic& t) {
        return t.GetVariableIndex() == v && t.GetSummaryStatistic() == TableEncryptionCodes::Percentile;
      });
      host::ScaleVariable entry(v, keep);
      if (v >= 0 && v < columns) {
        entry.variable = source.GetVariable(v);
        entry.isString = entry.variable->IsString();
        entry.checkMissing = !entry.variable->missing.Empty();
        entry.numericMissing = host::NumericMissingOf(*entry.variable);
      }
      s.scales.push_back(std::move(entry));
      found = s.scales.end() - 1;
    }
    s.scaleOfStatistic.push_back(static_cast<std::size_t>(found - s.scales.begin()));
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
    : fImpl(std::make_unique<host::TableImpl>(static_cast<ProcDSIterator&>(cases))) {}

AggregationTable::~AggregationTable() = default;

AggregationCube* AggregationTable::CreateCube() { return fImpl->cube.get(); }

void AggregationTable::AddNewCase() { fImpl->state->Add(); }

TableMetadata* AggregationTable::GetTableMetaData() { return fImpl->metadata.get(); }

std::vector<CubeAggregator*> AggregationTable::GetCubeAggregators() {
  if (fImpl->aggregator == nullptr) fImpl->cube->CreateCubeAggregator();
  // From here on the caller owns the aggregator.
  (void)fImpl->ownedAggregator.release();
  return {fImpl->aggregator};
}
