// The output model as JSON: the structure automated checks read. Tables are
// built through the Bp classes exactly as the procedure builds them.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>

#include "host/dataset.h"
#include "host/document.h"
#include "host/output.h"
#include "host/output/model.h"
#include "support/test_dataset.h"

namespace {

using nlohmann::json;

json RenderJson() {
  std::ostringstream out;
  host::Render(host::Output(), host::OutputFormat::Json, out, host::RenderOptions{});
  return json::parse(out.str());
}

TEST(OutputJson, TwoDimensionTableCellsJoinTheLastRow) {
  QUVO_Variable town;
  town.name = "town";
  town.width = 8;
  town.printFormat = {8, FormatType::A, 0};
  QUVO_Variable score;
  score.name = "score";
  score.label = "Test score";
  score.printFormat = {6, FormatType::F, 1};
  {
    BpProcedure proc("Codebook", 1);
    host::AddMessage(host::Severity::Warning, "before");
    BpPivotTable table = proc.PivotTable(BpString("score", false), BpString("Variable Information", false), false);
    BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
    rows.Position(0, 1, true, false);
    BpDimension cols = table.Dimension(BpString("Values", true), 2);
    cols.Position(1, 1, true, false);
    BpCategory value = cols.Category(BpString("Value", true));
    BpCategory count = cols.Category(BpString("Count", true));
    BpCategory percent = cols.Category(BpString("Percent", true));
    value.Cell(BpString("no row yet: dropped", true));
    BpGroup standard = rows.Group(BpString("Standard Attributes", true), true, 2);
    standard.Category(BpString("Label", true));
    value.Cell(BpString("Test score", false));
    rows.Group(BpString("Custom Attributes", true), true, 2);  // kept although empty
    BpGroup central = rows.Group(BpString("Central Tendency and Dispersion", true), true, 2);
    central.Category(BpString("Standard Deviation", true));
    value.Cell(BpNumber(SYSMIS, BpFormatSpec(3)));
    BpGroup valid = rows.Group(BpString("Valid Values", true), true, 2);
    valid.Category(BpDataValue(&score, ObsFromNumber(2.25), 0));
    // Count before the label cell: cells keep the order they were set in.
    count.Cell(BpNumber(3, BpProcedure::Count()));
    value.Cell(BpString("Fair", false));
    percent.Cell(BpNumber(100.0 / 3.0, BpProcedure::Percent()));
    valid.Category(BpDataValue(&town, ObsFromString("Oslo"), 2));
    BpGroup members = rows.Group(BpString("Multiple Response Categories", true), true, 2);
    members.Category(BpVariable(&score, 0));
    value.Cell(BpVariable(&score, 1));
    members.Category(BpVariable(&town, 1));  // no label: the name
    host::AddMessage(host::Severity::Error, "after");
  }
  const json expected = json::parse(R"({"items": [
    {"kind": "message", "severity": "warning", "text": "before"},
    {"kind": "table", "title": "score", "lookup": "Variable Information", "flag": false, "dimensions": [
      {"label": "Attributes", "place": "row", "children": [
        {"group": "Standard Attributes", "children": [
          {"category": "Label", "cells": [{"column": "Value", "text": "Test score", "fixed": false}]}]},
        {"group": "Custom Attributes", "children": []},
        {"group": "Central Tendency and Dispersion", "children": [
          {"category": "Standard Deviation", "cells": [{"column": "Value", "text": ".", "number": null}]}]},
        {"group": "Valid Values", "children": [
          {"category": "2.3", "value": 2.25, "cells": [
            {"column": "Count", "text": "3", "number": 3},
            {"column": "Value", "text": "Fair", "fixed": false},
            {"column": "Percent", "text": "33.3%", "number": 33.333333333333336}]},
          {"category": "Oslo", "value": "Oslo", "cells": []}]},
        {"group": "Multiple Response Categories", "children": [
          {"category": "score", "variable": "score", "cells": [{"column": "Value", "text": "Test score"}]},
          {"category": "town", "variable": "town", "cells": []}]}]},
      {"label": "Values", "place": "column", "children": [
        {"category": "Value"}, {"category": "Count"}, {"category": "Percent"}]}]},
    {"kind": "message", "severity": "error", "text": "after"}]})");
  const json actual = RenderJson();
  EXPECT_EQ(actual, expected) << actual.dump(1);
  // Key order is part of the contract.
  std::ostringstream text;
  host::Render(host::Output(), host::OutputFormat::Json, text, host::RenderOptions{});
  const nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(text.str());
  std::vector<std::string> keys;
  for (const auto& [key, value] : ordered["items"][1].items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"kind", "title", "lookup", "flag", "dimensions"}));
  keys.clear();
  for (const auto& [key, value] : ordered["items"][1]["dimensions"][0]["children"][3]["children"][0].items()) {
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"category", "value", "cells"}));
  EXPECT_EQ(host::ErrorCount(), 1);
  host::ResetOutput();
  EXPECT_EQ(host::ErrorCount(), 0);
  EXPECT_EQ(RenderJson(), json::parse(R"({"items": []})"));
}

TEST(OutputJson, OneDimensionTableKeepsEveryCellOfARowInOrder) {
  {
    BpProcedure proc("Codebook", 1);
    BpPivotTable table = proc.PivotTable(BpString("File Information", true), BpString("FileInformation", true), true);
    table.MinDataColumnWidth(200);
    BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
    rows.Position(0, 1, true, false);
    BpCategory docs = rows.Category(BpString("Documents", true));
    docs.Cell(BpString("line 1\nline 2", false));
    docs.Cell(BpString("", false));
    docs.Cell(BpString("third", false));
    rows.Category(BpString("Label", true)).Cell(BpString("<none>", true));
    BpGroup cases = rows.Group(BpString("Number of Cases", true), true, 2);
    cases.Category(BpString("Unweighted", true)).Cell(BpNumber(0, BpProcedure::Count()));
    rows.Group(BpString("Custom Attributes", true), true, 2);
  }
  const json expected = json::parse(R"({"items": [
    {"kind": "table", "title": "File Information", "lookup": "FileInformation", "flag": true, "dimensions": [
      {"label": "Attributes", "place": "row", "children": [
        {"category": "Documents", "cells": [
          {"column": null, "text": "line 1\nline 2", "fixed": false},
          {"column": null, "text": "", "fixed": false},
          {"column": null, "text": "third", "fixed": false}]},
        {"category": "Label", "cells": [{"column": null, "text": "<none>", "fixed": true}]},
        {"group": "Number of Cases", "children": [
          {"category": "Unweighted", "cells": [{"column": null, "text": "0", "number": 0}]}]},
        {"group": "Custom Attributes", "children": []}]}]}]})");
  EXPECT_EQ(RenderJson(), expected);
}

TEST(OutputJson, StatisticFormatsFollowThePrintDecimals) {
  testsupport::DatasetBuilder builder;
  builder.Numeric("a", Measure::Scale, 0);
  builder.Numeric("b", Measure::Scale, 3);
  builder.Case({1, 2});
  builder.Activate();
  BpProcedure proc("Codebook", 1);
  EXPECT_EQ(proc.Mean(0).Decimals(), 2);
  EXPECT_EQ(proc.StdDev(1).Decimals(), 5);
  EXPECT_FALSE(proc.Mean(1).IsPercent());
  EXPECT_EQ(BpProcedure::Count().Decimals(), 0);
  EXPECT_EQ(BpProcedure::Percent().Decimals(), 1);
  EXPECT_TRUE(BpProcedure::Percent().IsPercent());
  struct Case {
    double value;
    BpFormatSpec format;
    const char* text;
  };
  const Case cases[] = {
      {41.256, proc.Mean(0), "41.26"},        {-0.125, proc.Mean(0), "-0.13"},
      {1.0000049, proc.StdDev(1), "1.00000"}, {12.5, BpProcedure::Count(), "13"},
      {0.05, BpProcedure::Percent(), "0.1%"}, {SYSMIS, proc.Mean(1), "."},
  };
  for (const Case& c : cases) {
    BpNumber n(c.value, c.format);
    EXPECT_EQ(n.Text().text, c.text) << c.value;
  }
}

// Means and percentiles of date and time variables read in the variable's
// own print format, standard deviations as durations; the JSON number stays
// the raw value. Day 2020-03-05 is 13802745600 seconds after 1582-10-14.
TEST(OutputJson, StatisticsOfDatesAndTimesReadAsDatesAndDurations) {
  testsupport::DatasetBuilder builder;
  const QUVO_Format formats[] = {{11, FormatType::DATE, 0}, {23, FormatType::DATETIME, 2}, {8, FormatType::TIME, 0},
                                 {5, FormatType::MTIME, 0}, {11, FormatType::DTIME, 0},    {9, FormatType::WKDAY, 0}};
  std::vector<testsupport::Cell> row;
  for (std::size_t i = 0; i < std::size(formats); ++i) {
    builder.Numeric("v" + std::to_string(i)).printFormat = formats[i];
    row.emplace_back(1.0);
  }
  builder.Case(row);
  builder.Activate();
  BpProcedure proc("Codebook", 1);
  const double kDay = 13802745600.0;
  struct Case {
    const char* what;
    double value;
    BpFormatSpec format;
    const char* text;
  };
  const Case cases[] = {
      {"date mean within a day shows that day", kDay + 86399.0, proc.Mean(0), "05-MAR-2020"},
      {"date spread in days and clock time", 3367541.01, proc.StdDev(0), "38 23:25:41"},
      {"date-time mean keeps its second decimals", kDay + 3723.456, proc.Mean(1), "05-MAR-2020 01:02:03.46"},
      {"date-time spread with the same decimals", 93784.25, proc.StdDev(1), "01 02:03:04.25"},
      {"negative time mean shows a sign", -5400.0, proc.Mean(2), "-01:30:00"},
      {"time spread as a time", 13113.95, proc.StdDev(2), "03:38:34"},
      {"minutes spread as a time", 125.0, proc.StdDev(3), "00:02:05"},
      {"duration spread in days", 93784.0, proc.StdDev(4), "01 02:03:04"},
      {"day names stay numbers", 3.5, proc.Mean(5), "3.50"},
      {"system-missing", SYSMIS, proc.StdDev(0), "."},
  };
  for (const Case& c : cases) {
    BpNumber n(c.value, c.format);
    EXPECT_EQ(n.Text().text, c.text) << c.what;
    EXPECT_EQ(n.Text().hasNumber, c.value != SYSMIS) << c.what;
    if (c.value != SYSMIS) {
      EXPECT_EQ(n.Text().number, c.value) << c.what;
    }
  }
}

// A report of two commands: the first holds a table not built in order,
// which keeps everything after it waiting (rows in a later group too) until
// its command ends; the second lists more rows than a group's written start
// is kept for.
void BuildTwoCommands(host::ReportStream* stream) {
  BpProcedure proc("Codebook", 1);
  host::AddMessage(host::Severity::Warning, "first");
  const auto table = [&](const char* title, bool inOrder) {
    BpPivotTable t = proc.PivotTable(BpString(title, false), BpString("Variable Information", false), false);
    BpDimension rows = t.Dimension(BpString("Attributes", true), 2);
    rows.Position(0, 1, true, false);
    BpDimension cols = t.Dimension(BpString("Values", true), 2);
    cols.Position(1, 1, true, false);
    if (inOrder) t.InOrder();
    return std::make_pair(rows, cols.Category(BpString("Count", true)));
  };
  auto [loose, looseCount] = table("loose", false);
  BpGroup later = loose.Group(BpString("Later", true), true, 2);
  BpCategory early = loose.Group(BpString("Early", true), true, 2).Category(BpString("e", false));
  later.Category(BpString("l", false));
  early.Cell(BpString("set on an earlier row", false));
  looseCount.Cell(BpNumber(1, BpProcedure::Count()));
  auto [waiting, waitingCount] = table("waiting", true);
  for (const char* name : {"Valid Values", "Missing Values"}) {
    BpGroup group = waiting.Group(BpString(name, true), true, 2);
    for (int i = 0; i < 3; ++i) {
      group.Category(BpString(std::string(name) + std::to_string(i), false));
      waitingCount.Cell(BpNumber(i, BpProcedure::Count()));
    }
  }
  if (stream != nullptr) stream->CompleteItems();
  auto [listing, listingCount] = table("listing", true);
  BpGroup valid = listing.Group(BpString("Valid Values", true), true, 2);
  for (int i = 0; i < 10000; ++i) {
    valid.Category(BpString("value " + std::to_string(i), false));
    listingCount.Cell(BpNumber(i, BpProcedure::Count()));
  }
  listing.Group(BpString("Missing Values", true), true, 2).Category(BpString("System", true));
  host::AddMessage(host::Severity::Error, "last");
}

}  // namespace

// JSON written while the commands run is the document written whole, and the
// rows of a table built in order are let go once written.
TEST(OutputJson, AReportWrittenAsItIsMadeIsTheWholeDocument) {
  BuildTwoCommands(nullptr);
  std::ostringstream whole;
  host::Render(host::Output(), host::OutputFormat::Json, whole, host::RenderOptions{});
  host::ResetOutput();
  std::ostringstream streamed;
  {
    std::unique_ptr<host::ReportStream> stream = host::StreamReport(host::OutputFormat::Json, streamed, {});
    ASSERT_NE(stream, nullptr);
    BuildTwoCommands(stream.get());
    stream->Finish();
  }
  EXPECT_EQ(streamed.str(), whole.str());
  const host::TableNode& listing = *host::Output().Items().at(3).table;
  ASSERT_EQ(listing.title.text, "listing");
  EXPECT_LT(listing.dimensions.front()->children.front().Group()->children.size(), 10000U);
}

// A cell's text in 16 bytes: in place up to 15 bytes, in a block of its own
// beyond; copies, moves and assignments from its own bytes keep the text.
TEST(OutputModel, ShortTextKeepsEveryLength) {
  for (const std::size_t n : {0, 1, 11, 12, 15, 16, 100, 70000}) {
    const std::string text(n, 'x');
    host::ShortText t(text);
    EXPECT_EQ(t.view(), text);
    host::ShortText copy(t);
    host::ShortText moved(std::move(t));
    EXPECT_EQ(copy, moved);
    EXPECT_EQ(moved.size(), n);
    copy = copy.view().substr(n / 2);  // from its own bytes
    EXPECT_EQ(copy.view(), text.substr(n / 2));
    moved = host::ShortText("short");
    EXPECT_EQ(moved, "short");
    moved = copy;
    EXPECT_EQ(moved.view(), text.substr(n / 2));
  }
}
