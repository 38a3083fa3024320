// The table of one variable: dictionary facts, attributes, scale statistics
// and the listing of its values.
#include <algorithm>
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

}  // namespace

std::uint32_t CodebookRun::WriteVariableTable(std::uint32_t variableIndex, std::uint32_t aggregationIndex,
                                              bool allStatistics, std::uint32_t treatment) {
  const CodebookSettings& settings = *fSettings;
  const QUVO_Variable* variable = fDataSource->GetVariable(static_cast<int>(variableIndex));
  CB_CHECK("cbkoutput", variable != nullptr);

  // Skeleton.
  BpPivotTable table =
      fProcedure->PivotTable(BpString(variable->GetName(), false), BpString("Variable Information", false), false);
  BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
  rows.Position(0, 1, true, false);
  BpDimension columns = table.Dimension(BpString("Values", true), 2);
  columns.Position(1, 1, true, false);
  BpCategory valueColumn = columns.Category(BpString("Value", true));
  BpCategory countColumn = columns.Category(BpString("Count", true));
  BpCategory percentColumn = columns.Category(BpString("Percent", true));

  const BpFormatSpec countFormat = BpProcedure::Count();
  const BpFormatSpec percentFormat = BpProcedure::Percent();
  const BpFormatSpec meanFormat = fProcedure->Mean(static_cast<int>(variableIndex));
  const BpFormatSpec stdDevFormat = fProcedure->StdDev(static_cast<int>(variableIndex));

  bool nothingShown = true;
  const bool varInfoGiven = settings.varInfoGiven();
  auto shown = [varInfoGiven](bool flag) { return !varInfoGiven || flag; };

  // Standard attributes.
  BpGroup standard = rows.Group(BpString("Standard Attributes", true), true, 2);
  if (shown(settings.varInfoPosition())) {
    standard.Category(BpString("Position", true));
    valueColumn.Cell(BpNumber(static_cast<double>(variableIndex) + 1.0, countFormat));
    nothingShown = false;
  }
  if (shown(settings.varInfoLabel())) {
    standard.Category(BpString("Label", true));
    const char* label = variable->GetLabel();
    if (label != nullptr) {
      valueColumn.Cell(BpString(label, false));
    } else {
      valueColumn.Cell(BpString("<none>", true));
    }
    nothingShown = false;
  }
  if (shown(settings.varInfoType())) {
    standard.Category(BpString("Type", true));
    valueColumn.Cell(BpString(variable->GetType() == 0 ? "Numeric" : "String", true));
    nothingShown = false;
  }
  if (shown(settings.varInfoFormat())) {
    standard.Category(BpString("Format", true));
    valueColumn.Cell(BpString(FormatText(variable->GetWriteFormatEx()), false));
    nothingShown = false;
  }
  if (shown(settings.varInfoMeasure())) {
    standard.Category(BpString("Measurement", true));
    valueColumn.Cell(BpString(MeasurementText(variable->GetMeasurementLevel()), true));
    nothingShown = false;
  }
  if (shown(settings.varInfoRole())) {
    standard.Category(BpString("Role", true));
    valueColumn.Cell(BpString(RoleText(variable->GetRole()), true));
    nothingShown = false;
  }

  // Attributes, one row per array element.
  const DatasourceAttributes& attributes = variable->GetAttributes();
  auto attributeRows = [&](BpGroup& group, auto take) {
    for (int i = 0; i < attributes.Size(); ++i) {
      const std::string& name = attributes.Name(i);
      const std::vector<std::string>& values = attributes.Values(i);
      const int count = static_cast<int>(values.size());
      if (count == 0 || !take(name)) continue;
      for (int j = 0; j < count; ++j) {
        group.Category(BpString(AttributeElementName(name, j, count), false));
        const std::string& value = values[static_cast<std::size_t>(j)];
        valueColumn.Cell(BpString(value.empty() ? std::string(" ") : value, false));
        nothingShown = false;
      }
    }
  };
  if (shown(settings.varInfoAttributes())) {
    BpGroup custom = rows.Group(BpString("Custom Attributes", true), true, 2);
    attributeRows(custom, [](const std::string& name) { return !IsHiddenAttributeName(name); });
  }
  if (settings.varInfoReservedAttributes()) {
    // Reserved means reserved: "$@" names are listed here too.
    BpGroup reserved = rows.Group(BpString("Reserved Attributes", false), true, 2);
    attributeRows(reserved, [](const std::string& name) { return IsReservedAttributeName(name); });
  }

  // Scale statistics.
  if (!settings.statisticsNone() && treatment == kTreatScale && !fScaleStatCodes.empty()) {
    CB_CHECK("cbkoutput", fStatistics != nullptr);
    std::vector<double> results;
    fStatistics->GetScaleResults(aggregationIndex, results);
    CB_CHECK("cbkoutput", results.size() == fScaleStatCodes.size() || (results.size() == fScaleStatCodes.size()+2));

    BpGroup n = rows.Group(BpString("N", true), true, 2);
    if (const int p = CodePosition(fScaleStatCodes, TableEncryptionCodes::Valid); p >= 0) {
      n.Category(BpString("Valid", true));
      valueColumn.Cell(BpNumber(results[static_cast<std::size_t>(p)], countFormat));
      nothingShown = false;
    }
    if (const int p = CodePosition(fScaleStatCodes, TableEncryptionCodes::Missing); p >= 0) {
      n.Category(BpString("Missing", true));
      valueColumn.Cell(BpNumber(results[static_cast<std::size_t>(p)], countFormat));
      nothingShown = false;
    }
    BpGroup central = rows.Group(BpString("Central Tendency and Dispersion", true), true, 2);
    if (allStatistics || settings.statMean()) {
      if (const int p = CodePosition(fScaleStatCodes, TableEncryptionCodes::Mean); p >= 0) {
        central.Category(BpString("Mean", true));
        valueColumn.Cell(BpNumber(results[static_cast<std::size_t>(p)], meanFormat));
        nothingShown = false;
      }
    }
    if (allStatistics || settings.statStdDev()) {
      if (const int p = CodePosition(fScaleStatCodes, TableEncryptionCodes::StdDev); p >= 0) {
        central.Category(BpString("Standard Deviation", true));
        valueColumn.Cell(BpNumber(results[static_cast<std::size_t>(p)], stdDevFormat));
        nothingShown = false;
      }
    }
    if (allStatistics || settings.statQuartiles()) {
      const int p = CodePosition(fScaleStatCodes, TableEncryptionCodes::Percentile);
      if (p >= 0 && results.size() == static_cast<std::size_t>(p) + 3) {
        const char* const labels[] = {"Percentile 25", "Percentile 50", "Percentile 75"};
        for (int q = 0; q < 3; ++q) {
          central.Category(BpString(labels[q], true));
          valueColumn.Cell(BpNumber(results[static_cast<std::size_t>(p + q)], meanFormat));
          nothingShown = false;
        }
      }
    }
  }

  // What the value listing shows.
  bool showCounts = !settings.statisticsNone() && (allStatistics || settings.statCount());
  bool showPercents = !settings.statisticsNone() && (allStatistics || settings.statPercent());
  const bool showValidLabels = showCounts || showPercents || !varInfoGiven || settings.varInfoValueLabels();
  const bool showMissingLabels = showCounts || showPercents || !varInfoGiven || settings.varInfoMissing();
  std::uint32_t k = aggregationIndex;

  const bool listingWanted =
      showCounts || showPercents || !varInfoGiven || settings.varInfoValueLabels() || settings.varInfoMissing();
  if (listingWanted) {
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
    std::vector<double> counts;
    std::vector<double> percents;
    std::vector<OBS> values;
    std::vector<std::string> valueTexts;
    std::vector<std::int32_t> memberIndices;
    double missingCount = 0.0;
    double total = 0.0;
    std::int64_t n = 0;
    if (listing) {
      if (k < fCategoriesShown.size() && !fCategoriesShown[k]) {
        showCounts = false;
        showPercents = false;
      }
      if (!showCounts && !showPercents) {
        labels.Reset();
        n = labels.Size();
      } else {
        CB_CHECK("cbkoutput", fStatistics != nullptr);
        total = fStatistics->GetCategoryResults(k, counts, percents, values, valueTexts, memberIndices, missingCount);
        n = static_cast<std::int64_t>(values.size());
      }
      // Listings longer than MAXCATS are left out whole.
      if (n == 0 || n > settings.maxCats()) listing = false;
    }
    auto at = [](const std::vector<double>& list, std::size_t i) { return i < list.size() ? list[i] : 0.0; };

    if (listing && !showCounts && !showPercents) {
      // Labels only.
      BpGroup labeled = rows.Group(BpString("Labeled Values", true), true, 2);
      BpGroup valid = rows.Group(BpString("Valid Values", true), true, 2);
      BpGroup missing = rows.Group(BpString("Missing Values", true), true, 2);
      OBS value{};
      const char* label = nullptr;
      for (std::int64_t visited = 0; visited < n && labels.GetNextPair(value, label) != 0; ++visited) {
        nothingShown = false;
        const bool isMissing = variable->IsMissing(value) != 0;
        bool added = true;
        if (treatment == kTreatScale) {
          labeled.Category(BpDataValue(variable, value, 0));
        } else if (!isMissing && showValidLabels) {
          valid.Category(BpDataValue(variable, value, 0));
        } else if (isMissing && showMissingLabels) {
          missing.Category(BpDataValue(variable, value, 0));
        } else {
          added = false;
        }
        if (added && label != nullptr) valueColumn.Cell(BpString(label, false));
      }
    } else if (listing && treatment != kTreatScale) {
      // Observed values with counts and percents.
      BpGroup valid = rows.Group(BpString("Valid Values", true), true, 2);
      BpGroup missing = rows.Group(BpString("Missing Values", true), true, 2);
      double missingSum = 0.0;
      for (std::size_t i = 0; i < values.size(); ++i) {
        nothingShown = false;
        const OBS& value = values[i];
        if (variable->IsMissing(value) != 0) {
          missing.Category(BpDataValue(variable, value, 0));
          missingSum += at(counts, i);
        } else {
          valid.Category(BpDataValue(variable, value, 0));
        }
        if (const char* label = labels.GetLabel(value)) valueColumn.Cell(BpString(label, false));
        if (showCounts) countColumn.Cell(BpNumber(at(counts, i), countFormat));
        if (showPercents) percentColumn.Cell(BpNumber(at(percents, i), percentFormat));
      }
      // Whatever the engine counted as missing beyond the listed
      // user-missing values is system-missing.
      const double remainder = missingCount - missingSum;
      if (remainder > 1e-8 && total > 0.0) {
        missing.Category(BpString("System", true));
        if (showCounts) countColumn.Cell(BpNumber(remainder, countFormat));
        if (showPercents) percentColumn.Cell(BpNumber(remainder / total * 100.0, percentFormat));
      }
    } else if (listing) {
      // A scale variable's labelled values that occur in the data.
      BpGroup labeled = rows.Group(BpString("Labeled Values", true), true, 2);
      const std::int64_t limit = std::min<std::int64_t>(labels.Size(), settings.maxCats());
      const double weightedTotal = fStatistics->GetWeightedCaseTotal();
      std::int64_t added = 0;
      for (std::size_t i = 0; i < values.size() && added < limit; ++i) {
        nothingShown = false;
        const OBS& value = values[i];
        const char* label = labels.GetLabel(value);
        if (label == nullptr) continue;
        labeled.Category(BpDataValue(variable, value, 0));
        valueColumn.Cell(BpString(label, false));
        if (showCounts) countColumn.Cell(BpNumber(at(counts, i), countFormat));
        if (showPercents) {
          const double percent =
              weightedTotal > 0.0 && i < counts.size() ? counts[i] / weightedTotal * 100.0 : at(percents, i);
          percentColumn.Cell(BpNumber(percent, percentFormat));
        }
        ++added;
      }
    }
  }

  // A variable that showed nothing is named in the closing warning; its
  // table stays.
  if (nothingShown) {
    fNoInfoNames += variable->GetName();
    fNoInfoNames += " ,";
  }
  return k;
}

}  // namespace codebook
