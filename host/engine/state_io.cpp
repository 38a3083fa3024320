// Tables' rules and gathered states as bytes (host/shards/wire.h), for passes
// that gather on other machines. Every member that a later merge or result
// reads is written bit for bit; loading checks that what it reads fits
// together, so that damaged bytes cannot make an accumulator that reads out
// of bounds.
#include <algorithm>
#include <bit>
#include <cmath>

#include "host/engine/accumulate.h"
#include "host/engine/profile.h"
#include "host/shards/wire.h"

namespace host::engine {

namespace {

using wire::Damaged;

void SaveSum(wire::Writer& out, const CompensatedSum& s) {
  out.F64(s.sum);
  out.F64(s.carry);
}

CompensatedSum LoadSum(wire::Reader& in) {
  CompensatedSum s;
  s.sum = in.F64();
  s.carry = in.F64();
  return s;
}

void SaveSums(wire::Writer& out, const std::vector<CompensatedSum>& sums) {
  out.Count(sums.size());
  for (const CompensatedSum& s : sums) SaveSum(out, s);
}

std::vector<CompensatedSum> LoadSums(wire::Reader& in) {
  const std::size_t n = in.Count(16);
  std::vector<CompensatedSum> sums(n);
  for (CompensatedSum& s : sums) s = LoadSum(in);
  return sums;
}

void SaveColumn(wire::Writer& out, const ColumnRule& c) {
  out.I64(c.index);
  out.Bool(c.known);
  out.Bool(c.usable);
  out.Bool(c.isString);
  out.Bool(c.checkMissing);
  out.F64s(c.numericMissing.values);
  out.Bool(c.numericMissing.hasRange);
  out.F64(c.numericMissing.low);
  out.F64(c.numericMissing.high);
  out.Bool(c.numericMissing.extended);
  out.Strings(c.stringMissing);
}

ColumnRule LoadColumn(wire::Reader& in) {
  ColumnRule c;
  const std::int64_t index = in.I64();
  if (index < -1 || index > std::int64_t{1} << 31) throw Damaged("a column number is out of range");
  c.index = static_cast<int>(index);
  c.known = in.Bool();
  c.usable = in.Bool();
  c.isString = in.Bool();
  c.checkMissing = in.Bool();
  c.numericMissing.values = in.F64s();
  c.numericMissing.hasRange = in.Bool();
  c.numericMissing.low = in.F64();
  c.numericMissing.high = in.F64();
  c.numericMissing.extended = in.Bool();
  c.stringMissing = in.Strings();
  if (c.known && c.index < 0) throw Damaged("a known column has no number");
  return c;
}

}  // namespace

// ---------------------------------------------------------------- indexes

void NumericCategoryIndex::Save(wire::Writer& out) const { out.F64s(fValues); }

void NumericCategoryIndex::Load(wire::Reader& in) {
  if (Size() != 0) throw Damaged("categories loaded twice");
  const std::vector<double> values = in.F64s();
  for (std::size_t s = 0; s < values.size(); ++s) {
    if (FindOrInsert(values[s]) != s) throw Damaged("a category comes twice");
  }
}

void StringCategoryIndex::Save(wire::Writer& out) const {
  out.Count(Size());
  for (std::uint32_t s = 0; s < Size(); ++s) out.Bytes(Value(s));
}

void StringCategoryIndex::Load(wire::Reader& in) {
  if (Size() != 0) throw Damaged("categories loaded twice");
  const std::size_t n = in.Count(8);
  for (std::size_t s = 0; s < n; ++s) {
    if (FindOrInsert(in.View()) != s) throw Damaged("a category comes twice");
  }
}

// ---------------------------------------------------------------- rules

void TableRules::Save(wire::Writer& out) const {
  out.Bool(dimension.has_value());
  if (dimension) {
    const DimensionRule& d = *dimension;
    out.U8(static_cast<std::uint8_t>(d.kind));
    out.Bool(d.isString);
    out.Count(d.members.size());
    for (const ColumnRule& m : d.members) SaveColumn(out, m);
    out.Bool(d.fixed);
    out.F64s(d.predefinedNumbers);
    out.Strings(d.predefinedStrings);
    out.Bytes(d.countedText);
    out.F64(d.countedNumber);
    out.U64(d.knownMembers);
  }
  out.Count(scales.size());
  for (const ScaleRule& s : scales) {
    SaveColumn(out, s.column);
    out.Bool(s.keepValues);
  }
}

TableRules TableRules::Load(wire::Reader& in) {
  TableRules rules;
  if (in.Bool()) {
    DimensionRule d;
    const std::uint8_t kind = in.U8();
    if (kind > static_cast<std::uint8_t>(DimensionKind::DichotomySet)) throw Damaged("unknown kind of dimension");
    d.kind = static_cast<DimensionKind>(kind);
    d.isString = in.Bool();
    const std::size_t members = in.Count(8);
    for (std::size_t i = 0; i < members; ++i) d.members.push_back(LoadColumn(in));
    d.fixed = in.Bool();
    d.predefinedNumbers = in.F64s();
    d.predefinedStrings = in.Strings();
    d.countedText = in.String();
    d.countedNumber = in.F64();
    d.knownMembers = static_cast<std::size_t>(in.U64());
    if (d.members.empty() || (d.kind == DimensionKind::Variable && d.members.size() != 1)) {
      throw Damaged("a dimension has the wrong number of variables");
    }
    if (d.knownMembers > d.members.size()) throw Damaged("more known members than members");
    for (const ColumnRule& m : d.members) {
      if (m.usable && (!m.known || m.isString != d.isString)) throw Damaged("a member is read as the wrong type");
    }
    rules.dimension = std::move(d);
  }
  const std::size_t scales = in.Count(8);
  for (std::size_t i = 0; i < scales; ++i) {
    ScaleRule s;
    s.column = LoadColumn(in);
    s.keepValues = in.Bool();
    rules.scales.push_back(std::move(s));
  }
  return rules;
}

// ---------------------------------------------------------------- counts

void DimensionCounts::Save(const DimensionRule& rule, wire::Writer& out) const {
  const bool ownIndex = rule.kind != DimensionKind::DichotomySet && !rule.fixed;
  if (ownIndex) {
    if (rule.isString) {
      fStrings.Save(out);
    } else {
      fNumbers.Save(out);
    }
  }
  SaveSums(out, fCounts);
  out.U32s(fFirstRow);
  SaveSum(out, fMissing);
  SaveSum(out, fTotal);
  out.U64(fFixedSeen);
  out.U64(fCases);
}

void DimensionCounts::Load(const DimensionRule& rule, wire::Reader& in) {
  const bool ownIndex = rule.kind != DimensionKind::DichotomySet && !rule.fixed;
  std::size_t slots = fCounts.size();  // members, or the pre-defined values
  if (ownIndex) {
    if (rule.isString) {
      fStrings.Load(in);
      slots = fStrings.Size();
    } else {
      fNumbers.Load(in);
      slots = fNumbers.Size();
    }
  }
  fCounts = LoadSums(in);
  fFirstRow = in.U32s();
  if (fCounts.size() != slots || fFirstRow.size() != slots) throw Damaged("counts do not match their categories");
  fMissing = LoadSum(in);
  fTotal = LoadSum(in);
  fFixedSeen = static_cast<std::size_t>(in.U64());
  fCases = in.U64();
  if (fFixedSeen > slots) throw Damaged("more categories seen than there are");
}

// ---------------------------------------------------------------- scale

namespace {

// As plain doubles, whatever the column's codes: the saved form does not
// depend on how the values are held.
void SaveRaw(wire::Writer& out, const RawColumn& column) {
  out.Count(column.Size());
  column.ForEach([&out](double x) { out.F64(x); });
}

RawColumn LoadRaw(wire::Reader& in) {
  const std::vector<double> values = in.F64s();
  RawColumn column;
  column.Append(values.data(), values.size());
  return column;
}

}  // namespace

void ScaleAccumulator::Save(wire::Writer& out) const {
  SettleValues();
  out.Bool(fKeepValues);
  SaveSum(out, fWeight);
  SaveSum(out, fMissing);
  out.Bool(fHasShift);
  out.F64(fShift);
  out.F64(fMean);
  out.F64(fM2);
  out.F64(fInvScale);
  out.F64(fScaleLimit);
  out.F64(fTinyLimit);
  out.F64(fValueScale);
  out.Bool(fRaw);
  out.U64(fKept);
  fTable.Save(out);
  SaveSums(out, fSums);
  SaveRaw(out, fValues);
  out.Bool(fWeighted);
  SaveRaw(out, fWeights);
}

void ScaleAccumulator::Load(wire::Reader& in) {
  if (in.Bool() != fKeepValues) throw Damaged("values kept where the rules keep none, or the other way round");
  fWeight = LoadSum(in);
  fMissing = LoadSum(in);
  fHasShift = in.Bool();
  fShift = in.F64();
  fMean = in.F64();
  fM2 = in.F64();
  fInvScale = in.F64();
  fScaleLimit = in.F64();
  fTinyLimit = in.F64();
  fValueScale = in.F64();
  fRaw = in.Bool();
  fKept = static_cast<std::size_t>(in.U64());
  fTable = NumericCategoryIndex{};
  fTable.Load(in);
  fSums = LoadSums(in);
  fLater.clear();
  fValues = LoadRaw(in);
  fWeighted = in.Bool();
  fWeights = LoadRaw(in);
  int exponent = 0;
  if (!(fInvScale > 0.0) || !std::isfinite(fInvScale) || std::frexp(fInvScale, &exponent) != 0.5) {
    throw Damaged("the scale of the sum of squares is not a power of two");
  }
  if (fValueScale != 1.0 && fValueScale != 0.25) throw Damaged("the scale of the values is neither 1 nor 1/4");
  const bool tableFits = fRaw ? fTable.Size() == 0 && fSums.empty() : fSums.size() == fTable.Size() && fValues.Empty();
  const bool weightsFit = fRaw && fWeighted ? fWeights.Size() == fValues.Size() : fWeights.Empty();
  if (!tableFits || !weightsFit || (!fKeepValues && (fTable.Size() > 0 || !fValues.Empty()))) {
    throw Damaged("kept values do not fit together");
  }
}

// ---------------------------------------------------------------- table

void TableAccumulator::Save(const TableRules& rules, wire::Writer& out) const {
  out.U64(fCases);
  if (fDimension) fDimension->Save(*rules.dimension, out);
  out.Count(fScales.size());
  for (const ScaleAccumulator& s : fScales) s.Save(out);
}

void TableAccumulator::Load(const TableRules& rules, wire::Reader& in) {
  fCases = in.U64();
  if (fDimension) fDimension->Load(*rules.dimension, in);
  if (in.Count(1) != fScales.size()) throw Damaged("a state has another number of scale variables than its table");
  for (ScaleAccumulator& s : fScales) s.Load(in);
}

// ---------------------------------------------------------------- the overview's side statistics

namespace {

void SaveGrid(wire::Writer& out, const DecimalGrid& grid) {
  out.I64(grid.step);
  out.I64(grid.exponent);
}

DecimalGrid LoadGrid(wire::Reader& in) {
  DecimalGrid grid;
  grid.step = in.I64();
  const std::int64_t exponent = in.I64();
  if (grid.step <= 0 || exponent < -DecimalGrid::kMaxExponent || exponent > DecimalGrid::kMaxExponent) {
    throw Damaged("a histogram grid is out of range");
  }
  grid.exponent = static_cast<int>(exponent);
  return grid;
}

}  // namespace

void NumericProfile::Save(wire::Writer& out) const {
  SaveSum(out, fValid);
  SaveSum(out, fMissingWeight);
  out.I64(fValidCases);
  out.F64(fMin);
  out.F64(fMax);
  out.Bool(fWhole);
  out.Bool(fExact);
  out.F64s(fValues);
  // Counts as the sums of ones they stand for: the same bytes either way.
  if (fCounted) {
    out.Count(fCounts.size());
    for (std::uint32_t count : fCounts) SaveSum(out, CompensatedSum{static_cast<double>(count), 0.0});
  } else {
    SaveSums(out, fWeights);
  }
  SaveGrid(out, fGrid);
  std::vector<double> bins(fBins.begin(), fBins.end());  // written as numbers, as ever
  out.F64s(bins);
  out.F64s(fBinWeights);
  out.Bool(fUnbinnable);
}

void NumericProfile::Load(wire::Reader& in) {
  fValid = LoadSum(in);
  fMissingWeight = LoadSum(in);
  fValidCases = in.I64();
  fMin = in.F64();
  fMax = in.F64();
  fWhole = in.Bool();
  fExact = in.Bool();
  std::vector<double> values = in.F64s();
  std::vector<CompensatedSum> weights = LoadSums(in);
  fGrid = LoadGrid(in);
  const std::vector<double> bins = in.F64s();
  std::vector<double> binWeights = in.F64s();
  fUnbinnable = in.Bool();
  if (fValidCases < 0) throw Damaged("a profile counts fewer than no cases");
  if (weights.size() != values.size() || binWeights.size() != bins.size()) {
    throw Damaged("a profile's values and weights disagree");
  }
  if ((!fFull || !fExact) && !values.empty()) throw Damaged("a profile keeps values it must not keep");
  if (fExact && values.size() > kDistinctLimit) throw Damaged("a profile keeps too many values");
  if (!bins.empty() && (fExact || fUnbinnable || fGrid.step != fUnit || bins.size() > kFineBinLimit)) {
    throw Damaged("a profile's histogram bins do not fit it");
  }
  // Kept ascending; a value or bin that comes twice is damage. Bins are
  // numbered within what a grid can number.
  fValues.clear();
  fCounted = false;
  std::vector<std::uint32_t>().swap(fCounts);
  fWeights.clear();
  fBins.clear();
  fBinWeights.clear();
  std::vector<std::size_t> order(values.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::sort(order.begin(), order.end(),
            [&values](std::size_t a, std::size_t b) { return ValueBefore(values[a], values[b]); });
  for (std::size_t k : order) {
    const double x = values[k] == 0.0 ? 0.0 : values[k];
    if (!fValues.empty() && !ValueBefore(fValues.back(), x)) throw Damaged("a category comes twice");
    fValues.push_back(x);
    fWeights.push_back(weights[k]);
  }
  order.resize(bins.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    const double bin = bins[k];
    if (!(std::fabs(bin) <= static_cast<double>(DecimalGrid::kMaxIndex)) || std::floor(bin) != bin) {
      throw Damaged("a histogram bin is out of range");
    }
    order[k] = k;
  }
  std::sort(order.begin(), order.end(), [&bins](std::size_t a, std::size_t b) { return bins[a] < bins[b]; });
  for (std::size_t k : order) {
    const auto bin = static_cast<std::int64_t>(bins[k]);
    if (!fBins.empty() && fBins.back() == bin) throw Damaged("a category comes twice");
    fBins.push_back(bin);
    fBinWeights.push_back(binWeights[k]);
  }
}

void StringProfile::Save(wire::Writer& out) const {
  SaveSum(out, fValid);
  SaveSum(out, fMissingWeight);
  out.I64(fValidCases);
  out.Bool(fExact);
  fValues.Save(out);
  SaveSums(out, fWeights);
}

void StringProfile::Load(wire::Reader& in) {
  fValid = LoadSum(in);
  fMissingWeight = LoadSum(in);
  fValidCases = in.I64();
  fExact = in.Bool();
  fValues.Load(in);
  fWeights = LoadSums(in);
  if (fValidCases < 0) throw Damaged("a profile counts fewer than no cases");
  if (fWeights.size() != fValues.Size()) throw Damaged("a profile's values and weights disagree");
  if ((!fFull || !fExact) && fValues.Size() != 0) throw Damaged("a profile keeps values it must not keep");
  if (fValues.Size() > kDistinctLimit) throw Damaged("a profile keeps too many values");
}

void SetProfile::Save(wire::Writer& out) const {
  SaveSum(out, fValid);
  SaveSum(out, fMissing);
  out.Bool(fComplete);
}

void SetProfile::Load(wire::Reader& in) {
  fValid = LoadSum(in);
  fMissing = LoadSum(in);
  fComplete = in.Bool();
}

void PassProfile::Save(wire::Writer& out) const {
  out.U64(fRows);
  out.Count(fColumns.size());
  for (const auto& [index, column] : fColumns) {
    out.I64(index);
    out.Bool(column->full);
    out.Bool(column->strings.has_value());
    out.U64(column->rows);
    if (column->strings) {
      column->strings->Save(out);
    } else {
      column->numbers->Save(out);
    }
  }
  out.Count(fSets.size());
  for (const auto& [index, set] : fSets) {
    out.U64(index);
    set.Save(out);
  }
}

void PassProfile::Load(wire::Reader& in) {
  if (fRows != 0) throw Damaged("a profile loaded twice");
  fRows = in.U64();
  if (in.Count(1) != fColumns.size()) throw Damaged("a profile covers other variables than the plan's tables read");
  for (auto& [index, column] : fColumns) {
    const std::int64_t savedIndex = in.I64();
    const bool full = in.Bool();
    const bool isString = in.Bool();
    if (savedIndex != index || full != column->full || isString != column->strings.has_value()) {
      throw Damaged("a profile covers other variables than the plan's tables read");
    }
    column->rows = in.U64();
    if (column->rows > fRows) throw Damaged("a profile's variable has more cases than its pass");
    if (column->strings) {
      column->strings->Load(in);
    } else {
      column->numbers->Load(in);
    }
  }
  if (in.Count(1) != fSets.size()) throw Damaged("a profile covers other sets than the plan's tables read");
  for (auto& [index, set] : fSets) {
    if (in.U64() != index) throw Damaged("a profile covers other sets than the plan's tables read");
    set.Load(in);
  }
}

}  // namespace host::engine
