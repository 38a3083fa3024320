// The overview of a report: see overview.h.
#include "host/output/overview.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

#include "host/aggregation.h"
#include "host/common/in_order.h"
#include "host/common/text.h"
#include "host/data/dataset.h"
#include "host/engine/profile.h"
#include "host/output/render.h"
#include "host/output/value_format.h"
#include "host/quvo.h"

namespace host {

namespace {

// Charts with more categories than this show no bars (a picture of a few
// hundred slivers tells nothing); numeric variables then get a histogram.
constexpr std::size_t kMaxBars = 60;
// Summaries list every bar up to this many.
constexpr std::size_t kListedBars = 12;

bool IsVariableTable(const TableNode& table, const ReportLayout& layout) {
  return !layout.variableTable.empty() && table.lookup.text == layout.variableTable;
}

std::string CountText(double w) { return valuefmt::Statistic(w, 0, false); }
std::string PercentText(double p) { return valuefmt::Statistic(p, 1, true); }

// The group labelled `label` (none for an empty label: a layout that does
// not name the group).
const GroupNode* FindGroup(const GroupNode& group, std::string_view label) {
  if (label.empty()) return nullptr;
  for (const Child& c : group.children) {
    if (c.Group() == nullptr) continue;
    if (c.Group()->label.text == label) return c.Group();
    if (const GroupNode* found = FindGroup(*c.Group(), label)) return found;
  }
  return nullptr;
}

const GroupNode* FindGroup(const TableNode& table, std::string_view label) {
  const DimensionNode* rows = table.RowDimension();
  return rows == nullptr ? nullptr : FindGroup(*rows, label);
}

// The cell of a row in the column labelled `column`.
const CellText* CellIn(const CategoryNode& row, std::string_view column) {
  if (column.empty()) return nullptr;
  for (const Cell& cell : row.Cells()) {
    if (cell.column != nullptr && cell.column->label.text == column) return &cell.text;
  }
  return nullptr;
}

// A category row's count: its Count cell, else its Percent cell (charts need
// proportions only). False when it has neither.
bool RowWeight(const CategoryNode& row, const ReportLayout& layout, double& weight) {
  for (const std::string* column : {&layout.countColumn, &layout.percentColumn}) {
    const CellText* cell = CellIn(row, *column);
    if (cell != nullptr && cell->hasNumber) {
      weight = cell->number;
      return true;
    }
  }
  return false;
}

// How a category row is named in a chart: its value label, else its value.
std::string RowName(const CategoryNode& row, const ReportLayout& layout) {
  const CellText* label = CellIn(row, layout.valueColumn);
  if (label != nullptr && !label->text.empty()) return label->text.str();
  return row.label.text.empty() ? std::string("(blank)") : row.label.text.str();
}

// The bars of the categories a table lists with counts, from the given groups.
std::vector<ChartBar> TableBars(const TableNode& table, const ReportLayout& layout,
                                std::initializer_list<std::pair<std::string_view, bool>> groups) {
  std::vector<ChartBar> bars;
  for (const auto& [label, missing] : groups) {
    const GroupNode* group = FindGroup(table, label);
    if (group == nullptr) continue;
    for (const Child& c : group->children) {
      if (c.Category() == nullptr) continue;
      double weight = 0.0;
      if (!RowWeight(*c.Category(), layout, weight)) continue;
      bars.push_back(ChartBar{RowName(*c.Category(), layout), weight, missing});
    }
  }
  return bars;
}

// The most frequent of the rows a group lists with counts, named as charts
// name it and followed by the percent the table shows; `listed` counts them.
std::string TopRowText(const GroupNode& group, const ReportLayout& layout, std::size_t& listed,
                       std::size_t& nameBytes) {
  const CategoryNode* best = nullptr;
  double bestWeight = 0.0;
  listed = 0;
  for (const Child& c : group.children) {
    double weight = 0.0;
    if (c.Category() == nullptr || !RowWeight(*c.Category(), layout, weight)) continue;
    ++listed;
    if (best == nullptr || weight > bestWeight) {
      best = c.Category();
      bestWeight = weight;
    }
  }
  if (best == nullptr) return {};
  std::string text = RowName(*best, layout);
  nameBytes = text.size();
  // A percent that could not be computed (".") is left out.
  if (const CellText* percent = CellIn(*best, layout.percentColumn); percent != nullptr && percent->text.str() != ".") {
    text += " (" + percent->text.str() + ")";
  }
  return text;
}

std::string TypeText(const QUVO_Variable& variable) {
  if (variable.IsString()) return "String";
  switch (engine::TimeKindOf(variable.printFormat.type)) {
    case engine::TimeKind::Date:
      return "Date";
    case engine::TimeKind::Time:
      return "Time";
    default:
      return "Numeric";
  }
}

std::string LevelText(int measure) {
  static const char* const kLevels[] = {"Unknown", "Nominal", "Ordinal", "Scale"};
  return measure >= 0 && measure <= Measure::Scale ? kLevels[measure] : kLevels[0];
}

// A value as the variable shows it, with its label when it has one.
std::string ValueName(const QUVO_Variable& variable, const OBS& value) {
  if (const char* label = variable.GetValueLabels().GetLabel(value)) return label;
  if (variable.IsString()) {
    std::string text = valuefmt::String(ObsString(value), variable.printFormat);
    return text.empty() ? std::string("(blank)") : text;
  }
  return valuefmt::Numeric(value.d, variable.printFormat);
}

std::string Details(const std::string& what, const std::vector<ChartBar>& bars) {
  std::string out = what + ": ";
  bool missingSeen = false;
  for (std::size_t k = 0; k < bars.size(); ++k) {
    if (k > 0) out += "; ";
    if (bars[k].missing && !missingSeen) {
      out += "missing: ";
      missingSeen = true;
    }
    out += bars[k].label + " (" + CountText(bars[k].weight) + ")";
  }
  return out + ".";
}

std::string BarsSummary(const std::string& name, const std::vector<ChartBar>& bars) {
  if (bars.size() <= kListedBars) return Details("Bar chart of " + name, bars);
  const auto largest = std::max_element(bars.begin(), bars.end(),
                                        [](const ChartBar& a, const ChartBar& b) { return a.weight < b.weight; });
  return "Bar chart of " + name + ": " + std::to_string(bars.size()) + " categories; the largest, " + largest->label +
         ", has " + CountText(largest->weight) + ".";
}

Chart HistogramChart(const std::string& name, const engine::ColumnSummary& summary, const QUVO_Variable& variable) {
  Chart chart;
  const engine::Histogram& h = summary.histogram;
  if (h.Empty()) return chart;
  chart.kind = ChartKind::Histogram;
  const auto show = [&variable](double x) { return valuefmt::Numeric(x, variable.printFormat); };
  std::size_t peak = 0;
  for (std::size_t k = 0; k < h.weights.size(); ++k) {
    chart.bars.push_back(ChartBar{show(h.Low(k)) + " to " + show(h.High(k)), h.weights[k], false});
    if (h.weights[k] > h.weights[peak]) peak = k;
  }
  chart.low = show(h.Low(0));
  chart.high = show(h.High(h.weights.size() - 1));
  chart.summary = "Histogram of " + name + ": " + std::to_string(h.weights.size()) +
                  (h.weights.size() == 1 ? " bin" : " bins") + " from " + chart.low + " to " + chart.high +
                  "; the most cases (" + CountText(h.weights[peak]) + ") lie from " + chart.bars[peak].label + ".";
  chart.details = Details("Histogram of " + name, chart.bars);
  return chart;
}

Chart BarChart(const std::string& name, std::vector<ChartBar> bars) {
  Chart chart;
  if (bars.empty() || bars.size() > kMaxBars) return chart;
  chart.kind = ChartKind::Bars;
  chart.summary = BarsSummary(name, bars);
  chart.details = Details("Bar chart of " + name, bars);
  chart.bars = std::move(bars);
  return chart;
}

const engine::DataProfile* ProfileOf(const Dataset* dataset) {
  return dataset != nullptr && dataset->profile ? dataset->profile.get() : nullptr;
}

void SetCounts(OverviewRow& row, double valid, double missing) {
  row.valid = CountText(valid);
  row.missing = CountText(missing);
  const double total = valid + missing;
  row.missingPercent = total > 0.0 && std::isfinite(total) ? PercentText(PercentOf(missing, total)) : std::string();
}

void VariableRow(OverviewRow& row, const TableNode& table, const QUVO_Variable& variable, int index,
                 const engine::DataProfile* profile, const ReportLayout& layout) {
  row.label = variable.label.value_or(std::string());
  row.type = TypeText(variable);
  row.level = LevelText(variable.measure);
  const engine::ColumnSummary* summary = profile != nullptr ? profile->Column(index) : nullptr;

  // The table's treatment: scale tables have an N group; otherwise the
  // listing says, or, with neither, the dictionary.
  const bool scale = FindGroup(table, layout.scaleGroup) != nullptr ||
                     (FindGroup(table, layout.validGroup) == nullptr && !variable.IsString() &&
                      (variable.measure == Measure::Scale || variable.measure == Measure::Unknown));

  if (summary != nullptr && summary->counted) {
    SetCounts(row, summary->validWeight, summary->missingWeight);
    if (summary->full) {
      row.distinct = summary->distinctOver ? "more than " + std::to_string(engine::kDistinctLimit)
                                           : std::to_string(summary->distinct);
    }
  }
  if (scale) {
    if (summary != nullptr && summary->hasRange && !summary->isString) {
      row.min = valuefmt::Numeric(summary->min, variable.printFormat);
      row.max = valuefmt::Numeric(summary->max, variable.printFormat);
    }
    if (const GroupNode* central = FindGroup(table, layout.statisticsGroup)) {
      for (const Child& c : central->children) {
        if (c.Category() == nullptr || c.Category()->label.text != layout.meanRow) continue;
        if (const CellText* mean = CellIn(*c.Category(), layout.valueColumn)) {
          row.center = mean->text;
          row.centerIsMean = true;
        }
      }
    }
    if (summary != nullptr && summary->full && !summary->isString)
      row.chart = HistogramChart(row.name, *summary, variable);
    // A scale variable treated as nominal ([N]) whose table passed MAXCATS
    // lists neither statistics nor categories: its count still tells.
    if (summary != nullptr && !summary->full && summary->validAtLeast > 1)
      row.distinct = "more than " + std::to_string(summary->validAtLeast - 1);
    return;
  }

  std::vector<ChartBar> bars = TableBars(table, layout, {{layout.validGroup, false}, {layout.missingGroup, true}});
  if (summary != nullptr && summary->hasMode) {
    const OBS value = summary->isString ? ObsFromString(summary->modeString) : ObsFromNumber(summary->modeNumber);
    const double total = summary->validWeight + summary->missingWeight;
    row.center = ValueName(variable, value);
    row.modeNameBytes = row.center.size();
    if (total > 0.0 && std::isfinite(total))
      row.center += " (" + PercentText(PercentOf(summary->modeWeight, total)) + ")";
  } else if (const GroupNode* valid = FindGroup(table, layout.validGroup)) {
    // The categories the table lists with counts: their number, and the
    // most frequent with the percent the table shows.
    std::size_t listed = 0;
    row.center = TopRowText(*valid, layout, listed, row.modeNameBytes);
    if (listed > 0) row.distinct = std::to_string(listed);
  } else if (summary != nullptr && summary->validAtLeast > 1) {
    // A table past MAXCATS lists nothing, but its count ended past that
    // limit: an empty Distinct would read as no data.
    row.distinct = "more than " + std::to_string(summary->validAtLeast - 1);
  }
  row.chart = BarChart(row.name, std::move(bars));
  if (row.chart.kind == ChartKind::None && summary != nullptr && summary->full && !summary->isString) {
    row.chart = HistogramChart(row.name, *summary, variable);
  }
}

void SetRow(OverviewRow& row, const TableNode& table, const VariableSetImpl* set, const engine::DataProfile* profile,
            const ReportLayout& layout) {
  row.isSet = true;
  if (set != nullptr) {
    row.label = set->label;
    row.type = set->type == 2 ? "Dichotomy set" : "Category set";
  }
  const engine::SetSummary* summary = profile != nullptr && set != nullptr ? profile->Set(set->name) : nullptr;
  if (summary != nullptr) SetCounts(row, summary->validWeight, summary->missingWeight);

  std::vector<ChartBar> bars = TableBars(table, layout, {{layout.setGroup, false}});
  if (!bars.empty()) {
    std::size_t listed = 0;
    row.center = TopRowText(*FindGroup(table, layout.setGroup), layout, listed, row.modeNameBytes);
    row.distinct = std::to_string(listed);
    if (summary != nullptr && summary->missingWeight > 0.0)
      bars.push_back(ChartBar{"no counted value", summary->missingWeight, true});
  }
  row.chart = BarChart(row.name, std::move(bars));
}

const VariableSetImpl* FindSet(const Dataset& dataset, const std::string& name) {
  for (const auto& set : dataset.sets) {
    if (EqualsIgnoringCase(set->name, name)) return set.get();
  }
  return nullptr;
}

// A table's row: reads only the table, the dictionary and the profile.
OverviewRow TableRow(const TableNode& table, int id, const Dataset* dataset, const engine::DataProfile* profile,
                     const ReportLayout& layout) {
  OverviewRow row;
  row.tableId = id;
  row.table = &table;
  row.name = table.title.text;
  if (table.flag && IsSetTable(table, layout)) {
    SetRow(row, table, dataset != nullptr ? FindSet(*dataset, row.name) : nullptr, profile, layout);
  } else {
    const int index = dataset != nullptr ? dataset->Find(row.name) : -1;
    if (index >= 0) {
      VariableRow(row, table, *dataset->variables[static_cast<std::size_t>(index)], index, profile, layout);
    } else {
      row.chart =
          BarChart(row.name, TableBars(table, layout, {{layout.validGroup, false}, {layout.missingGroup, true}}));
    }
  }
  return row;
}

// Rows made a batch at a time; with a few hundred tables or more, on two
// threads.
constexpr std::size_t kRowBatch = 64;
constexpr std::size_t kRowsShared = 256;

}  // namespace

Overview BuildOverview(const OutputDocument& document, const Dataset* dataset, const RenderOptions& options) {
  Overview overview;
  const ReportLayout& layout = options.layout;
  const engine::DataProfile* profile = ProfileOf(dataset);
  std::vector<std::pair<int, const TableNode*>> tables;
  int id = 0;
  for (const Item& item : document.Items()) {
    if (!item.IsTable()) continue;
    ++id;
    if (IsVariableTable(*item.table, layout)) tables.emplace_back(id, item.table.get());
  }
  overview.rows.resize(tables.size());
  const std::size_t batches = (tables.size() + kRowBatch - 1) / kRowBatch;
  MakeInOrder(
      batches, tables.size() >= kRowsShared && HelperThreadAllowed(), batches,
      [&](std::size_t b) {
        const std::size_t end = std::min(tables.size(), (b + 1) * kRowBatch);
        for (std::size_t k = b * kRowBatch; k < end; ++k) {
          overview.rows[k] = TableRow(*tables[k].second, tables[k].first, dataset, profile, layout);
        }
      },
      [](std::size_t) {});

  DatasetFacts& facts = overview.facts;
  facts.file = options.file;
  facts.madeAt = options.madeAt;
  facts.version = options.version;
  if (dataset != nullptr) {
    facts.known = true;
    if (dataset->caseCount) facts.cases = std::to_string(*dataset->caseCount);
    facts.variables = std::to_string(dataset->variables.size());
    if (dataset->weightIndex >= 0 && static_cast<std::size_t>(dataset->weightIndex) < dataset->variables.size()) {
      facts.weight = dataset->variables[static_cast<std::size_t>(dataset->weightIndex)]->name;
    }
    for (int index : dataset->splitIndices) {
      if (index < 0 || static_cast<std::size_t>(index) >= dataset->variables.size()) continue;
      if (!facts.split.empty()) facts.split += ", ";
      facts.split += dataset->variables[static_cast<std::size_t>(index)]->name;
    }
  }
  return overview;
}

bool IsSetTable(const TableNode& table, const ReportLayout& layout) {
  return !layout.setPrefix.empty() && table.title.text.starts_with(layout.setPrefix);
}

std::string TypeAndLevel(const OverviewRow& row) {
  if (row.level.empty()) return row.type;
  return row.type + ", " + LowerAscii(row.level);
}

std::string MissingText(const OverviewRow& row) {
  return row.missingPercent.empty() ? row.missing : row.missing + " (" + row.missingPercent + ")";
}

std::string WeightNote(const TableNode& table, const Dataset* dataset, const ReportLayout& layout) {
  if (dataset == nullptr || dataset->weightIndex < 0 ||
      static_cast<std::size_t>(dataset->weightIndex) >= dataset->variables.size() || !IsVariableTable(table, layout)) {
    return {};
  }
  bool figures = false;
  if (const DimensionNode* rows = table.RowDimension()) {
    rows->ForEachCategory([&figures, &layout](const CategoryNode& row) {
      if (figures) return;
      if (CellIn(row, layout.countColumn) != nullptr || CellIn(row, layout.percentColumn) != nullptr) figures = true;
      const GroupNode* parent = row.parent;
      const auto named = [](std::string_view label, const std::string& name) { return !name.empty() && label == name; };
      if (parent != nullptr &&
          (named(parent->label.text, layout.scaleGroup) || named(parent->label.text, layout.statisticsGroup)) &&
          row.cellCount > 0) {
        figures = true;
      }
    });
  }
  if (!figures) return {};
  return "Counts weighted by " + dataset->variables[static_cast<std::size_t>(dataset->weightIndex)]->name;
}

std::string OverviewWeightNote(const Overview& overview) {
  if (overview.rows.empty() || overview.facts.weight.empty()) return {};
  return "Counts weighted by " + overview.facts.weight;
}

std::string FactsLine(const DatasetFacts& facts) {
  std::vector<std::string> parts;
  if (!facts.file.empty()) parts.push_back(facts.file);
  if (!facts.cases.empty()) parts.push_back(facts.cases + (facts.cases == "1" ? " case" : " cases"));
  if (!facts.variables.empty())
    parts.push_back(facts.variables + (facts.variables == "1" ? " variable" : " variables"));
  if (facts.known) parts.push_back(facts.weight.empty() ? std::string("unweighted") : "weighted by " + facts.weight);
  if (!facts.split.empty()) parts.push_back("split by " + facts.split);
  if (!facts.madeAt.empty()) parts.push_back("made " + facts.madeAt);
  if (!facts.version.empty()) parts.push_back(facts.version);
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += " \xC2\xB7 ";  // a middle dot
    out += part;
  }
  return out;
}

std::string Sparkline(const Chart& chart, std::size_t room) {
  static const char* const kBlocks[] = {"\xE2\x96\x81", "\xE2\x96\x82", "\xE2\x96\x83", "\xE2\x96\x84",
                                        "\xE2\x96\x85", "\xE2\x96\x86", "\xE2\x96\x87", "\xE2\x96\x88"};
  if (chart.kind == ChartKind::None || chart.bars.empty()) return {};
  double top = 0.0;
  bool anyMissing = false;
  for (const ChartBar& bar : chart.bars) {
    top = std::max(top, bar.weight);
    anyMissing = anyMissing || bar.missing;
  }
  if (chart.bars.size() + (anyMissing ? 1 : 0) > room) return {};
  std::string out;
  bool inMissing = false;
  for (const ChartBar& bar : chart.bars) {
    if (bar.missing && !inMissing) {
      out += "\xC2\xB7";  // a middle dot between the valid and the missing categories
      inMissing = true;
    }
    if (!(bar.weight > 0.0) || !(top > 0.0)) {
      out += ' ';
      continue;
    }
    // Weights that overflow a double (a density over a range of nearly zero
    // width) make the share inf / inf: such a bar is as tall as the tallest.
    const double share = bar.weight / top;
    const int level = std::isnan(share) ? 8 : std::clamp(static_cast<int>(std::ceil(share * 8.0)), 1, 8);
    out += kBlocks[level - 1];
  }
  return out;
}

std::string PageTitle(const Dataset* dataset, const RenderOptions& options) {
  if (dataset != nullptr && dataset->label && !dataset->label->empty()) return *dataset->label;
  const std::string& name = options.layout.documentName;
  if (options.title.empty() || name.empty()) return options.title.empty() ? name : options.title;
  return name + ": " + options.title;
}

}  // namespace host
