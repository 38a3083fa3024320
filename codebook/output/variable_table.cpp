// The table of one variable: dictionary facts, attributes, scale statistics
// and the listing of its values.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "cbkoutput.h"
#include "output/text_rules.h"
#include "stats/variable_statistics.h"

namespace codebook {

namespace {

const char* MeasurementText(int level) {
  switch (level) {
    case Measure::Nominal:
      return "Nominal";
    case Measure::Ordinal:
      return "Ordinal";
    case Measure::Scale:
      return "Scale";
    default:
      return "Unknown";
  }
}

const char* RoleText(int role) {
  switch (role) {
    case Role::Target:
      return "Target";
    case Role::Both:
      return "Both";
    case Role::None:
      return "None";
    case Role::Partition:
      return "Partition";
    case Role::Split:
      return "Split";
    default:
      return "Input";
  }
}

// The position of the first occurrence of a code, or -1.
int CodePosition(const std::vector<std::int32_t>& codes, std::int32_t code) {
  const auto found = std::find(codes.begin(), codes.end(), code);
  return found == codes.end() ? -1 : static_cast<int>(found - codes.begin());
}

// The table under construction: its row dimension, its three columns, the
// formats fetched once, and whether any row has been shown yet.
struct VariableTable {
  const QUVO_Variable* variable = nullptr;
  const CodebookSettings* settings = nullptr;
  BpDimension rows{nullptr};
  BpCategory valueColumn{nullptr};
  BpCategory countColumn{nullptr};
  BpCategory percentColumn{nullptr};
  BpFormatSpec countFormat = BpProcedure::Count();
  BpFormatSpec percentFormat = BpProcedure::Percent();
  BpFormatSpec meanFormat = BpProcedure::Count();
  BpFormatSpec stdDevFormat = BpProcedure::Count();
  bool nothingShown = true;

  // Without VARINFO keywords every item is shown.
  bool Shown(bool flag) const { return !settings->varInfoGiven() || flag; }
  void Value(const BpCellText& text) {
    valueColumn.Cell(text);
    nothingShown = false;
  }
};

// The category results of one aggregation index.
struct CategoryListing {
  std::vector<double> counts;
  std::vector<double> percents;
  std::vector<OBS> values;
  double missingCount = 0.0;
  double total = 0.0;
  CategoryRests rests;

  double Count(std::size_t i) const { return i < counts.size() ? counts[i] : 0.0; }
  double Percent(std::size_t i) const { return i < percents.size() ? percents[i] : 0.0; }
};

void WriteStandardAttributes(VariableTable& t, std::uint32_t variableIndex) {
  const CodebookSettings& settings = *t.settings;
  const QUVO_Variable* variable = t.variable;
  BpGroup standard = t.rows.Group(BpString("Standard Attributes", true), true, 2);
  if (t.Shown(settings.varInfoPosition())) {
    standard.Category(BpString("Position", true));
    t.Value(BpNumber(static_cast<double>(variableIndex) + 1.0, t.countFormat));
  }
  if (t.Shown(settings.varInfoLabel())) {
    standard.Category(BpString("Label", true));
    const char* label = variable->GetLabel();
    if (label != nullptr) {
      t.Value(BpString(label, false));
    } else {
      t.Value(BpString("<none>", true));
    }
  }
  if (t.Shown(settings.varInfoType())) {
    standard.Category(BpString("Type", true));
    t.Value(BpString(variable->GetType() == 0 ? "Numeric" : "String", true));
  }
  if (t.Shown(settings.varInfoFormat())) {
    standard.Category(BpString("Format", true));
    t.Value(BpString(FormatText(variable->GetWriteFormatEx()), false));
  }
  if (t.Shown(settings.varInfoMeasure())) {
    standard.Category(BpString("Measurement", true));
    t.Value(BpString(MeasurementText(variable->GetMeasurementLevel()), true));
  }
  if (t.Shown(settings.varInfoRole())) {
    standard.Category(BpString("Role", true));
    t.Value(BpString(RoleText(variable->GetRole()), true));
  }
}

// One row per array element of every attribute the test takes.
template <typename Take>
void WriteAttributeRows(VariableTable& t, BpGroup& group, Take take) {
  const DatasourceAttributes& attributes = t.variable->GetAttributes();
  for (int i = 0; i < attributes.Size(); ++i) {
    const std::string& name = attributes.Name(i);
    const std::vector<std::string>& values = attributes.Values(i);
    const int count = static_cast<int>(values.size());
    if (count == 0 || !take(name)) continue;
    for (int j = 0; j < count; ++j) {
      group.Category(BpString(AttributeElementName(name, j, count), false));
      const std::string& value = values[static_cast<std::size_t>(j)];
      t.Value(BpString(value.empty() ? std::string(" ") : value, false));
    }
  }
}

void WriteAttributes(VariableTable& t) {
  if (t.Shown(t.settings->varInfoAttributes())) {
    BpGroup custom = t.rows.Group(BpString("Custom Attributes", true), true, 2);
    WriteAttributeRows(t, custom, [](const std::string& name) { return !IsHiddenAttributeName(name); });
  }
  if (t.settings->varInfoReservedAttributes()) {
    // Reserved means reserved: "$@" names are listed here too.
    BpGroup reserved = t.rows.Group(BpString("Reserved Attributes", false), true, 2);
    WriteAttributeRows(t, reserved, [](const std::string& name) { return IsReservedAttributeName(name); });
  }
}

// Valid and missing N, then mean, standard deviation and quartiles as far as
// asked for; `results` holds one value per scale statistic code.
void WriteScaleStatistics(VariableTable& t, const std::vector<std::int32_t>& codes, const std::vector<double>& results,
                          bool allStatistics) {
  const CodebookSettings& settings = *t.settings;
  auto result = [&](int p) { return results[static_cast<std::size_t>(p)]; };
  BpGroup n = t.rows.Group(BpString("N", true), true, 2);
  if (const int p = CodePosition(codes, TableEncryptionCodes::Valid); p >= 0) {
    n.Category(BpString("Valid", true));
    t.Value(BpNumber(result(p), t.countFormat));
  }
  if (const int p = CodePosition(codes, TableEncryptionCodes::Missing); p >= 0) {
    n.Category(BpString("Missing", true));
    t.Value(BpNumber(result(p), t.countFormat));
  }
  BpGroup central = t.rows.Group(BpString("Central Tendency and Dispersion", true), true, 2);
  if (allStatistics || settings.statMean()) {
    if (const int p = CodePosition(codes, TableEncryptionCodes::Mean); p >= 0) {
      central.Category(BpString("Mean", true));
      t.Value(BpNumber(result(p), t.meanFormat));
    }
  }
  if (allStatistics || settings.statStdDev()) {
    if (const int p = CodePosition(codes, TableEncryptionCodes::StdDev); p >= 0) {
      central.Category(BpString("Standard Deviation", true));
      t.Value(BpNumber(result(p), t.stdDevFormat));
    }
  }
  if (allStatistics || settings.statQuartiles()) {
    const int p = CodePosition(codes, TableEncryptionCodes::Percentile);
    if (p >= 0 && results.size() == static_cast<std::size_t>(p) + 3) {
      const char* const labels[] = {"Percentile 25", "Percentile 50", "Percentile 75"};
      for (int q = 0; q < 3; ++q) {
        central.Category(BpString(labels[q], true));
        t.Value(BpNumber(result(p + q), t.meanFormat));
      }
    }
  }
}

// Which labels a listing without counts shows. Counts that were asked for
// but cannot be shown (the category limit) still open it: the labels stand
// in for the counts, whatever VARINFO says.
struct LabelChoice {
  bool valid = false;
  bool missing = false;
};

// Value labels without counts: the first `n` labels, as valid or missing
// values (a scale variable's all as labelled values). The table is made in
// the order it is shown: one walk over the labels per group.
void WriteLabelsOnly(VariableTable& t, QUVO_ValueLabelMap& labels, std::int64_t n, bool scale, LabelChoice shown) {
  const bool showValidLabels = shown.valid;
  const bool showMissingLabels = shown.missing;
  const auto rows = [&](BpGroup& group, int which) {  // 0: every label, 1: valid values, 2: missing values
    labels.Reset();
    OBS value{};
    const char* label = nullptr;
    for (std::int64_t visited = 0; visited < n && labels.GetNextPair(value, label) != 0; ++visited) {
      if (which != 0 && (t.variable->IsMissing(value) != 0) != (which == 2)) continue;
      group.Category(BpDataValue(t.variable, value, 0));
      if (label != nullptr) t.valueColumn.Cell(BpString(label, false));
    }
  };
  BpGroup labeled = t.rows.Group(BpString("Labeled Values", true), true, 2);
  if (scale) rows(labeled, 0);
  BpGroup valid = t.rows.Group(BpString("Valid Values", true), true, 2);
  if (!scale && showValidLabels) rows(valid, 1);
  BpGroup missing = t.rows.Group(BpString("Missing Values", true), true, 2);
  if (!scale && showMissingLabels) rows(missing, 2);
  if (n > 0 && labels.Size() > 0) t.nothingShown = false;
}

// The observed values of a categorical variable with counts and percents,
// valid and missing apart, then the system-missing remainder.
void WriteObservedValues(VariableTable& t, const QUVO_ValueLabelMap& labels, const CategoryListing& listing,
                         bool showCounts, bool showPercents) {
  const auto row = [&](BpGroup& group, std::size_t i) {
    const OBS& value = listing.values[i];
    group.Category(BpDataValue(t.variable, value, 0));
    if (const char* label = labels.GetLabel(value)) t.valueColumn.Cell(BpString(label, false));
    if (showCounts) t.countColumn.Cell(BpNumber(listing.Count(i), t.countFormat));
    if (showPercents) t.percentColumn.Cell(BpNumber(listing.Percent(i), t.percentFormat));
  };
  if (!listing.values.empty()) t.nothingShown = false;
  // In the order shown: the valid values, then the missing ones.
  BpGroup valid = t.rows.Group(BpString("Valid Values", true), true, 2);
  for (std::size_t i = 0; i < listing.values.size(); ++i) {
    if (t.variable->IsMissing(listing.values[i]) == 0) row(valid, i);
  }
  BpGroup missing = t.rows.Group(BpString("Missing Values", true), true, 2);
  // Whatever the engine counted as missing beyond the listed user-missing
  // values is system-missing: the missing weight less theirs, each sum with
  // what it rounded away and every difference's rounding error kept, so that
  // the count and its percent are those of the exact sums (a difference of
  // rounded doubles put the percent an ulp off).
  host::CompensatedSum remainder;
  remainder.Add(listing.missingCount);
  remainder.Add(listing.rests.missing);
  for (std::size_t i = 0; i < listing.values.size(); ++i) {
    if (t.variable->IsMissing(listing.values[i]) == 0) continue;
    row(missing, i);
    remainder.Add(-listing.Count(i));
    if (i < listing.rests.counts.size()) remainder.Add(-listing.rests.counts[i]);
  }
  const double system = remainder.Value();
  const double systemRest = remainder.Rest();
  if (system > 1e-8 && listing.total > 0.0) {
    missing.Category(BpString("System", true));
    if (showCounts) t.countColumn.Cell(BpNumber(system, t.countFormat));
    if (showPercents) {
      const double percent = std::isfinite(listing.total)
                                 ? host::PercentOf(system, systemRest, listing.total, listing.rests.total)
                                 : host::PercentOf(system, listing.total);
      t.percentColumn.Cell(BpNumber(percent, t.percentFormat));
    }
  }
}

// A scale variable's labelled values that occur in the data, percents of
// the weighted case total.
void WriteLabelledScaleValues(VariableTable& t, const QUVO_ValueLabelMap& labels, const CategoryListing& listing,
                              double weightedTotal, double weightedTotalRest, bool showCounts, bool showPercents) {
  BpGroup labeled = t.rows.Group(BpString("Labeled Values", true), true, 2);
  const std::int64_t limit = std::min<std::int64_t>(labels.Size(), t.settings->maxCats());
  std::int64_t added = 0;
  for (std::size_t i = 0; i < listing.values.size() && added < limit; ++i) {
    t.nothingShown = false;
    const OBS& value = listing.values[i];
    const char* label = labels.GetLabel(value);
    if (label == nullptr) continue;
    labeled.Category(BpDataValue(t.variable, value, 0));
    t.valueColumn.Cell(BpString(label, false));
    if (showCounts) t.countColumn.Cell(BpNumber(listing.Count(i), t.countFormat));
    if (showPercents) {
      // Of the exact sums: the count and the case total each with what it
      // rounded away.
      const double countRest = i < listing.rests.counts.size() ? listing.rests.counts[i] : 0.0;
      const double percent = weightedTotal > 0.0 && std::isfinite(weightedTotal) && i < listing.counts.size()
                                 ? host::PercentOf(listing.counts[i], countRest, weightedTotal, weightedTotalRest)
                                 : listing.Percent(i);
      t.percentColumn.Cell(BpNumber(percent, t.percentFormat));
    }
    ++added;
  }
}

// The value listing: the observed values with counts and percents, the
// labelled values of a scale variable, or the labels alone. Returns the
// aggregation entry the listing came from.
std::uint32_t WriteValueListing(VariableTable& t, VariableStatistics* statistics,
                                const std::vector<bool>& categoriesShown, std::uint32_t aggregationIndex,
                                bool allStatistics, std::uint32_t treatment) {
  const CodebookSettings& settings = *t.settings;
  const QUVO_Variable* variable = t.variable;
  bool showCounts = !settings.statisticsNone() && (allStatistics || settings.statCount());
  bool showPercents = !settings.statisticsNone() && (allStatistics || settings.statPercent());
  std::uint32_t k = aggregationIndex;
  const bool countsAsked = showCounts || showPercents;
  const LabelChoice labelsShown{countsAsked || !settings.varInfoGiven() || settings.varInfoValueLabels(),
                                countsAsked || !settings.varInfoGiven() || settings.varInfoMissing()};
  if (!labelsShown.valid && !labelsShown.missing) return k;
  // Where the values come from.
  QUVO_ValueLabelMap labels = variable->GetValueLabels();
  bool listing = true;
  if (treatment == kTreatScale) {
    // A scale variable's values are listed from its labelled-values entry,
    // the one after its scale entry.
    if (showCounts || showPercents) k = k + 1;
    if (labels.Size() == 0) {
      k = aggregationIndex;
      listing = false;
    }
  }
  CategoryListing results;
  std::int64_t n = 0;
  if (listing) {
    if (k < categoriesShown.size() && !categoriesShown[k]) {
      showCounts = false;
      showPercents = false;
    }
    if (!showCounts && !showPercents) {
      labels.Reset();
      n = labels.Size();
    } else {
      CB_CHECK("cbkoutput", statistics != nullptr);
      results.total = statistics->GetCategoryResults(k, results.counts, results.percents, results.values,
                                                     results.missingCount, &results.rests);
      n = static_cast<std::int64_t>(results.values.size());
    }
    // Listings longer than MAXCATS are left out whole.
    if (n == 0 || n > settings.maxCats()) listing = false;
  }

  if (listing && !showCounts && !showPercents) {
    WriteLabelsOnly(t, labels, n, treatment == kTreatScale, labelsShown);
  } else if (listing && treatment != kTreatScale) {
    WriteObservedValues(t, labels, results, showCounts, showPercents);
  } else if (listing) {
    const double caseTotal = statistics->GetWeightedCaseTotal();
    WriteLabelledScaleValues(t, labels, results, caseTotal, statistics->GetWeightedCaseTotalRest(), showCounts,
                             showPercents);
  }
  return k;
}

}  // namespace

std::uint32_t CodebookRun::WriteVariableTable(std::uint32_t variableIndex, std::uint32_t aggregationIndex,
                                              bool allStatistics, std::uint32_t treatment) {
  const CodebookSettings& settings = *fSettings;
  const QUVO_Variable* variable = fDataSource->GetVariable(static_cast<int>(variableIndex));
  CB_CHECK("cbkoutput", variable != nullptr);

  // Skeleton.
  BpPivotTable table =
      fProcedure->PivotTable(BpString(variable->GetName(), false), BpString("Variable Information", false), false);
  VariableTable t;
  t.variable = variable;
  t.settings = fSettings;
  t.rows = table.Dimension(BpString("Attributes", true), 2);
  t.rows.Position(0, 1, true, false);
  BpDimension columns = table.Dimension(BpString("Values", true), 2);
  columns.Position(1, 1, true, false);
  t.valueColumn = columns.Category(BpString("Value", true));
  t.countColumn = columns.Category(BpString("Count", true));
  t.percentColumn = columns.Category(BpString("Percent", true));
  table.InOrder();  // every row gets its cells before the next is made
  t.meanFormat = fProcedure->Mean(static_cast<int>(variableIndex));
  t.stdDevFormat = fProcedure->StdDev(static_cast<int>(variableIndex));

  WriteStandardAttributes(t, variableIndex);
  WriteAttributes(t);

  if (!settings.statisticsNone() && treatment == kTreatScale && !fScaleStatCodes.empty()) {
    CB_CHECK("cbkoutput", fStatistics != nullptr);
    std::vector<double> results;
    fStatistics->GetScaleResults(aggregationIndex, results);
    CB_CHECK("cbkoutput", results.size() == fScaleStatCodes.size() || results.size() == fScaleStatCodes.size() + 2);
    WriteScaleStatistics(t, fScaleStatCodes, results, allStatistics);
  }

  const std::uint32_t k =
      WriteValueListing(t, fStatistics.get(), fCategoriesShown, aggregationIndex, allStatistics, treatment);

  // A variable that showed nothing is named in the closing warning; its
  // table stays.
  if (t.nothingShown) {
    fNoInfoNames += variable->GetName();
    fNoInfoNames += " ,";
  }
  return k;
}

}  // namespace codebook
