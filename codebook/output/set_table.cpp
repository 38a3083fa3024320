// The table of one multiple-response set: label, kind and categories.
#include <algorithm>
#include <string>
#include <vector>

#include "cbkoutput.h"
#include "stats/variable_statistics.h"

namespace codebook {

void CodebookRun::WriteSetTable(const CodebookItem& item, const ItemHandle& handle, std::uint32_t aggregationIndex,
                                bool allStatistics) {
  const CodebookSettings& settings = *fSettings;
  const bool dichotomy = handle.Kind() == kItemDichotomySet;

  // Skeleton.
  BpPivotTable table =
      fProcedure->PivotTable(BpString(item.name, false), BpString("Variable Information", false), true);
  BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
  rows.Position(0, 1, true, false);
  BpDimension columns = table.Dimension(BpString("Values", true), 2);
  columns.Position(1, 1, true, false);
  BpCategory valueColumn = columns.Category(BpString("Value", true));
  BpCategory countColumn = columns.Category(BpString("Count", true));
  BpCategory percentColumn = columns.Category(BpString("Percent", true));
  const BpFormatSpec countFormat = BpProcedure::Count();
  const BpFormatSpec percentFormat = BpProcedure::Percent();

  bool nothingShown = true;
  const bool varInfoGiven = settings.varInfoGiven();

  // Standard attributes.
  BpGroup standard = rows.Group(BpString("Standard Attributes", true), true, 2);
  if (!varInfoGiven || settings.varInfoLabel()) {
    standard.Category(BpString("Label", true));
    const std::string& label = handle.Label();
    if (!label.empty()) {
      valueColumn.Cell(BpString(label, false));
    } else {
      valueColumn.Cell(BpString("<none>", true));
    }
    nothingShown = false;
  }
  if (!varInfoGiven || settings.varInfoType()) {
    standard.Category(BpString("Type", true));
    valueColumn.Cell(BpString(dichotomy ? "Multiple Dichotomy Set" : "Multiple Category Set", true));
    nothingShown = false;
  }

  // Whether to list the categories.
  const bool statistics = !settings.statisticsNone() && fStatistics != nullptr;
  bool showCounts = statistics && (allStatistics || settings.statCount());
  bool showPercents = statistics && (allStatistics || settings.statPercent());
  const bool listingWanted = showCounts || showPercents || !varInfoGiven || settings.varInfoValueLabels();
  if (listingWanted) {
    if (aggregationIndex < fCategoriesShown.size() && !fCategoriesShown[aggregationIndex]) {
      showCounts = false;
      showPercents = false;
    }

    // The members in use: one per result category with counts, else the
    // set's own members.
    std::vector<double> counts;
    std::vector<double> percents;
    std::vector<OBS> values;
    std::vector<std::string> valueTexts;
    std::vector<std::int32_t> mdSetVarIndice;
    double missingCount = 0.0;
    if (showCounts || showPercents) {
      fStatistics->GetCategoryResults(aggregationIndex, counts, percents, values, valueTexts, mdSetVarIndice,
                                      missingCount);
    } else {
      mdSetVarIndice = handle.MemberIndices();
    }

    // A set with no known member, or whose results hold no category, gets
    // an empty categories group: there is no first member to take labels from.
    BpGroup categories = rows.Group(BpString("Multiple Response Categories", true), true, 2);
    // A listing without counts gives the set information even when it adds
    // no row, also when no member is known.
    if (!showCounts && !showPercents) nothingShown = false;
    const std::int32_t maxCats = settings.maxCats();
    if (!mdSetVarIndice.empty()) {
      const QUVO_Variable* first = fDataSource->GetVariable(mdSetVarIndice.front());
      CB_CHECK("cbkoutput", first != nullptr);
      QUVO_ValueLabelMap labels = first->GetValueLabels();
      const std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(mdSetVarIndice.size()), maxCats);

      if (!showCounts && !showPercents) {
        // Without counts: the members, or the first member's labels, cut
        // to MAXCATS rows.
        if (dichotomy) {
          for (std::int64_t i = 0; i < n; ++i) {
            const QUVO_Variable* member = fDataSource->GetVariable(mdSetVarIndice[static_cast<std::size_t>(i)]);
            categories.Category(BpVariable(member, 0));
            valueColumn.Cell(BpVariable(member, 1));
          }
        } else {
          labels.Reset();
          OBS value{};
          const char* label = nullptr;
          for (std::int64_t row = 0; row < maxCats && labels.GetNextPair(value, label) != 0; ++row) {
            categories.Category(BpDataValue(first, value, 2));
            if (label != nullptr) valueColumn.Cell(BpString(label, false));
          }
        }
      } else {
        // With counts: the result categories, cut to MAXCATS rows.
        for (std::int64_t i = 0; i < n; ++i) {
          const std::size_t at = static_cast<std::size_t>(i);
          const QUVO_Variable* member = fDataSource->GetVariable(mdSetVarIndice[at]);
          if (dichotomy) {
            categories.Category(BpVariable(member, 0));
            valueColumn.Cell(BpVariable(member, 1));
          } else {
            const OBS value = at < values.size() ? values[at] : OBS{};
            categories.Category(BpDataValue(member, value, 0));
            if (const char* label = labels.GetLabel(value)) valueColumn.Cell(BpString(label, false));
          }
          if (showCounts) countColumn.Cell(BpNumber(at < counts.size() ? counts[at] : 0.0, countFormat));
          if (showPercents) percentColumn.Cell(BpNumber(at < percents.size() ? percents[at] : 0.0, percentFormat));
          nothingShown = false;
        }
      }
    }
  }

  // A set that showed nothing is named in the closing warning.
  if (nothingShown) {
    fNoInfoNames += item.name;
    fNoInfoNames += " ,";
  }
}

}  // namespace codebook
