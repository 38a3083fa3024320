// A sample output document built through the Bp classes the way the
// procedure builds its tables: a file information table, variable tables
// and a set table, with messages between them. Used by the output tests and
// by the browser test's sample page.
#pragma once

#include <string>

#include "host/document.h"
#include "host/obs.h"
#include "host/output.h"
#include "host/quvo.h"

namespace outputsample {

struct Variables {
  QUVO_Variable age;
  QUVO_Variable sex;
  QUVO_Variable town;
  QUVO_Variable hostile;

  Variables() {
    age.name = "age";
    age.label = "Age in years";
    age.measure = Measure::Scale;
    age.printFormat = {8, FormatType::F, 0};
    sex.name = "sex";
    sex.label = "Sex of respondent";
    sex.printFormat = {1, FormatType::F, 0};
    town.name = "town";
    town.width = 12;
    town.printFormat = {12, FormatType::A, 0};
    hostile.name = "q<b>";
    hostile.label = "<script>alert(1)</script> & \"quotes\" 'too' </table>";
    hostile.printFormat = {8, FormatType::F, 2};
  }
};

inline void Row(BpGroup& group, const std::string& label, const BpCellText& value, BpCategory& valueColumn) {
  group.Category(BpString(label, true));
  valueColumn.Cell(value);
}

// A variable table in the procedure's shape. `valueLabels` pairs are value,
// label, count; a negative count marks a user-missing row.
inline void VariableTable(BpProcedure& proc, const QUVO_Variable& v, int position,
                          const std::vector<std::tuple<OBS, std::string, double>>& values, double total,
                          double systemMissing) {
  BpPivotTable table = proc.PivotTable(BpString(v.name, false), BpString("Variable Information", false), false);
  BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
  rows.Position(0, 1, true, false);
  BpDimension columns = table.Dimension(BpString("Values", true), 2);
  columns.Position(1, 1, true, false);
  BpCategory value = columns.Category(BpString("Value", true));
  BpCategory count = columns.Category(BpString("Count", true));
  BpCategory percent = columns.Category(BpString("Percent", true));
  BpGroup standard = rows.Group(BpString("Standard Attributes", true), true, 2);
  Row(standard, "Position", BpNumber(position, BpProcedure::Count()), value);
  Row(standard, "Label", v.label ? BpString(*v.label, false) : BpString("<none>", true), value);
  Row(standard, "Type", BpString(v.width == 0 ? "Numeric" : "String", true), value);
  Row(standard, "Measurement", BpString(v.measure == Measure::Scale ? "Scale" : "Nominal", true), value);
  rows.Group(BpString("Custom Attributes", true), true, 2);  // stays empty
  if (v.measure == Measure::Scale) {
    BpGroup n = rows.Group(BpString("N", true), true, 2);
    Row(n, "Valid", BpNumber(total - systemMissing, BpProcedure::Count()), value);
    Row(n, "Missing", BpNumber(systemMissing, BpProcedure::Count()), value);
    BpGroup central = rows.Group(BpString("Central Tendency and Dispersion", true), true, 2);
    Row(central, "Mean", BpNumber(41.256, proc.Mean(position - 1)), value);
    Row(central, "Standard Deviation", BpNumber(SYSMIS, proc.StdDev(position - 1)), value);
  }
  if (values.empty()) return;
  BpGroup valid = rows.Group(BpString("Valid Values", true), true, 2);
  BpGroup missing = rows.Group(BpString("Missing Values", true), true, 2);
  for (const auto& [obs, label, n] : values) {
    BpGroup& g = n < 0 ? missing : valid;
    g.Category(BpDataValue(&v, obs, 0));
    if (!label.empty()) value.Cell(BpString(label, false));
    count.Cell(BpNumber(n < 0 ? -n : n, BpProcedure::Count()));
    percent.Cell(BpNumber((n < 0 ? -n : n) / total * 100.0, BpProcedure::Percent()));
  }
  if (systemMissing > 0) {
    missing.Category(BpString("System", true));
    count.Cell(BpNumber(systemMissing, BpProcedure::Count()));
    percent.Cell(BpNumber(systemMissing / total * 100.0, BpProcedure::Percent()));
  }
}

inline void FileInformation(BpProcedure& proc) {
  BpPivotTable table = proc.PivotTable(BpString("File Information", true), BpString("FileInformation", true), true);
  table.MinDataColumnWidth(200);
  BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
  rows.Position(0, 1, true, false);
  rows.Category(BpString("File Name", true)).Cell(BpString("survey.json", false));
  rows.Category(BpString("Location", true)).Cell(BpString("/home/ana/data", false));
  rows.Category(BpString("Label", true)).Cell(BpString("Town survey 2024", false));
  BpCategory docs = rows.Category(BpString("Documents", true));
  docs.Cell(BpString("Collected in spring.\nWeighted by household size.", false));
  docs.Cell(BpString("Second block.", false));
  BpGroup cases = rows.Group(BpString("Number of Cases", true), true, 2);
  cases.Category(BpString("Unweighted", true)).Cell(BpNumber(20, BpProcedure::Count()));
  cases.Category(BpString("Weighted", true)).Cell(BpString("<unknown>", true));
  rows.Group(BpString("Reserved Attributes", true), true, 2);
}

inline void SetTable(BpProcedure& proc, const Variables& vars) {
  BpPivotTable table = proc.PivotTable(BpString("$shops", false), BpString("Variable Information", false), true);
  BpDimension rows = table.Dimension(BpString("Attributes", true), 2);
  rows.Position(0, 1, true, false);
  BpDimension columns = table.Dimension(BpString("Values", true), 2);
  columns.Position(1, 1, true, false);
  BpCategory value = columns.Category(BpString("Value", true));
  BpCategory count = columns.Category(BpString("Count", true));
  BpCategory percent = columns.Category(BpString("Percent", true));
  BpGroup standard = rows.Group(BpString("Standard Attributes", true), true, 2);
  Row(standard, "Label", BpString("Shops visited", false), value);
  Row(standard, "Type", BpString("Multiple Dichotomy Set", true), value);
  BpGroup cats = rows.Group(BpString("Multiple Response Categories", true), true, 2);
  cats.Category(BpVariable(&vars.age, 0));
  value.Cell(BpVariable(&vars.age, 1));
  count.Cell(BpNumber(7, BpProcedure::Count()));
  percent.Cell(BpNumber(35, BpProcedure::Percent()));
  cats.Category(BpVariable(&vars.town, 0));
  value.Cell(BpVariable(&vars.town, 1));
  count.Cell(BpNumber(0, BpProcedure::Count()));
  percent.Cell(BpNumber(0, BpProcedure::Percent()));
}

// The whole sample; `extraVariables` adds that many plain variable tables
// (for size and speed checks).
inline void Build(const Variables& vars, int extraVariables = 0) {
  host::ResetOutput();
  BpProcedure proc("Codebook", 1);
  host::AddMessage(host::Severity::Warning, "Unknown property \"x-notes\" in datapackage.json ignored.");
  FileInformation(proc);
  VariableTable(proc, vars.age, 1,
                {{ObsFromNumber(18), "", 4}, {ObsFromNumber(45), "", 12}, {ObsFromNumber(99), "Refused", -1}}, 20, 3);
  VariableTable(proc, vars.sex, 2, {{ObsFromNumber(1), "Male", 9}, {ObsFromNumber(2), "Female", 11}}, 20, 0);
  VariableTable(proc, vars.town, 3,
                {{ObsFromString("Springfield"), "", 15}, {ObsFromString("Shelbyville"), "Rival town", 5}}, 20, 0);
  VariableTable(proc, vars.hostile, 4, {{ObsFromNumber(1.5), "<img src=x onerror=alert(2)>", 20}}, 20, 0);
  SetTable(proc, vars);
  for (int i = 0; i < extraVariables; ++i) {
    QUVO_Variable v;
    v.name = "v" + std::to_string(i + 1);
    v.label = "Question " + std::to_string(i + 1) + ": how satisfied are you with item " + std::to_string(i + 1) + "?";
    v.printFormat = {1, FormatType::F, 0};
    VariableTable(
        proc, v, 5 + i,
        {{ObsFromNumber(1), "Not at all", 3}, {ObsFromNumber(2), "Somewhat", 9}, {ObsFromNumber(3), "Very", 8}}, 20, 0);
  }
  host::AddMessage(host::Severity::Warning, "No Variable Information for q<b> ,.");
  host::AddMessage(host::Severity::Error, "Empty dataset.");
}

}  // namespace outputsample
