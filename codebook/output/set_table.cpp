// The table of one multiple-response set: label, kind and categories.
#include <algorithm>
#include <string>
#include <vector>

#include "cbkoutput.h"
#include "stats/variable_statistics.h"

namespace codebook {

namespace {

// The rows and columns a set's categories go into.
struct SetListing {
  const QUVO_DataSource* source = nullptr;
  BpGroup categories{nullptr};
  BpCategory valueColumn{nullptr};
  BpCategory countColumn{nullptr};
  BpCategory percentColumn{nullptr};
  std::int32_t maxCats = 0;
  bool dichotomy = false;
};

// Without counts: the members of a dichotomy set, or the first member's
// labels for a category set, cut to MAXCATS rows.
void WriteSetLabels(SetListing& l, const std::vector<std::int32_t>& members) {
  const QUVO_Variable* first = l.source->GetVariable(members.front());
  CB_CHECK("cbkoutput", first != nullptr);
  if (l.dichotomy) {
    const std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(members.size()), l.maxCats);
    for (std::int64_t i = 0; i < n; ++i) {
      const QUVO_Variable* member = l.source->GetVariable(members[static_cast<std::size_t>(i)]);
      l.categories.Category(BpVariable(member, 0));
      l.valueColumn.Cell(BpVariable(member, 1));
    }
    return;
  }
  QUVO_ValueLabelMap labels = first->GetValueLabels();
  labels.Reset();
  OBS value{};
  const char* label = nullptr;
  for (std::int64_t row = 0; row < l.maxCats && labels.GetNextPair(value, label) != 0; ++row) {
    l.categories.Category(BpDataValue(first, value, 2));
    if (label != nullptr) l.valueColumn.Cell(BpString(label, false));
  }
}

// With counts: the result categories (one member index each), cut to
// MAXCATS rows; a category set's values are labelled from its first member.
void WriteSetCounts(SetListing& l, const std::vector<std::int32_t>& members, const std::vector<OBS>& values,
                    const std::vector<double>& counts, const std::vector<double>& percents, bool showCounts,
                    bool showPercents) {
  const QUVO_Variable* first = l.source->GetVariable(members.front());
  CB_CHECK("cbkoutput", first != nullptr);
  QUVO_ValueLabelMap labels = first->GetValueLabels();
  const BpFormatSpec countFormat = BpProcedure::Count();
  const BpFormatSpec percentFormat = BpProcedure::Percent();
  const std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(members.size()), l.maxCats);
  for (std::int64_t i = 0; i < n; ++i) {
    const std::size_t at = static_cast<std::size_t>(i);
    const QUVO_Variable* member = l.source->GetVariable(members[at]);
    if (l.dichotomy) {
      l.categories.Category(BpVariable(member, 0));
      l.valueColumn.Cell(BpVariable(member, 1));
    } else {
      const OBS value = at < values.size() ? values[at] : OBS{};
      l.categories.Category(BpDataValue(member, value, 0));
      if (const char* label = labels.GetLabel(value)) l.valueColumn.Cell(BpString(label, false));
    }
    if (showCounts) l.countColumn.Cell(BpNumber(at < counts.size() ? counts[at] : 0.0, countFormat));
    if (showPercents) l.percentColumn.Cell(BpNumber(at < percents.size() ? percents[at] : 0.0, percentFormat));
  }
}

// The set's label and type; false when the settings leave both out.
bool WriteSetStandardAttributes(BpDimension& rows, BpCategory& valueColumn, const CodebookSettings& settings,
                                const ItemHandle& handle, bool dichotomy) {
  const bool varInfoGiven = settings.varInfoGiven();
  bool shown = false;
  BpGroup standard = rows.Group(BpString("Standard Attributes", true), true, 2);
  if (!varInfoGiven || settings.varInfoLabel()) {
    standard.Category(BpString("Label", true));
    const std::string& label = handle.Label();
    if (!label.empty()) {
      valueColumn.Cell(BpString(label, false));
    } else {
      valueColumn.Cell(BpString("<none>", true));
    }
    shown = true;
  }
  if (!varInfoGiven || settings.varInfoType()) {
    standard.Category(BpString("Type", true));
    valueColumn.Cell(BpString(dichotomy ? "Multiple Dichotomy Set" : "Multiple Category Set", true));
    shown = true;
  }
  return shown;
}

}  // namespace

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
  table.InOrder();  // every row gets its cells before the next is made

  const bool varInfoGiven = settings.varInfoGiven();
  bool nothingShown = !WriteSetStandardAttributes(rows, valueColumn, settings, handle, dichotomy);

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
    SetListing listing;
    listing.source = fDataSource;
    listing.categories = rows.Group(BpString("Multiple Response Categories", true), true, 2);
    listing.valueColumn = valueColumn;
    listing.countColumn = countColumn;
    listing.percentColumn = percentColumn;
    listing.maxCats = settings.maxCats();
    listing.dichotomy = dichotomy;
    if (!showCounts && !showPercents) {
      // A listing without counts gives the set information even when it adds
      // no row, also when no member is known.
      nothingShown = false;
      if (!mdSetVarIndice.empty()) WriteSetLabels(listing, mdSetVarIndice);
    } else if (!mdSetVarIndice.empty()) {
      WriteSetCounts(listing, mdSetVarIndice, values, counts, percents, showCounts, showPercents);
      nothingShown = false;
    }
  }

  // A set that showed nothing is named in the closing warning.
  if (nothingShown) {
    fNoInfoNames += item.name;
    fNoInfoNames += " ,";
  }
}

}  // namespace codebook
