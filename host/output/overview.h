// The overview of a report: one row per variable and set table, in table
// order, with what the tables say (mean, categories and their counts) and
// what the pass's side statistics add (valid and missing totals, distinct
// values, range, most frequent value, histogram), every text ready to show.
// The HTML, Markdown and text renderers draw it; JSON leaves it out.
#pragma once

#include <string>
#include <vector>

#include "host/document.h"
#include "host/output/model.h"

namespace host {

class Dataset;

enum class ChartKind { None, Bars, Histogram };

// One bar: a category with its (weighted) count, or one histogram bin.
struct ChartBar {
  std::string label;  // the category's label or value; a bin's range
  double weight = 0.0;
  bool missing = false;
};

struct Chart {
  ChartKind kind = ChartKind::None;
  std::vector<ChartBar> bars;
  std::string low;      // histogram: the first bin's lower edge, as the variable shows values
  std::string high;     // histogram: the last bin's upper edge
  std::string summary;  // a sentence describing the chart, for screen readers
  std::string details;  // every bar with its count, for screen readers and tooltips
};

struct OverviewRow {
  int tableId = 0;  // 1-based position among the document's tables
  const TableNode* table = nullptr;
  bool isSet = false;
  std::string name;
  std::string label;
  std::string type;
  std::string level;
  std::string valid;  // weighted count, as counts are shown
  std::string missing;
  std::string missingPercent;  // of all cases
  std::string distinct;
  std::string min;
  std::string max;
  std::string center;             // the mean, or the most frequent category with its percent
  std::size_t modeNameBytes = 0;  // of a most frequent category: the bytes of its name in `center`
  bool centerIsMean = false;
  Chart chart;
};

// What the report is about: the dataset line at its top.
struct DatasetFacts {
  bool known = false;  // a dataset was there to describe
  std::string file;
  std::string cases;  // empty when unknown without reading the file again
  std::string variables;
  std::string weight;  // the weight variable's name, or empty
  std::string split;   // the split variables' names, joined by ", ", or empty
  std::string madeAt;
  std::string version;
};

struct Overview {
  std::vector<OverviewRow> rows;
  DatasetFacts facts;
};

// "Numeric, scale", "String, nominal", "Dichotomy set".
std::string TypeAndLevel(const OverviewRow& row);

// The missing count with its percent: "7 (2.0%)".
std::string MissingText(const OverviewRow& row);

// The overview of a document over a dataset (null: from the tables alone).
Overview BuildOverview(const OutputDocument& document, const Dataset* dataset, const RenderOptions& options);

// "Counts weighted by NAME" under a table that shows figures from the cases
// of a weighted dataset; empty otherwise.
std::string WeightNote(const TableNode& table, const Dataset* dataset, const ReportLayout& layout);

// "Counts weighted by NAME" under the overview of a weighted dataset, whose
// valid and missing counts are sums of weights as the tables' are; empty
// otherwise.
std::string OverviewWeightNote(const Overview& overview);

// Whether a table is about a set: its title starts with the layout's prefix.
bool IsSetTable(const TableNode& table, const ReportLayout& layout);

// The dataset line as one sentence of parts joined by " · ".
std::string FactsLine(const DatasetFacts& facts);

// A chart as a line of block characters (one a bar, at most `room`; missing
// categories after a middle dot), for text and Markdown. Empty when the chart
// has more bars than room.
std::string Sparkline(const Chart& chart, std::size_t room);

// The page's title: the dataset's own title, else the document's name and
// the title the program chose ("Codebook: survey").
std::string PageTitle(const Dataset* dataset, const RenderOptions& options);

}  // namespace host
